#!/usr/bin/env python3
"""End-to-end tests of udpcmd over real UDP sockets.

Every case runs in a fresh network namespace made by scripts/isolated, with
only loopback and the device's address on it: the simulated device listens
there, udpcmd (or udpcmd.exe under wine) runs against it, and a packet socket
on lo records every datagram that is sent. The case then compares the
datagrams on the wire, the device's lines, the program's standard output and
its exit status with what they must be.

  e2e.py GROUP --udpcmd EXE --device EXE --isolated SCRIPT [--wine PREFIX]
         [--interposer LIB]
  e2e.py prepare-wineprefix --isolated SCRIPT --wine PREFIX

Exit status: 0 when every case passed, 1 when one failed, 77 when no
namespace can be made here (skipped, never run outside one).
"""

import argparse
import contextlib
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

DEVICE_IP = "192.168.0.254"
DEVICE_PORT = 2639
SKIP = 77
ETH_P_ALL, ETH_P_IP = 0x0003, 0x0800
REFUSED = 99
OPENING = b"/" + b"-" * 69 + b"\\\n"
CLOSING = b"\\" + b"-" * 69 + b"/\n\n\n"
PROGRESS = b"...\n"
NO_REPLY = b"Wildcard used - no return expected.\n"
MARKER = b"e2e: end of run"
WAIT_SECONDS = 2.5  # how long a run left waiting for a reply is watched
DEVICE_LINE = re.compile(
    r"#(\d+) from ([\d.]+):(\d+), (\d+) bytes:((?: [0-9A-F]{2})*)( \.\.\.)? \| (.*)$")


class Failure(Exception):
    pass


def check(condition, what, *details):
    if not condition:
        raise Failure("\n  ".join([what] + [str(d) for d in details]))


# --- Expected reports --------------------------------------------------------


def sent(message):
    return OPENING + b"Sent UDP Packet containing " + message + \
        b" to Port 2639 on 192.168.0.254\n" + PROGRESS


def no_reply(message):
    return lambda port, codes: sent(message) + NO_REPLY + CLOSING


def reply(message, text):
    return lambda port, codes: sent(message) + b"Received UDP Packet on Port %d\n" % port + \
        b"Data in received packet: " + text + b"\n" + CLOSING


def waiting(message):
    return lambda port, codes: sent(message)


def failure_line(text, native, wine, message=None):
    """A refused call's line, with the native or the Winsock code."""
    def report(port, codes):
        line = text + b"%d\n" % (wine if codes == "wine" else native)
        return line if message is None else sent(message) + line
    return report


def line(text):
    return lambda port, codes: text + b"\n"


TOO_LONG = line(b"Command too long: its frame must fit in 31 bytes (23 bytes of command always fit)")
AT_ONE = bytes.fromhex("F1 01 04 40 31 0D 83 F2")


class Case:
    def __init__(self, name, args, frame, report, status=1, device=(), ns=(), waits=False,
                 fail=None, builds=("native", "wine")):
        self.name, self.args, self.report, self.status = name, args, report, status
        self.frames = [] if frame is None else [bytes.fromhex(frame) if isinstance(frame, str)
                                                else frame]
        self.device, self.ns, self.waits, self.fail, self.builds = device, ns, waits, fail, builds


NATIVE = ("native",)

# The frame of every row is written out by hand from the frame layout.
FRAMES = [
    Case("letters_AB", [b"AB"], "F1 01 04 41 42 0D 95 F2", no_reply(b"AB")),
    Case("at_sign_one", [b"@1"], AT_ONE, reply(b"@1", b"OK @1")),
    Case("three_byte_field", [b"HELLO"], "F1 01 04 48 45 4C 4C 4F 0D FF 01 86 F2",
         no_reply(b"HELLO")),
    Case("field_cut_at_low_zero", [b"zzz@@"], "F1 01 04 7A 7A 7A 40 40 0D FF 02 F2",
         reply(b"zzz@@", b"OK zzz@@")),
    Case("sum_250", [b"tt"], "F1 01 04 74 74 0D FF F2", no_reply(b"tt")),
    Case("checksum_at_sign", [b"."], "F1 01 04 2E 0D 40 F2", reply(b".", b"OK .")),
    Case("apostrophe", [b"it's"], "F1 01 04 69 74 22 73 0D FF 01 84 F2", no_reply(b'it"s')),
    Case("empty_argument", [b""], "F1 01 04 0D 12 F2", no_reply(b"")),
    Case("wildcard", [b"*@1"], "F1 01 04 2A 40 31 0D AD F2", no_reply(b"*@1")),
    Case("checksum_asterisk", [b"@ll"], "F1 01 04 40 6C 6C 0D FF 01 2A F2", no_reply(b"@ll")),
    Case("further_arguments_ignored", [b"AB", b"@1"], "F1 01 04 41 42 0D 95 F2", no_reply(b"AB")),
    Case("apostrophe_at_22_kept", [b"a" * 22 + b"'"], "F1 01 04" + " 61" * 22 + " 27 0D FF 08 8F F2",
         no_reply(b"a" * 22 + b"'")),
    Case("control_bytes_25", [b"\t" * 25], "F1 01 04" + " 09" * 25 + " 0D F3 F2",
         no_reply(b"\t" * 25)),
    # wine's argument conversion is not byte-transparent above 0x7F.
    Case("empty_field", [b"\xEE"], "F1 01 04 EE 0D F2", no_reply(b"\xEE"), builds=NATIVE),
    Case("negative_sum", [b"\xE9"], "F1 01 04 E9 0D FB F2", no_reply(b"\xE9"), builds=NATIVE),
    Case("message_26_fits", [b"\x80" * 25 + b"n"], "F1 01 04" + " 80" * 25 + " 6E 0D F2",
         no_reply(b"\x80" * 25 + b"n"), builds=NATIVE),
    Case("no_argument", [], None, line(b"usage: udpcmd COMMAND"), status=-1),
    Case("too_long_for_frame", [b"z" * 24], None, TOO_LONG, status=-1),
    Case("too_long_for_message", [b"z" * 32], None, TOO_LONG, status=-1),
]

REPLY_32 = b"0123456789abcdefghijklmnopqrstuv"
REPLIES = [
    Case("text", [b"@1"], AT_ONE, reply(b"@1", b"ready: 42 \\o/ %d"),
         device=("--reply-text", "ready: 42 \\o/ %d")),
    Case("empty_datagram", [b"@1"], AT_ONE, reply(b"@1", b""), device=("--reply-hex", "")),
    Case("zero_inside", [b"@1"], AT_ONE, reply(b"@1", b"AB"), device=("--reply-hex", "41 42 00 43")),
    Case("exactly_32_bytes", [b"@1"], AT_ONE, reply(b"@1", REPLY_32),
         device=("--reply-hex", REPLY_32.hex())),
    Case("33_bytes_refused", [b"@1"], AT_ONE,
         failure_line(b"Recv Error Winsock Error: ", 90, 10040, message=b"@1"), status=-1,
         device=("--reply-hex", (REPLY_32 + b"w").hex())),
    Case("from_another_port", [b"@1"], AT_ONE, reply(b"@1", b"OK @1"), device=("--reply-port", "0")),
    Case("bytes_above_7F", [b"@1"], AT_ONE, reply(b"@1", b"\xC3\xA9\t\xFF"),
         device=("--reply-hex", "C3A9 09 FF"), builds=NATIVE),
    Case("none_keeps_waiting", [b"@1"], AT_ONE, waiting(b"@1"), device=("--no-reply",),
         waits=True),
]

REFUSALS = [
    Case("local_port_2639", [b"@1"], None, failure_line(b"bind failed: ", 22, 10022), status=-1,
         device=None, ns=("--port-range", "2639 2639")),
    Case("no_route", [b"@1"], None, failure_line(b"sendto failed: ", 101, 10051), status=-1,
         ns=("--no-address",)),
]

INTERPOSED = [
    Case("socket", [b"@1"], None, line(b"Socket Failed: 24"), status=-1, fail=("socket", 24)),
    Case("broadcast_option", [b"@1"], None, line(b"SetSockOpt SO_BROADCAST failed: 13"),
         status=-1, fail=("setsockopt", 13)),
    Case("bind", [b"@1"], None, line(b"bind failed: 98"), status=-1, fail=("bind", 98)),
    Case("sendto", [b"@1"], None, line(b"sendto failed: 1"), status=-1, fail=("sendto", 1)),
    Case("receive_interrupted", [b"@1"], AT_ONE, reply(b"@1", b""), fail=("recvmsg", 4)),
    Case("receive_refused", [b"@1"], AT_ONE,
         lambda port, codes: sent(b"@1") + b"Recv Error Winsock Error: 111\n", status=-1,
         fail=("recvmsg", 111)),
]

# --- Processes inside the namespace -----------------------------------------


def netns(pid):
    return os.readlink(f"/proc/{pid}/ns/net")


def pids():
    return [int(p) for p in os.listdir("/proc") if p.isdigit()]


def namespace_processes():
    """Every process in this network namespace but this one: all were
    started by this case."""
    mine, found = netns(os.getpid()), []
    for pid in pids():
        try:
            if pid != os.getpid() and netns(pid) == mine:
                found.append(pid)
        except OSError:
            pass  # gone, or a zombie
    return found


def sweep():
    """Ends whatever this case left running; bounded."""
    deadline = time.monotonic() + 5
    while namespace_processes() and time.monotonic() < deadline:
        time.sleep(0.05)
    for pid in namespace_processes():
        try:
            os.kill(pid, 9)
        except OSError:
            pass


class Output:
    """Collects a process's standard output and error on reader threads."""

    def __init__(self, process):
        self.process, self.out, self.err, self.lock = process, bytearray(), bytearray(), threading.Lock()
        self.readers = [threading.Thread(target=self.read, args=pair, daemon=True)
                        for pair in ((process.stdout, self.out), (process.stderr, self.err))]
        for reader in self.readers:
            reader.start()

    def read(self, stream, into):
        for chunk in iter(lambda: stream.read1(4096), b""):
            with self.lock:
                into.extend(chunk)

    def lines(self):
        with self.lock:
            return bytes(self.out).decode("ascii", "replace").splitlines()

    def wait_for(self, predicate, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if predicate(self.lines()):
                return True
            if self.process.poll() is not None:
                time.sleep(0.05)
                return predicate(self.lines())
            time.sleep(0.01)
        return False

    def wait(self, seconds):
        """Exit status, or None when still running after `seconds`."""
        try:
            status = self.process.wait(seconds)
        except subprocess.TimeoutExpired:
            return None
        for reader in self.readers:
            reader.join(2)  # the last bytes
        return status


def start(argv, env=None):
    return Output(subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, env=env, start_new_session=True))


def end(output):
    if output.process.poll() is None:
        os.killpg(output.process.pid, 15)
        try:
            output.process.wait(3)
        except subprocess.TimeoutExpired:
            os.killpg(output.process.pid, 9)
            output.process.wait(3)


def quiet(argv, env, seconds):
    """wine's tools detached from every pipe: its services outlive them."""
    subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, env=env, timeout=seconds, check=False)


# --- Guards --------------------------------------------------------------------


def only_loopback():
    with open("/proc/self/net/dev") as table:
        names = [row.split(":")[0].strip() for row in table.readlines()[2:]]
    if names != ["lo"]:
        print(f"REFUSING TO RUN: this network namespace has interfaces {names}, not only lo",
              flush=True)
        sys.exit(REFUSED)


def wine_env(prefix):
    # isolated --wine points TMPDIR at a private tmpfs, which holds wine's
    # server directory: nothing started outside can be reached from here.
    tmpdir = os.environ.get("TMPDIR", "")
    with open("/proc/self/mountinfo") as mounts:
        private = any(m.split()[4] == tmpdir and " - tmpfs " in m for m in mounts)
    check(private, f"REFUSING TO RUN: TMPDIR ({tmpdir!r}) is not a private tmpfs; "
          "run under scripts/isolated --wine")
    return dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEARCH="win32",
                WINEDLLOVERRIDES="mscoree,mshtml=")


def verify_wineserver(prefix):
    """The wineserver that serves the prefix runs in this namespace, and no
    other one for it runs anywhere."""
    info = os.stat(prefix)
    name = f"server-{info.st_dev:x}-{info.st_ino:x}"
    serving = []
    for pid in pids():
        try:
            if not os.path.basename(os.readlink(f"/proc/{pid}/exe")).startswith("wineserver"):
                continue
            cwd = os.readlink(f"/proc/{pid}/cwd")
            holds = False
            for fd in os.listdir(f"/proc/{pid}/fd"):
                try:
                    held = os.stat(f"/proc/{pid}/fd/{fd}")
                    holds = holds or (held.st_dev, held.st_ino) == (info.st_dev, info.st_ino)
                except OSError:
                    pass
            if holds or os.path.basename(cwd) == name:
                serving.append((pid, netns(pid), cwd))
        except OSError:
            pass
    check(serving, "REFUSING TO RUN: no wineserver for the prefix is running")
    foreign = [s for s in serving if s[1] != netns(os.getpid())]
    check(not foreign, "REFUSING TO RUN udpcmd.exe: a wineserver for the prefix runs in "
          "another network namespace", *foreign)
    check(any(s[2].startswith(os.environ["TMPDIR"] + "/") for s in serving),
          "REFUSING TO RUN: the wineserver is not in the private server directory", *serving)


class Wine:
    """A wineserver of its own for one case, started inside the namespace."""

    def __init__(self, prefix):
        self.prefix, self.env = prefix, wine_env(prefix)

    def __enter__(self):
        try:
            quiet(["wineserver", "-p"], self.env, 10)
            quiet(["wine", "cmd", "/c", "exit"], self.env, 120)
            verify_wineserver(self.prefix)
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        quiet(["wineserver", "-k"], self.env, 10)


# --- The wire ------------------------------------------------------------------


def open_sniffer():
    # Only a socket for every protocol sees outgoing packets too.
    sniffer = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(ETH_P_ALL))
    sniffer.bind(("lo", ETH_P_ALL))
    sniffer.setblocking(False)
    return sniffer


def datagrams(sniffer):
    """(source port, destination, destination port, payload) of every UDP
    datagram sent on lo so far."""
    found = []
    while True:
        try:
            packet, address = sniffer.recvfrom(65536)
        except BlockingIOError:
            return found
        if address[1] != ETH_P_IP or address[2] != socket.PACKET_OUTGOING or packet[9] != 17:
            continue
        head = (packet[0] & 0x0F) * 4
        source, port, length = struct.unpack("!HHH", packet[head:head + 6])
        found.append((source, socket.inet_ntoa(packet[16:20]), port,
                      packet[head + 8:head + length]))


# --- One udpcmd case -------------------------------------------------------------


def device_lines(lines):
    return [DEVICE_LINE.match(text) for text in lines if text.startswith("#")]


def run_case(case, options):
    sniffer = open_sniffer()
    env = dict(os.environ)
    argv = [options.udpcmd] + case.args
    if options.wine:
        argv = ["wine"] + argv
    if case.fail:
        env.update(LD_PRELOAD=options.interposer, UDPCMD_FAIL_CALL=case.fail[0],
                   UDPCMD_FAIL_ERRNO=str(case.fail[1]),
                   ASAN_OPTIONS=env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0")
    device = program = None
    try:
        if case.device is not None:
            device = start([options.device] + list(case.device))
            check(device.wait_for(lambda ls: any("listening" in t for t in ls), 3),
                  "the device did not get ready", device.lines(), device.err)
        with Wine(options.wine) if options.wine else contextlib.nullcontext() as wine:
            if wine:
                env.update(wine.env)
            program = start(argv, env)
            status = program.wait(WAIT_SECONDS if case.waits else 15)
            if case.waits:
                check(status is None, "udpcmd did not keep waiting for the reply", status)
                end(program)
            else:
                check(status is not None, "udpcmd did not finish within 15 s")
        if device is not None:
            # Anything udpcmd sent is in the device's queue before this.
            marker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            marker.sendto(MARKER, ("127.0.0.1", DEVICE_PORT))
            check(device.wait_for(lambda ls: any(MARKER.decode() in t for t in ls), 3),
                  "the device did not report the end-of-run marker", device.lines())
    finally:
        for output in (program, device):
            if output is not None:
                end(output)
    wire = [d for d in datagrams(sniffer) if d[2] == DEVICE_PORT and d[3] != MARKER]
    frames = [d[3] for d in wire]
    check(frames == case.frames, "datagrams sent to port 2639 differ",
          f"expected {[f.hex(' ') for f in case.frames]}", f"got      {[f.hex(' ') for f in frames]}")
    check(all(d[1] == DEVICE_IP for d in wire), "a datagram went elsewhere", wire)
    port = wire[0][0] if wire else 0
    if device is not None:
        seen = device_lines(device.lines())[:-1]  # the last one is the marker
        check(len(seen) == len(frames), "the device saw another number of datagrams",
              device.lines())
        for match, frame in zip(seen, frames):
            check(match and bytes.fromhex(match.group(5)) == frame and int(match.group(3)) == port,
                  "the device's line differs from the wire", match and match.group(0))
            check("malformed" not in match.group(7), "the device found the frame malformed",
                  match.group(0))
        if case.device and case.device[0] == "--reply-port":
            check("replied from port 2639 " not in seen[0].group(7),
                  "the reply came from the listening port", seen[0].group(0))
    expected = case.report(port, "wine" if options.wine else "native")
    status_expected = case.status & 0xFF
    if options.wine:
        expected = expected.replace(b"\n", b"\r\n")
    out = bytes(program.out)
    check(out == expected, "standard output differs", f"expected {expected!r}", f"got      {out!r}")
    check(not program.err, "udpcmd wrote on standard error", bytes(program.err))
    if not case.waits:
        check(status == status_expected, "exit status differs",
              f"expected {status_expected}, got {status}")


# --- The device's own behaviour ------------------------------------------------


def exchange(datagram, seconds=0.15, port=DEVICE_PORT):
    """Sends one datagram to the device; gives the reply and its port, or None."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(seconds)
        s.sendto(datagram, ("127.0.0.1", port))
        try:
            data, source = s.recvfrom(65536)
            return data, source[1]
        except socket.timeout:
            return None


MALFORMED = [
    (b"", "too short"),
    (bytes.fromhex("F1 01 04 F2"), "too short"),
    (b"\n\r" * 20, "longer than 31 bytes"),
    (bytes(range(256)) * 4, "longer than 31 bytes"),
    (bytes.fromhex("F1 01 04 00 0D 12 F2"), "zero byte inside"),
    (bytes.fromhex("F1 02 04 0D 13 F2"), "bad header"),
    (bytes.fromhex("F1 01 04 0D 12 F3"), "bad trailer"),
    (bytes.fromhex("F1 01 04 41 42 0D 96 F2"), "bad checksum field"),
]


def device_reports_malformed(options):
    device = start([options.device])
    try:
        check(device.wait_for(lambda ls: ls and "listening on 0.0.0.0:2639" in ls[0], 3),
              "no listening line", device.lines())
        for number, (datagram, problem) in enumerate(MALFORMED, 1):
            check(exchange(datagram) is None, "the device replied to a malformed datagram")
            check(device.wait_for(lambda ls: len(device_lines(ls)) == number, 3),
                  "no line for a malformed datagram", datagram[:40], device.lines())
            match = device_lines(device.lines())[-1]
            shown = datagram[:64]
            check(match and bytes.fromhex(match.group(5)) == shown and
                  bool(match.group(6)) == (len(datagram) > 64) and
                  int(match.group(4)) == len(datagram) and
                  match.group(7).endswith(f"malformed: {problem} | no reply"),
                  "wrong line for a malformed datagram", device.lines()[-1])
        # Still there, and answering.
        check(exchange(AT_ONE) == (b"OK @1", DEVICE_PORT), "no reply to @1 after the malformed ones")
        check(exchange(bytes.fromhex("F1 01 04 41 42 0D 95 F2")) is None, "a reply to AB")
        check(device.process.poll() is None and not device.err, "the device failed",
              bytes(device.err))
    finally:
        end(device)


def device_counts_and_idles(options):
    device = start([options.device, "--count", "2", "--reply-port", "0"])
    check(device.wait_for(lambda ls: ls and "replying from port" in ls[0], 3), "not ready",
          device.lines())
    answer = exchange(AT_ONE)
    check(answer and answer[0] == b"OK @1" and answer[1] != DEVICE_PORT,
          "no reply from the other port", answer)
    exchange(b"x", 0.01)
    check(device.wait(3) == 0, "--count 2 did not end the device", device.lines())
    started = time.monotonic()
    device = start([options.device, "--idle", "1"])
    status = device.wait(4)
    check(status == 0 and 0.9 < time.monotonic() - started < 4 and
          "idle time over" in device.lines()[-1], "--idle 1 did not end the device",
          status, device.lines())


BAD_OPTIONS = [
    ["--bogus"], ["--port"], ["--port", "65536"], ["--port", "x"], ["--count", "0"],
    ["--idle", "0"], ["--address", "256.1.1.1"], ["--address", "1.2.3"], ["--reply-hex", "4"],
    ["--reply-hex", "zz"], ["--reply-hex", "41" * 1025], ["--no-reply", "--reply-text", "x"],
    ["--reply-text", "a", "--reply-hex", "41"], ["--reply-port", "-1"],
]


def device_refuses_bad_options(options):
    for bad in BAD_OPTIONS:
        result = subprocess.run([options.device] + bad, capture_output=True, timeout=5)
        check(result.returncode == 2 and not result.stdout and
              re.fullmatch(rb"udpcmd-device: .+ \(see --help\)\n", result.stderr),
              "a bad option was not refused clearly", bad, result)
    result = subprocess.run([options.device, "--help"], capture_output=True, timeout=5)
    for word in (b"--address", b"--port", b"--reply-text", b"--reply-hex", b"--no-reply",
                 b"--reply-port", b"--count", b"--idle", b"well-formed", b"listening"):
        check(result.returncode == 0 and word in result.stdout, "--help lacks", word)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken:
        taken.bind(("0.0.0.0", DEVICE_PORT))
        result = subprocess.run([options.device], capture_output=True, timeout=5)
        check(result.returncode == 1 and
              result.stdout == b"udpcmd-device: cannot bind the listening socket: error 98\n",
              "a taken port was not reported", result)


DEVICE = {f.__name__: f for f in (device_reports_malformed, device_counts_and_idles,
                                   device_refuses_bad_options)}
GROUPS = {"frames": FRAMES, "replies": REPLIES, "refusals": REFUSALS, "interposed": INTERPOSED}

# --- Driver ----------------------------------------------------------------------


def prepare_wineprefix(options):
    """Creates or refreshes the prefix, inside the namespace like every
    wine run of these tests."""
    os.makedirs(options.wine, exist_ok=True)
    with Wine(options.wine):
        pass


def inside(options):
    only_loopback()
    try:
        if options.group == "prepare-wineprefix":
            prepare_wineprefix(options)
        elif options.group == "device":
            DEVICE[options.case](options)
        else:
            run_case(next(c for c in GROUPS[options.group] if c.name == options.case), options)
    except Failure as failure:
        print(f"FAILED: {failure}", flush=True)
        return 1
    finally:
        sweep()
    return 0


def in_namespace(options, case, ns):
    argv = [options.isolated] + list(ns) + (["--wine"] if options.wine else []) + \
        ["--", sys.executable, os.path.abspath(__file__), options.group, "--inside", "--case", case]
    for name in ("udpcmd", "device", "interposer", "wine"):
        if getattr(options, name):
            argv += [f"--{name}", getattr(options, name)]
    process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                               stderr=subprocess.STDOUT, start_new_session=True)
    try:
        out, _ = process.communicate(timeout=180)
    except subprocess.TimeoutExpired:
        process.terminate()  # the inner driver ends what it started
        out, _ = process.communicate(timeout=30)
        return 1, out + b"\ntimed out after 180 s"
    return process.returncode, out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("group", choices=list(GROUPS) + ["device", "prepare-wineprefix"])
    parser.add_argument("--udpcmd")
    parser.add_argument("--device")
    parser.add_argument("--isolated")
    parser.add_argument("--wine", metavar="PREFIX", help="run udpcmd.exe under wine")
    parser.add_argument("--interposer")
    parser.add_argument("--inside", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--case", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.inside:
        signal_to_exit()
        return inside(options)
    if options.wine and not shutil.which("wine"):
        print("wine is not installed: skipping")
        return SKIP
    build = "wine" if options.wine else "native"
    if options.group == "prepare-wineprefix":
        names, ns_of = ["prefix"], lambda name: ()
    elif options.group == "device":
        names, ns_of = list(DEVICE), lambda name: ()
    else:
        cases = {c.name: c for c in GROUPS[options.group] if build in c.builds}
        names, ns_of = list(cases), lambda name: cases[name].ns
    passed = failed = 0
    for name in names:
        started = time.monotonic()
        status, out = in_namespace(options, name, ns_of(name))
        took = time.monotonic() - started
        if status == SKIP:
            print(out.decode(errors="replace").strip() or "no network namespace: skipping")
            return SKIP
        if status == 0:
            passed += 1
            print(f"PASS {options.group}.{name} ({took:.2f} s)", flush=True)
        else:
            failed += 1
            print(f"FAIL {options.group}.{name} ({took:.2f} s), status {status}", flush=True)
            print(out.decode(errors="replace"), flush=True)
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


def signal_to_exit():
    """A terminated inner driver still ends what it started."""
    def stop(signum, frame):
        raise Failure(f"stopped by signal {signum}")
    signal.signal(signal.SIGTERM, stop)


if __name__ == "__main__":
    sys.exit(main())
