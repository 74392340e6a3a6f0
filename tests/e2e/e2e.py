#!/usr/bin/env python3
"""Runs one end-to-end case of udpcmd over real UDP sockets.

  e2e.py CASE --udpcmd EXE --expect EXE --device EXE [--wine PREFIX [--examples DIR]]
  e2e.py wine.prefix --wine PREFIX    (makes or refreshes the cases' wine prefix)
  e2e.py --list native|wine           (NAME|ISOLATED OPTION... per case, for CMake)

A case runs only where `scripts/isolated --check` passes: CTest starts each
through scripts/isolated. Exit status: 0 passed, 1 failed, 77 skipped, 99
refused (not in an isolated network namespace).
"""

import argparse
import contextlib
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time
from collections import namedtuple

sys.dont_write_bytecode = True  # nothing written into the source tree

from batch import EXAMPLES, ExampleTest
from harness import READY, TEXT, E2ETest, Process, Wire, adopt_orphans, exchange, pcap, sweep, udpcmds
from testlib import DEVICE_IP, DEVICE_PORT, FRAME, REPORT, ctest_status, device_line
from wine import Wine

ISOLATED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../scripts/isolated")
DEVICE_USAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../man/udpcmd-device.txt")
MARKER = b"e2e: end of run"
WAIT_SECONDS = 2.5  # how long a run left waiting for a reply is watched
STRACE = ["strace", "-f", "-qq"]

# --- udpcmd against the device: the wire, the report, the platform -----------
# (The frame rules themselves are the unit table's: tests/unit/frame_test.cpp.)
#
# frame: the datagram udpcmd sends, the frame table's for the command (None:
# none); got: the reply it shows (None: it awaits none); says: its last line,
# and then its status is -1 (a pair: natively, under wine); device: the
# device's options (None: no device); ns: scripts/isolated's options; waits:
# udpcmd is left waiting; fault: (system call, strace's inject action[, an
# argument naming which call]); output: udpcmd's standard output is "full",
# a pipe with "no_reader", or "closed", and its status is -1 with nothing
# shown; wine_device: the device is udpcmd-device.exe, under wine too; icmp:
# the ICMP destination-unreachable codes (1 host, 3 port) sent back for the
# frame, in this order, while its receive is held back; expect: udpcmd-expect
# runs udpcmd (an Expect).
#
# Expect: udpcmd-expect SECONDS COMMAND [REPLY] (REPLY None: none given), its
# status, and its last line after "udpcmd-expect: " (a pair: natively, under
# wine; {udpcmd} stands for the udpcmd it runs; None: none); alone: it is
# copied into a folder without udpcmd; stop: this signal ends it once udpcmd
# waits. A row whose udpcmd waits has a second udpcmd waiting beside it,
# which must outlive udpcmd-expect's.
Case = namedtuple("Case", "args frame got says device ns waits fault output wine_device "
                  "native_only icmp expect", defaults=(None, None, None, (), (), False, None, None,
                                                       False, False, (), None))
Expect = namedtuple("Expect", "reply status says seconds alone stop", defaults=(5, False, None))
AB, AT_ONE = FRAME[b"AB"], FRAME[b"@1"]
R32 = b"0123456789abcdefghijklmnopqrstuv"
OVERSIZE = (b"Recv Error Winsock Error: 90", b"Recv Error Winsock Error: 10040")
SPECIALS = b'IDLE" & echo | %d !x! \\'
AS_EXPECTED = b'reply as expected: "OK @1"'
NATIVE = dict(native_only=True)
HELD_RECEIVE = ("recvmsg", "delay_enter=1500000:when=1")  # time to queue ICMP errors
CASES = {
    "frames.at_one": Case([b"@1"], AT_ONE, b"OK @1"),
    "frames.empty_argument": Case([b""], FRAME[b""]),
    "frames.wildcard": Case([b"*@1"], FRAME[b"*@1"]),
    "frames.apostrophe": Case([b"it's"], FRAME[b"it's"]),
    "frames.further_arguments_ignored": Case([b"AB", b"@1"], AB),
    "frames.longest": Case([b"\t" * 25], FRAME[b"\t" * 25]),
    # wine's argument conversion is not byte-transparent above 0x7F.
    "frames.high_byte_empty_field": Case([b"\xEE"], FRAME[b"\xEE"], **NATIVE),
    "frames.no_argument": Case([], says=REPORT["usage"]),
    "frames.too_long": Case([b"z" * 24], says=REPORT["too_long"]),
    "replies.text": Case([b"@1"], AT_ONE, b"42 \\o/ %d", device=("--reply-text", "42 \\o/ %d")),
    "replies.empty_datagram": Case([b"@1"], AT_ONE, b"", device=("--reply-hex", "")),
    "replies.zero_inside": Case([b"@1"], AT_ONE, b"AB", device=("--reply-hex", "41 42 00 43")),
    "replies.exactly_32_bytes": Case([b"@1"], AT_ONE, R32, device=("--reply-hex", R32.hex())),
    "replies.from_another_port": Case([b"@1"], AT_ONE, b"OK @1", device=("--reply-port", "0")),
    "replies.bytes_above_7f": Case([b"@1"], AT_ONE, b"\xC3\xA9\t\xFF",
                                   device=("--reply-hex", "C3A9 09 FF"), **NATIVE),
    "replies.none_keeps_waiting": Case([b"@1"], AT_ONE, device=("--no-reply",), waits=True),
    # Nothing listens on 2639: ICMP port unreachable ends the wait (Windows:
    # 10054). wine passes no such message to a receive, so natively only.
    "replies.port_closed": Case([b"@1"], AT_ONE, says=b"Recv Error Winsock Error: 111",
                                device=None, **NATIVE),
    # Errors queued before the receive starts: port unreachable among them
    # ends the wait, in either order; any other error does not.
    "replies.port_then_host_unreachable": Case([b"@1"], AT_ONE, device=("--no-reply",),
                                               says=b"Recv Error Winsock Error: 111", icmp=(3, 1),
                                               fault=HELD_RECEIVE, **NATIVE),
    "replies.host_then_port_unreachable": Case([b"@1"], AT_ONE, device=("--no-reply",),
                                               says=b"Recv Error Winsock Error: 111", icmp=(1, 3),
                                               fault=HELD_RECEIVE, **NATIVE),
    "replies.host_unreachable_then_reply": Case([b"@1"], AT_ONE, b"OK @1", icmp=(1,),
                                                fault=HELD_RECEIVE, **NATIVE),
    # A report that could not be written is a failure.
    "report.full": Case([b"AB"], AB, output="full"),
    "report.no_reader": Case([b"@1"], AT_ONE, b"OK @1", output="no_reader"),
    # wine gives a Windows program a handle of its own in place of a closed
    # descriptor 1, so a closed standard output is staged natively only.
    "report.closed": Case([b"AB"], output="closed", **NATIVE),
    "device.exe": Case([b"@1"], AT_ONE, b"OK @1", wine_device=True),
    # Staged for real: the only ephemeral port is the device's; no route.
    "refusals.local_port_2639": Case([b"@1"], says=(b"bind failed: 22", b"bind failed: 10022"),
                                     device=None, ns=("--port-range", "2639 2639")),
    "refusals.no_route": Case([b"@1"], says=(b"sendto failed: 101", b"sendto failed: 10051"),
                              ns=("--no-address",)),
    # Injected into the shipped program.
    "faults.socket": Case([b"@1"], says=b"Socket Failed: 24", fault=("socket", "error=EMFILE"), **NATIVE),
    "faults.broadcast_option": Case([b"@1"], says=b"SetSockOpt SO_BROADCAST failed: 13",
                                    fault=("setsockopt", "error=EACCES", "SO_BROADCAST"), **NATIVE),
    "faults.bind": Case([b"@1"], says=b"bind failed: 98", fault=("bind", "error=EADDRINUSE"), **NATIVE),
    "faults.sendto": Case([b"@1"], says=b"sendto failed: 1", fault=("sendto", "error=EPERM"), **NATIVE),
    "faults.receive_interrupted": Case([b"@1"], AT_ONE, b"", fault=("recvmsg", "error=EINTR"), **NATIVE),
    # udpcmd-expect: a row per status. udpcmd's report above its line is
    # compared too, so AB and a 33-byte reply need no plain row.
    "expect.exact": Case([b"@1"], AT_ONE, b"OK @1", expect=Expect(b"OK @1", 0, AS_EXPECTED)),
    "expect.prefix": Case([b"@1"], AT_ONE, b"OK @1", expect=Expect(b"OK *", 0, AS_EXPECTED)),
    "expect.nothing_awaited": Case([b"AB"], AB, expect=Expect(
        None, 0, b"sent; nothing awaited: the frame has no at sign, or an asterisk")),
    "expect.another_reply": Case([b"@1"], AT_ONE, b"OK @1", expect=Expect(
        b"OK", 1, b'ANOTHER REPLY: "OK @1", not "OK"')),
    "expect.nothing_awaited_for_a_reply": Case([b"AB"], AB, expect=Expect(
        b"OK", 1, b'NOTHING AWAITED, not "OK": the frame has no at sign, or an asterisk')),
    "expect.specials_in_the_reply": Case([b"@1"], AT_ONE, SPECIALS, device=(
        "--reply-text", SPECIALS.decode()), expect=Expect(
        b"IDLE", 1, b'ANOTHER REPLY: "' + SPECIALS + b'", not "IDLE"')),
    "expect.silent_device": Case([b"@1"], AT_ONE, device=("--no-reply",), waits=True, expect=Expect(
        None, 2, b"NO REPLY within 1 s: udpcmd was ended", seconds=1)),
    "expect.stopped_by_a_signal": Case([b"@1"], AT_ONE, device=("--no-reply",), waits=True,
                                       expect=Expect(None, -15, None, 30, stop=15), **NATIVE),
    "expect.oversize_reply": Case([b"@1"], AT_ONE, says=OVERSIZE, device=(
        "--reply-hex", R32.hex() + "77"), expect=Expect(b"OK", 3, (
            b"UDPCMD FAILED (status 255): its last line, above, says why",
            b"UDPCMD FAILED (ERRORLEVEL -1): its last line, above, says why"))),
    "expect.no_udpcmd_beside_it": Case([b"@1"], device=None, expect=Expect(None, 3, (
        b"UDPCMD NOT STARTED: {udpcmd}: No such file or directory (error 2)",
        b"UDPCMD NOT STARTED: {udpcmd}: File not found (error 2)"), alone=True)),
    "expect.bad_usage": Case([b"@1"], device=None, expect=Expect(
        b"OK", 4, b'BAD ARGUMENT: SECONDS is a whole number from 1 to 86400, not "86401"',
        seconds=86401)),
    "expect.bad_usage_0_seconds": Case([b"@1"], device=None, expect=Expect(
        None, 4, b'BAD ARGUMENT: SECONDS is a whole number from 1 to 86400, not "0"', seconds=0)),
}


def lines(*texts):
    return b"".join(text + b"\n" for text in texts)


def native_or_wine(text, wine):
    return text[wine] if isinstance(text, tuple) else text


def report(case, port, wine):
    """udpcmd's standard output, with LF line ends."""
    says = native_or_wine(case.says, wine)
    if case.output or case.frame is None and says is None:
        return b""
    if case.frame is None:
        return lines(says)
    message = case.frame[3:3 + len(case.args[0])]  # as sent: apostrophes substituted
    shown = lines(REPORT["opening"], REPORT["sent"] % (message, DEVICE_PORT, DEVICE_IP.encode()),
                  REPORT["progress"])
    if says or case.waits:
        return shown + (lines(says) if says else b"")
    if case.got is None:
        return shown + lines(REPORT["no_reply"], REPORT["closing"])
    return shown + lines(REPORT["received"] % port, REPORT["data"] % case.got, REPORT["closing"])


def expect_argv(case, options):
    """udpcmd-expect's argv; where it runs alone, a copy in a folder of its own."""
    program, expect = options.expect, case.expect
    if expect.alone:
        program = shutil.copy(program, tempfile.mkdtemp())
    reply = [] if expect.reply is None else [expect.reply]
    return [program, str(expect.seconds)] + case.args + reply


class Exchange(E2ETest):
    """A row of CASES: udpcmd run once against the device."""

    def call_number(self, call, argument, argv):
        """Which `call` of a run is the first naming `argument`, from a dry run
        whose send fails (so it sends nothing)."""
        with tempfile.NamedTemporaryFile("r") as log:
            subprocess.run(STRACE + ["-o", log.name, "-e", f"trace={call},sendto",
                                     "-e", "inject=sendto:error=EPERM"] + argv,
                           stdin=subprocess.DEVNULL, capture_output=True, timeout=10, check=False)
            calls = [t for t in log.read().splitlines() if f" {call}(" in t]
        number = next((n for n, text in enumerate(calls, 1) if argument in text), None)
        self.assertIsNotNone(number, f"the dry run made no {call} call naming {argument}: {calls}")
        return number

    def injected(self, fault, argv):
        """argv under strace, which makes the fault's system call fail."""
        call, action, naming = fault + (None,) * (3 - len(fault))
        if not shutil.which("strace"):
            self.skipTest("strace is not installed: no system call can be made to fail")
        if subprocess.run(STRACE + ["-o", os.devnull, "true"], capture_output=True).returncode:
            self.skipTest("strace cannot trace a process here")
        when = f":when={self.call_number(call, naming, argv)}" if naming else ""
        return STRACE + ["-o", os.devnull, "-e", f"trace={call}",
                         "-e", f"inject={call}:{action}{when}"] + argv

    def unreachable(self, program, wire, codes):
        """Sends an ICMP destination unreachable with each code for the frame
        udpcmd sent, as the device's host would."""
        self.assertTrue(program.wait_for(
            lambda p: any(d[2] == DEVICE_PORT for d in wire.datagrams()), 3), "udpcmd sent nothing")
        sent = next(p for p in wire.packets if p[22:24] == DEVICE_PORT.to_bytes(2, "big"))
        with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP) as icmp:
            for code in codes:
                icmp.sendto(pcap.icmp_unreachable(code, sent[:28]), (DEVICE_IP, 0))

    def run_udpcmd(self, case, argv, env, wire):
        """udpcmd's Process, ended, and its exit status (None while it waits)."""
        waits, started = case.waits and not case.expect, time.monotonic()
        program = Process(argv, env, case.output)
        if case.icmp:
            self.unreachable(program, wire, case.icmp)
        if case.expect and case.expect.stop:  # once udpcmd has said "..."
            self.assertTrue(program.wait_for(lambda p: REPORT["progress"] in p.out(), 10),
                            "udpcmd said nothing")
            os.kill(program.popen.pid, case.expect.stop)
        status = program.wait(WAIT_SECONDS if waits else 15)
        spent, left = time.monotonic() - started, udpcmds()
        while case.expect and len(left) > case.waits and time.monotonic() < started + spent + 1:
            time.sleep(0.01)  # a udpcmd it killed just now may take a moment to go
            left = udpcmds()
        program.end()
        self.assertEqual(status is None, waits, "udpcmd did not keep waiting for the reply"
                         if waits else "udpcmd did not finish within 15 s")
        if case.expect:  # only the udpcmd waiting beside it is left
            self.assertEqual(len(left), case.waits,
                             f"udpcmd-expect left its udpcmd, or ended another: {left}")
            self.assertTrue(status != 2 or case.expect.seconds <= spent < case.expect.seconds + 3,
                            f"udpcmd-expect did not wait {case.expect.seconds} s: {spent}")
        return program, status

    def check_frames(self, case, wire, device):
        """The datagrams udpcmd sent, on the wire and in the device's lines (the
        last of which is the marker's); gives udpcmd's port."""
        expected = [case.frame] * (2 if case.expect and case.waits else 1) if case.frame else []
        deadline = time.monotonic() + 2  # without a device no marker shows that all has come
        while True:
            found = [d for d in wire.datagrams() if d[2] == DEVICE_PORT and d[3] != MARKER]
            if len(found) >= len(expected) or time.monotonic() > deadline:
                break
            time.sleep(0.01)
        self.assertEqual([(d[1], d[3]) for d in found], [(DEVICE_IP, f) for f in expected],
                         f"the datagrams sent differ: {found}")
        port = found[0][0] if found else 0
        if device:
            seen = [device_line(t) for t in device.lines() if t.startswith("#")]
            refused = f"malformed: {TEXT['BAD_HEADER']} | no reply"
            self.assertTrue(seen[-1] and seen[-1].rest.endswith(refused),
                            f"the device did not refuse the marker as malformed: {device.lines()}")
            seen = seen[:-1]
            self.assertTrue(len(seen) == len(expected) and all(
                line and line.data == frame and line.port == sent[0] and
                "malformed" not in line.rest for line, frame, sent in zip(seen, expected, found)),
                f"the device's lines differ from the wire: {device.lines()}")
            self.assertFalse("--reply-port" in case.device and "from port 2639 " in seen[0].rest,
                             f"the reply came from the listening port: {device.lines()}")
        return port

    def check_report(self, case, program, status, port, wine, udpcmd):
        expected, out = report(case, port, wine), program.out()
        if case.expect and case.expect.says:
            expected += (lines(TEXT["USAGE"].encode()) if case.expect.status == 4 else b"") + lines(
                b"udpcmd-expect: " + native_or_wine(case.expect.says, wine).replace(
                    b"{udpcmd}", udpcmd.encode()))
        expected = expected.replace(b"\n", b"\r\n") if wine else expected
        self.assertEqual(out.splitlines(True), expected.splitlines(True), "standard output differs")
        wanted = case.expect.status if case.expect else 255 if case.says or case.output else 1
        self.assertEqual(status, None if case.waits and not case.expect else wanted,
                         "exit status differs")

    def exchanged(self, case, wine, wire):
        """Runs udpcmd against the device: its Process and status, the device's."""
        options = self.options
        udpcmd, env = ((wine.run if wine else []) + [options.udpcmd] + case.args), dict(os.environ)
        argv = (wine.run if wine else []) + expect_argv(case, options) if case.expect else udpcmd
        if case.fault and not wine:
            argv = self.injected(case.fault, argv)
            env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":detect_leaks=0"  # not under a tracer
        device = wine.run + [options.device_exe] if case.wine_device else [options.device]
        device = None if case.device is None else self.start_device(device + list(case.device), env)
        self.addCleanup(wire.save, options.pcap)
        beside = None
        if case.expect and case.waits:
            beside = Process(udpcmd, env)
            self.addCleanup(beside.end)
            self.assertTrue(device.wait_for(lambda p: p.lines(), 10), "the device saw no udpcmd")
        program, status = self.run_udpcmd(case, argv, env, wire)
        self.assertTrue(not beside or beside.popen.poll() is None, "the udpcmd beside it was ended")
        if device:  # everything udpcmd sent is in the device's queue before the marker
            exchange(MARKER, 0)
            marked = device.wait_for(lambda p: MARKER.decode() in p.out().decode("latin-1"), 3)
            self.assertTrue(marked, f"the device did not report the end-of-run marker: {device.lines()}")
        return program, status, device, argv[len(wine.run) if wine else 0]

    def runTest(self):
        case, options = CASES[self.options.case], self.options
        self.assertFalse(options.wine and case.native_only, f"{options.case} runs natively only")
        if case.device is not None and not case.wine_device:
            self.need_device()
        wire = Wire()
        wine = self.enterContext(Wine(self)) if options.wine else None
        program, status, device, ran = self.exchanged(case, wine, wire)
        self.assertEqual(program.out(1), b"", "udpcmd wrote on standard error")
        udpcmd = os.path.join(os.path.dirname(ran), "udpcmd")  # the one udpcmd-expect runs
        if options.wine:
            udpcmd = "Z:" + udpcmd.replace("/", "\\") + ".exe"
        self.check_report(case, program, status, self.check_frames(case, wire, device),
                          bool(options.wine), udpcmd)


# --- The device alone (its option parsing is unit-tested) ----------------------
# Status lines go to standard error, one line per datagram to standard output.

MALFORMED = [(b"", TEXT["TOO_SHORT"]), (bytes(range(256)) * 4, TEXT["LONGER_THAN_31"])]

# Two devices whose replies are frames awaiting a reply, set on each other
# by one spoofed datagram: (the devices' options, replies each, the reason
# the first device's last line gives, the seconds the exchange may last).
LOOPS = [([], 20, TEXT["TOO_OFTEN"], 2),
         (["--rules"], 30, TEXT["TOO_MANY_IN_A_ROW"], 10)]
LOOP_RULES = b"* => delay 100 reply-hex " + AT_ONE.hex().encode() + b"\r\n"

# A procedure rehearsed against the device's rules, as Notepad saves them:
# a sequence whose second step is delayed, a prefix and a no-reply step.
RULES = (b"# a rehearsal\r\n"
         b"@STATUS => reply RUNNING\r\n"
         b"SET * => reply OK\r\n"
         b"@STATUS => delay 700 reply STOPPED\r\n"
         b"@HANG => no-reply\r\n")
DELAY_SECONDS = 0.7
# Each step: udpcmd's command, the rule's line, the rest of the device's
# line after it, and the reply udpcmd shows (None: it keeps waiting).
PROCEDURE = [(b"@STATUS", 2, "| replied from port 2639 with 7 bytes:", b"RUNNING"),
             (b"SET @5", 3, "| replied from port 2639 with 2 bytes:", b"OK"),
             (b"@STATUS", 4, "| reply delayed 700 ms", b"STOPPED"),
             (b"@HANG", 5, "| reply withheld (no-reply)", None)]

# Commands that reach the device byte for byte through udpcmd-expect (on
# Windows, through the command line it builds for udpcmd.exe).
ARGUMENTS = [b"two words", b'say "hi"', b'a\\"b', b"C:\\dir\\", b"end\\\\", b'"', b"\\",
             b"% ^ & | < > !", b"", b"*"]


def spoof(source_port, datagram):
    """Sends `datagram` to the device as if from its address and `source_port`."""
    with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_RAW) as raw:
        raw.sendto(pcap.udp(DEVICE_IP, source_port, DEVICE_IP, DEVICE_PORT, datagram),
                   (DEVICE_IP, 0))


class Device(E2ETest):
    """The device alone, and commands through udpcmd-expect: test_FAMILY_CASE is
    FAMILY.CASE; with --wine, udpcmd-device.exe and udpcmd.exe under wine."""

    def setUp(self):
        wine = self.enterContext(Wine(self)) if self.options.wine else None
        run = wine.run if wine else []
        self.run_device = run + [self.options.device_exe if wine else self.options.device]
        self.run_udpcmd, self.run_expect = run + [self.options.udpcmd], run + [self.options.expect]

    def wine_prefix(self):
        """Makes or refreshes the cases' wine prefix: setUp starts wine there."""

    def test_device_malformed(self):
        process = self.start_device(self.run_device)
        for number, (datagram, problem) in enumerate(MALFORMED, 1):
            with self.subTest(problem):
                self.assertIsNone(exchange(datagram), "a reply to a malformed datagram")
                seen = process.wait_for(lambda p: sum(t[:1] == "#" for t in p.lines()) == number, 3)
                self.assertTrue(seen, f"no line for a malformed datagram: {process.lines()}")
                line = device_line(process.lines()[-1])
                self.assertTrue(line and line.data == datagram[:64] and
                                line.length == len(datagram) and line.cut == (len(datagram) > 64)
                                and line.rest.endswith(f"malformed: {problem} | no reply"),
                                f"wrong line for a malformed datagram: {process.lines()[-1]}")
        self.assertEqual((exchange(AT_ONE), exchange(AB)), ((b"OK @1", DEVICE_PORT), None),
                         "wrong replies to @1 and AB after them")
        self.assertTrue(process.popen.poll() is None and process.status_lines() == [
            READY + "0.0.0.0:2639"] and all(t[:1] == "#" for t in process.lines()),
            f"the device ended, or said more: {process.status_lines()}, {process.lines()}")

    def test_device_count_and_reply_port(self):
        process = self.start_device(self.run_device + ["--count", "2", "--reply-port", "0"])
        answer = exchange(AT_ONE)
        exchange(b"x", 0)
        status = process.wait(3)
        self.assertTrue(answer and answer[0] == b"OK @1" and answer[1] != DEVICE_PORT and
                        status == 0 and "replying from port" in process.status_lines()[0],
                        f"--count 2 or --reply-port 0 failed: {answer}, status {status}, "
                        f"{process.status_lines()}")

    def test_device_idle(self):
        started, process = time.monotonic(), Process(self.run_device + ["--idle", "1"])
        status = process.wait(4)
        process.end()
        self.assertTrue(status == 0 and 0.9 < time.monotonic() - started < 4 and
                        TEXT["IDLE_OVER"] in process.status_lines(),
                        f"--idle 1 did not end the device: status {status}, "
                        f"{process.status_lines()}")

    def test_device_errors(self):
        """Each refusal: one line on standard error, nothing on standard output,
        its status, nothing bound and no file touched: a bad option, rules file
        or existing capture file (2), a taken port (1). Under wine the Winsock
        code keeps its words. Its help is the text written once for it, and
        nothing else."""
        folder = tempfile.mkdtemp()
        bad_rules, missing = os.path.join(folder, "bad.txt"), os.path.join(folder, "missing.txt")
        with open(bad_rules, "wb") as rules:
            rules.write(b"# the arrow lacks its spaces\r\n@1=>reply OK\r\n")
        taken_code = 10048 if self.options.wine else 98
        refusals = [
            (["--port", "65536"], 2,
             f"udpcmd-device: --port: {TEXT['NOT_A_PORT']}: 65536 (see --help)"),
            (["--rules", bad_rules], 2, f"udpcmd-device: {bad_rules}:2: {TEXT['NO_ARROW']}"),
            (["--rules", missing], 2,
             f"udpcmd-device: {missing}: No such file or directory (error 2)"),
            (["--pcap", bad_rules], 2, f"udpcmd-device: {bad_rules}: {TEXT['CAPTURE_EXISTS']}"),
            (["--pcap", missing], 1, f"udpcmd-device: {TEXT['CANNOT_BIND_LISTENING']} 0.0.0.0:2639: "
             f"Address already in use (error {taken_code}){TEXT['PORT_TAKEN']}"),
            (["/?"], 0, None)]
        with open(DEVICE_USAGE, "rb") as usage:
            help_text = usage.read().replace(b"\n", b"\r\n" if self.options.wine else b"\n")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken:
            taken.bind(("0.0.0.0", DEVICE_PORT))  # the device's bind fails; no other can succeed
            for arguments, status, line in refusals:
                process = Process(self.run_device + arguments)
                ended = process.wait(10)
                process.end()
                out, lines = (help_text, []) if line is None else (b"", [line])
                self.assertEqual((ended, process.out(), process.status_lines()),
                                 (status, out, lines), f"{' '.join(arguments)} did not give its "
                                 "one answer")
        self.assertTrue(sorted(os.listdir(folder)) == ["bad.txt"] and
                        open(bad_rules, "rb").read().startswith(b"# the arrow"),
                        f"a refused start made or changed a file: {os.listdir(folder)}")

    def test_device_capture_full(self):
        """A disk that fills up (a tmpfs of 8 KiB): the device says so once,
        leaves a capture that ends on a whole packet, and goes on answering.
        A disk full from the start: status 2, and no file left."""
        folder = tempfile.mkdtemp()
        capture = os.path.join(folder, "full.pcap")
        small_disk = ["unshare", "--mount", "sh", "-c",
                      'mount -t tmpfs -o size=8k tmpfs "$0" && exec "$@"', folder]
        if subprocess.run(small_disk + ["true"], capture_output=True).returncode != 0:
            self.skipTest("no mount namespace with a tmpfs of its own can be made here")
        full_disk = small_disk[:4] + ['mount -t tmpfs -o size=8k tmpfs "$0" && cat /dev/zero '
                                      '>"$0/filler"; "$@"; echo "status $?"; ls "$0"', folder]
        run = subprocess.run(full_disk + self.run_device + ["--pcap", capture],
                             capture_output=True, timeout=10)
        self.assertEqual(run.stdout.split(b"\n")[-3:], [b"status 2", b"filler", b""],
                         f"a start on a full disk: {run.stderr}")
        process = self.start_device(small_disk + self.run_device + ["--pcap", capture])
        answers = [exchange(AT_ONE) for _ in range(300)]
        with open(f"/proc/{process.popen.pid}/root{capture}", "rb") as written:
            data = written.read()
        errors = [t for t in process.status_lines() if t.startswith("udpcmd-device: ")]
        at = 24
        while at + 12 <= len(data):
            at += 16 + struct.unpack_from("<I", data, at + 8)[0]
        self.assertTrue(at == len(data) and len(data) > 4096,
                        f"the capture does not end on a whole packet: {at}, {len(data)}")
        self.assertTrue(len(errors) == 1 and "No space left on device" in errors[0] and
                        all(a == (b"OK @1", DEVICE_PORT) for a in answers),
                        f"the full disk was not said once, or replies stopped: {errors}, "
                        f"{answers[-3:]}")

    def test_device_never_answers_itself(self):
        """An awaiting frame from the device's own address and port (spoofed)
        gets one line and no reply: a reply would come back to the device."""
        process = self.start_device(self.run_device + ["--reply-hex", AT_ONE.hex()])
        spoof(DEVICE_PORT, AT_ONE)
        process.wait_for(lambda p: len(p.lines()) > 1, 0.5)  # a second line would be a loop
        lines = process.lines()
        self.assertTrue(len(lines) == 1 and f"| no reply: {TEXT['SOURCE_OWN_PORT']}" in lines[0],
                        f"the device answered itself: {lines[:3]}")

    def test_device_loop_guard(self):
        """The exchange stops by itself, fast (the rate) or delayed (in a row)."""
        rules = os.path.join(tempfile.mkdtemp(), "loop.txt")
        with open(rules, "wb") as out:
            out.write(LOOP_RULES)
        for arguments, replies, reason, seconds in LOOPS:
            devices = []
            try:
                for port in (DEVICE_PORT, DEVICE_PORT + 1):
                    devices.append(self.start_device(self.run_device + [
                        "--port", str(port), "--reply-hex", AT_ONE.hex()] + arguments +
                        ([rules] if arguments else [])))
                started = time.monotonic()
                spoof(DEVICE_PORT + 1, AT_ONE)
                stopped = devices[0].wait_for(lambda p: reason in "".join(p.lines()[-1:]), seconds)
                took = time.monotonic() - started
                seen = [len(d.lines()) for d in devices]
                time.sleep(0.5)  # a loop still going would add lines
                lines = [d.lines() for d in devices]
            finally:
                for device in devices:
                    device.end()
            replied = [[t for t in found if f"| replied from port {port} with 8 bytes" in t]
                       for found, port in zip(lines, (DEVICE_PORT, DEVICE_PORT + 1))]
            self.assertTrue(stopped and seen == [len(found) for found in lines] and
                            [len(found) for found in replied] == [replies, replies],
                            f"the two devices did not stop after {replies} replies each within "
                            f"{seconds} s: {took}, {lines[0][-2:]}, {lines[1][-1:]}, "
                            f"{[len(found) for found in replied]}")

    def test_device_many_clients(self):
        """udpcmd run 1,000 times one after the other as fast as it goes, then
        50 times at once: each run, a source of its own, gets its reply. Native
        only: under wine each run starts a Windows process, far too slowly."""
        device = self.start_device(self.run_device)
        shown = REPORT["data"] % b"OK @1"
        runs = []
        try:
            for _ in range(1000):
                run = subprocess.run(self.run_udpcmd + [b"@1"], stdin=subprocess.DEVNULL,
                                     capture_output=True, timeout=5)
                self.assertTrue(run.returncode == 1 and shown in run.stdout, "a run in a row got "
                                f"no reply: {run.returncode}, {run.stdout}, {device.lines()[-1:]}")
            runs = [Process(self.run_udpcmd + [b"@1"]) for _ in range(50)]
            self.assertTrue(all(run.wait(10) == 1 and shown in run.out() for run in runs),
                            "a run of 50 at once got no reply: "
                            f"{[run.out() for run in runs if shown not in run.out()][:2]}")
        finally:
            for run in runs:
                run.end()

    def rehearse(self, device, step):
        """Starts udpcmd with the step's command; gives its Process once the
        device has printed the line for it."""
        run = Process(self.run_udpcmd + [PROCEDURE[step][0]])
        self.assertTrue(device.wait_for(lambda p: any(t.startswith(f"#{step + 1} from ")
                                                      for t in p.lines()), 10),
                        f"the device saw no {PROCEDURE[step][0]}: {device.lines()}")
        return run

    def check_capture(self, capture, wire):
        """The device's capture holds what went over lo, as packets built with
        both checksums right; where the platform does not tell the address a
        datagram came to (wine), 0.0.0.0 stands for the device's address."""
        expected = []
        for packet in wire.drain():
            source, source_port, destination, port, payload = pcap.parts(packet)
            if self.options.wine:
                source = "0.0.0.0" if source_port == DEVICE_PORT else source
                destination = "0.0.0.0" if port == DEVICE_PORT else destination
            expected.append(pcap.udp(source, source_port, destination, port, payload))
        found, times = pcap.read(capture), pcap.times(capture)
        self.assertEqual(found, expected, "the capture differs from the wire")
        self.assertTrue(abs(times[0] - time.time()) < 60 and
                        times[6] - times[4] >= DELAY_SECONDS - 0.05,
                        f"the capture's times are not the real ones: {times}")

    def test_device_procedure(self):
        """A procedure rehearsed with udpcmd: each step answered by its rule,
        the delayed step's wait spent receiving the next, and the session in the
        device's capture, which the dissector's tests decode too."""
        folder, pcap_file = tempfile.mkdtemp(), self.options.pcap
        rules = os.path.join(folder, "rules.txt")
        with open(rules, "wb") as out:
            out.write(RULES)
        capture = pcap_file[:-len(".pcap")] + ".device.pcap" if pcap_file else \
            os.path.join(folder, "device.pcap")
        with contextlib.suppress(FileNotFoundError):
            os.remove(capture)  # the last run's: the device refuses to replace a file
        wire = Wire()
        device = self.start_device(self.run_device + ["--rules", rules, "--pcap", capture])
        runs = []
        try:
            for step in range(2):
                runs.append(self.rehearse(device, step))
                self.assertEqual(runs[-1].wait(10), 1, f"udpcmd did not finish: {runs[-1].out()}")
            started = time.monotonic()
            runs += [self.rehearse(device, 2), self.rehearse(device, 3)]
            self.assertIsNone(runs[2].popen.poll(),
                              "the delayed reply did not wait for the next command")
            self.assertTrue(runs[2].wait(10) == 1 and time.monotonic() - started >= DELAY_SECONDS,
                            f"the delayed reply came too soon, or not at all: {runs[2].out()}")
            self.assertIsNone(runs[3].wait(0.5), f"udpcmd got a reply for a no-reply step: "
                              f"{runs[3].out()}")
            lines = device.lines()
        finally:
            for run in runs:
                run.end()
            device.end()  # stopped by a signal, it leaves a whole capture
        for step, (command, rule, rest, reply) in enumerate(PROCEDURE):
            line = device_line(lines[step])
            self.assertTrue(line and line.number == step + 1 and
                            f"| rule {rules}:{rule} {rest}" in line.rest,
                            f"the device's line for {command} differs: {lines[step]}")
            self.assertIn(REPORT["data"] % reply if reply else b"", runs[step].out(),
                          f"udpcmd did not show {reply}")
        self.assertTrue(len(lines) == 5 and lines[4].startswith(
                        "#3 delayed reply | replied from port 2639 with 7 bytes:"),
                        f"the delayed reply was not sent after the next command's line: {lines}")
        self.check_capture(capture, wire)

    def test_expect_arguments(self):
        wire = Wire()
        self.start_device(self.run_device)
        for command in ARGUMENTS:
            run = Process(self.run_expect + ["5", command])
            status = run.wait(15)
            run.end()
            self.assertEqual(status, 0, f"udpcmd-expect 5 {command!r} failed: {run.out()}")
        sent = [d[3][3:4 + len(c)] for d, c in zip(
            [d for d in wire.datagrams() if d[2] == DEVICE_PORT], ARGUMENTS)]
        self.assertEqual(sent, [c + b"\r" for c in ARGUMENTS], "a command changed on its way")


DEVICE_CASES = {name[5:].replace("_", ".", 1): name for name in vars(Device)
                if name.startswith("test_")}
# Also run with udpcmd-device.exe (and udpcmd.exe) under wine.
DEVICE_CASES_UNDER_WINE = ("device.errors", "device.loop_guard", "device.procedure",
                           "expect.arguments")

# --- One case ------------------------------------------------------------------


def isolated():
    """The one isolation check; its line on standard error says why not."""
    try:
        return subprocess.run([ISOLATED, "--check"], stdin=subprocess.DEVNULL).returncode == 0
    except OSError as error:
        print(f"e2e: cannot run {ISOLATED}: {error}", file=sys.stderr)
        return False


def case_test(options):
    """The unittest test that runs the case named."""
    if options.case in CASES:
        return Exchange(options)
    if options.case in EXAMPLES:
        return ExampleTest(options)
    return Device(options, DEVICE_CASES.get(options.case, "wine_prefix"))


def stop(signum, frame):
    raise AssertionError(f"stopped by signal {signum}")  # and still end what it started


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("case", nargs="?", metavar="CASE",
                        choices=[*CASES, *DEVICE_CASES, *EXAMPLES, "wine.prefix"])
    parser.add_argument("--list", choices=("native", "wine"))
    parser.add_argument("--udpcmd")
    parser.add_argument("--device")
    parser.add_argument("--expect", help="udpcmd-expect, beside the udpcmd given")
    parser.add_argument("--device-exe", help="udpcmd-device.exe, for the device's wine cases")
    parser.add_argument("--wine", metavar="PREFIX", help="run udpcmd.exe under wine")
    parser.add_argument("--wine-loader", default="wine", help="wine, or wine64 for 64-bit")
    parser.add_argument("--pcap", metavar="FILE", help="save the datagrams on lo there")
    parser.add_argument("--examples", metavar="DIR", help="the zip's example batch files")
    options = parser.parse_args()
    if options.list:
        wine = options.list == "wine"
        names = ["|".join((n,) + c.ns) for n, c in CASES.items()
                 if not (c.native_only if wine else c.wine_device)]
        print("\n".join(names + list(DEVICE_CASES_UNDER_WINE + tuple(EXAMPLES) if wine
                                      else DEVICE_CASES)))
        return 0
    if not options.case:
        parser.error("no case given")
    if not isolated():
        print(f"e2e: REFUSING TO RUN {options.case}: run it through scripts/isolated",
              file=sys.stderr)
        return 99
    signal.signal(signal.SIGTERM, stop)
    adopt_orphans()
    try:
        return ctest_status(case_test(options))
    finally:
        sweep()


if __name__ == "__main__":
    sys.exit(main())
