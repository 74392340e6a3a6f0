#!/usr/bin/env python3
"""Tests of the Wireshark dissector tools/wireshark/udpcmd.lua, with tshark.

  dissector_test.py captures       --lua FILE
  dissector_test.py malformed      --lua FILE
  dissector_test.py agreement      --lua FILE --frame-table EXE
  dissector_test.py abuse          --lua FILE
  dissector_test.py plugin_folder  --plugin-dir DIR
  dissector_test.py e2e            --lua FILE --frame-table EXE --captures DIR

Each group writes a pcap straight from bytes (no network, no udpcmd run),
decodes it with `tshark -2 -X lua_script:FILE` (two passes: the pairing of
commands and replies is complete only then) and compares the fields:

  captures       every frame of the frame table (tests/common/frames.txt),
                 exchanges as udpcmd and the device make them (replies of
                 every kind, from the device's port and from others), the
                 pairing of commands and replies, the ports (heuristic,
                 preference, Decode As), and display filters in summary
                 output
  malformed      each kind of malformed command frame raises its one error
  agreement      for a few hundred generated commands, S, the checksum status
                 and the reply decision equal what the program's own frame
                 code gives (udpcmd_frame_table)
  abuse          thousands of random datagrams to, from and beside the port,
                 packets captured short, ICMP errors quoting datagrams: no
                 Lua error, and the ICMP errors keep their own columns
  plugin_folder  DIR (below /usr) is where Debian's tshark looks for global
                 Lua plugins
  e2e            every datagram the end-to-end cases sent on lo (their
                 captures in DIR): udpcmd's frames decode as the frame code
                 builds them, the replies as udpcmd shows them and paired
                 with their commands, and the cases' end-of-run marker as a
                 frame without header

Each group is a method test_GROUP of DissectorTest. Exit status: 0 passed,
1 failed, 77 skipped (no tshark here).
"""

import argparse
import os
import random
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../common"))
import pcap  # noqa: E402
from testlib import (DEVICE_IP, DEVICE_PORT, FRAMES, OptionsTest, ctest_status,  # noqa: E402
                     tshark_environment)

SEVERITIES = {0x00800000: "error", 0x00600000: "warning", 0x00400000: "note", 0x00200000: "chat"}
# Fields whose value is the bytes they cover; the others are read as numbers.
BYTE_FIELDS = {"udpcmd.header", "udpcmd.message", "udpcmd.checksum", "udpcmd.reply"}
ROOT_WARNING = 'Running as user "root" and group "root". This could be dangerous.'
NO_REPLY_SEEN = ("udpcmd.no_reply_seen", "warning")
NOT_AWAITED = ("udpcmd.reply_not_awaited", "warning")

# --- Decoded rows ---------------------------------------------------------------
#
# decode() gives one row per packet, a dict from field name (udpcmd.message,
# ...) to value, plus "info" and "protocol" (the columns) and "expert" (a list
# of (name, severity)); an expected row holds the fields a row must have
# (None: must be absent).


def value(field):
    name, show = field.get("name"), field.get("show")
    if name in BYTE_FIELDS:
        return bytes.fromhex(field.get("value", ""))
    if name == "udpcmd.response_time":
        return round(float(show), 6)
    return int(show, 0)


def fields(row, names):
    """The row's fields of those named (None: absent), its expert items sorted."""
    return {name: sorted(row[name]) if name == "expert" else row.get(name) for name in names}


# --- Exchanges -----------------------------------------------------------------
#
# A case is a list of steps (source, destination, payload, row, delay): the
# endpoints are names (A and B: two senders on one port, A2: A's address on
# another port, L: on port 1719, which H.225 registers; D: the device, O and
# H: its address on the ports 40000 and 2700), the payload bytes, row the
# fields the packet must show (command(), reply(), NOT_UDPCMD ...), delay
# the seconds since the step before and cut the bytes the capture did not
# keep; an ICMP error is a step of its own (unreachable()). `pairs` lists
# the steps (command, reply) that answer each other: the pairing fields and
# expert items of every row follow from them (paired()).

ENDPOINTS = {"A": ("192.168.0.2", 0), "B": ("192.168.0.3", 0), "A2": ("192.168.0.2", 1),
             "L": ("192.168.0.2", 1719), "D": (DEVICE_IP, DEVICE_PORT),
             "O": (DEVICE_IP, 40000), "H": (DEVICE_IP, 2700)}
FIRST_SENDER_PORT = 45064
NOT_UDPCMD = {"udpcmd.message": None, "udpcmd.reply": None}
REPLY_32 = b"0123456789abcdefghijklmnopqrstuv"
AT_ONE, AB = (next(row for row in FRAMES if row.command == name) for name in (b"@1", b"AB"))


def shown(text):
    """Bytes as the Info column shows them: control characters as \\xNN."""
    return "".join(f"\\x{b:02X}" if b < 0x20 or 0x7F <= b < 0xA0 else chr(b) for b in text)


def command(row):
    """A frame of the frame table: its bytes and the row it must show."""
    message, frame = row.frame[3:3 + len(row.command)], row.frame
    return frame, {
        "udpcmd.header": frame[:3], "udpcmd.message": message, "udpcmd.end_of_text": 0x0D,
        "udpcmd.checksum": frame[4 + len(message):-1], "udpcmd.checksum.sum": row.sum,
        "udpcmd.checksum.status": 1, "udpcmd.trailer": 0xF2,
        "udpcmd.awaits_reply": int(row.awaits_reply), "expert": [], "protocol": "udpcmd",
        "info": f'Command "{shown(message)}", '
                + ("awaits reply" if row.awaits_reply else "no reply awaited")}


def malformed(datagram, error, status=None):
    """A malformed command frame (hex) and the one error it raises."""
    frame = bytes.fromhex(datagram)
    return frame, {"expert": [(error, "error")], "protocol": "udpcmd",
                   "udpcmd.checksum.status": status, "udpcmd.awaits_reply": awaits(frame)}


def awaits(datagram):
    """udpcmd's reply decision, on any datagram."""
    return int(b"@" in datagram and b"*" not in datagram)


def reply(text, shown_text=None, expert=()):
    """A reply and its row."""
    shown_text = text if shown_text is None else shown_text
    row = {"udpcmd.reply": shown_text, "udpcmd.reply.length": len(text), "expert": list(expert),
           "protocol": "udpcmd"}
    if not expert:
        row["info"] = f'Reply "{shown(shown_text)}"'
    return text, row


def step(source, destination, datagram, delay=0.001, cut=0):
    """A step of a case: datagram is (payload, row) as command() and reply() give."""
    return source, destination, datagram[0], datagram[1], delay, cut


def unreachable(quoted_step):
    """An ICMP port unreachable from the device's host for the datagram of an
    earlier step: ICMP's own columns, nothing of udpcmd."""
    return "icmp", quoted_step, b"", dict(NOT_UDPCMD, protocol="ICMP", info=(
        "Destination unreachable (Port unreachable)")), 0.001, 0


def paired(rows, pairs, first, times):
    """The rows of a case with its pairing filled in: frame numbers from
    `first` on, a reply's response time from the packets' times. A command
    (a row with udpcmd.awaits_reply) that awaits a reply and is in no pair
    has seen none; a reply to a command that awaits none is flagged."""
    answered = dict(pairs)
    replies = {r: c for c, r in pairs}
    out = []
    for index, row in enumerate(rows):
        row = dict(row)
        awaits = row.get("udpcmd.awaits_reply")
        if awaits is not None:
            reply_step = answered.get(index)
            paired_reply = awaits and reply_step is not None
            row["udpcmd.response_in"] = first + reply_step if paired_reply else None
            if awaits and reply_step is None:
                row["expert"] = row["expert"] + [NO_REPLY_SEEN]
        elif "udpcmd.reply" in row and row["udpcmd.reply"] is not None:
            command_step = replies.get(index)
            row["udpcmd.response_to"] = None if command_step is None else first + command_step
            row["udpcmd.response_time"] = None if command_step is None else round(
                times[index] - times[command_step], 6)
            if command_step is not None and not rows[command_step]["udpcmd.awaits_reply"]:
                row["expert"] = row["expert"] + [NOT_AWAITED]
        out.append(row)
    return out


def packets_of(steps, number):
    """The packets of case `number`'s steps, as captured, and their lengths on
    the wire: each case has its own senders' ports."""
    base = FIRST_SENDER_PORT + 4 * number
    ends = {name: (address, port + base if name in ("A", "B", "A2") else port)
            for name, (address, port) in ENDPOINTS.items()}
    packets = []
    for source, destination, payload, _, _, _ in steps:
        if source == "icmp":  # back to the sender of the quoted datagram
            quoted = packets[destination]
            packets.append(pcap.unreachable(DEVICE_IP, ".".join(map(str, quoted[12:16])), quoted))
        else:
            packets.append(pcap.udp(*ends[source], *ends[destination], payload))
    return [p[:len(p) - s[5]] for p, s in zip(packets, steps)], [len(p) for p in packets]


# --- Captures ------------------------------------------------------------------

PORT_PREFERENCE = ["-o", "udpcmd.port:2700"]
DECODE_AS = ["-d", "udp.port==2700,udpcmd"]
BAD_TRAILER = "F1 01 04 41 42 0D 95"  # no trailer: never found by the heuristic

CUT_SHORT = [("udpcmd.cut_short", "note")]
CUT_COMMAND = {"udpcmd.message": b"@1", "udpcmd.awaits_reply": 1, "udpcmd.checksum.status": None,
               "expert": CUT_SHORT, "info": 'Command "@1", awaits reply [cut short by the capture]'}
CUT_REPLY = {"udpcmd.reply": b"OK ", "udpcmd.reply.length": 5, "expert": CUT_SHORT,
             "info": 'Reply "OK " [cut short by the capture]'}

# name, steps, pairs (command step, reply step)
CAPTURES = [(f"frames.{row.name}", [step("A", "D", command(row))], []) for row in FRAMES] + [
    ("reply", [step("A", "D", command(AT_ONE)), step("D", "A", reply(b"OK @1"))], [(0, 1)]),
    ("empty_reply", [step("A", "D", command(AT_ONE)), step("D", "A", reply(b""))], [(0, 1)]),
    ("zero_inside_reply", [step("A", "D", command(AT_ONE)),
                           step("D", "A", reply(b"AB\0C", shown_text=b"AB"))], [(0, 1)]),
    ("reply_32_bytes", [step("A", "D", command(AT_ONE)), step("D", "A", reply(REPLY_32))],
     [(0, 1)]),
    ("oversize_reply", [step("A", "D", command(AT_ONE)), step(
        "D", "A", reply(REPLY_32 + b"w", expert=[("udpcmd.reply.too_long", "warning")]))],
     [(0, 1)]),
    # Only the first datagram back to the command's port is its reply.
    ("reply_from_another_port", [step("A", "D", command(AT_ONE)), step("O", "A", reply(b"OK")),
                                 step("O", "A", (b"late", NOT_UDPCMD))], [(0, 1)]),
    # Each command pairs with the first datagram back to its own address and
    # port, whichever comes first and from whatever port, an empty one too.
    ("interleaved", [step("A", "D", command(AT_ONE)), step("B", "D", command(AT_ONE)),
                     step("A2", "D", command(AT_ONE)), step("D", "A", reply(b"OK @1")),
                     step("O", "A2", reply(b"")), step("D", "B", reply(b"OK"))],
     [(0, 3), (1, 5), (2, 4)]),
    # A later command from the same address and port, even with another
    # sender's in between, takes the place of the earlier one, which then
    # pairs with nothing that comes after.
    ("later_command", [step("A", "D", command(AT_ONE)), step("B", "D", command(AT_ONE)),
                       step("A", "D", command(AT_ONE)), step("D", "A", reply(b"OK")),
                       step("D", "B", reply(b"OK")), step("O", "A", (b"stray", NOT_UDPCMD))],
     [(2, 3), (1, 4)]),
    # Cut short by the capture's snap length: so shown, not as malformed, and
    # paired; after a whole reply of the bytes the capture kept.
    ("cut_short", [step("D", "A", reply(b"OK ")),
                   step("A", "D", (AT_ONE.frame, CUT_COMMAND), cut=3),
                   step("D", "A", (b"OK @1", CUT_REPLY), cut=2)], [(1, 2)]),
    ("slow_reply", [step("A", "D", command(AT_ONE)), step("D", "A", reply(b"OK"), delay=0.75)],
     [(0, 1)]),
    ("reply_not_awaited", [step("A", "D", command(AB)), step("D", "A", reply(b"x"))], [(0, 1)]),
    ("unpaired_reply", [step("D", "A", reply(b"x"))], []),
    # From a port that H.225 takes: shown by the postdissector.
    ("reply_from_1719", [step("A", "D", command(AT_ONE)), step("L", "A", reply(b"OK \x85"))],
     [(0, 1)]),
    # An ICMP error quoting a command is neither a command nor its reply.
    ("icmp_error", [step("A", "D", command(AT_ONE)), unreachable(0),
                    step("A", "D", (b"", {"protocol": "udpcmd", "udpcmd.awaits_reply": 0,
                                          "expert": [("udpcmd.no_header", "error")]})),
                    unreachable(2), step("D", "A", reply(b"OK"))], [(2, 4)]),
    # A well-formed frame is found on any port, with its reply; nothing else is.
    ("heuristic", [step("A", "H", command(AT_ONE)), step("H", "A", reply(b"OK")),
                   step("A", "H", (bytes.fromhex(BAD_TRAILER), NOT_UDPCMD)),
                   step("A", "H", (b"hello", NOT_UDPCMD))], [(0, 1)]),
]

# tshark options, cases: the preference moves the port, Decode As adds one.
PORTS = [
    (PORT_PREFERENCE, [("preference", [
        step("A", "H", malformed(BAD_TRAILER, "udpcmd.no_trailer", 1)),
        step("H", "A", reply(b"OK")), step("A", "D", (bytes.fromhex(BAD_TRAILER), NOT_UDPCMD))],
        [(0, 1)])]),
    (DECODE_AS, [("decode_as", [step("A", "H", malformed(BAD_TRAILER, "udpcmd.no_trailer", 1)),
                                step("A2", "D", command(AT_ONE))], [])]),
    # A command from a local port that another protocol registers, given to udpcmd.
    (["-d", "udp.port==1719,udpcmd"], [("decode_as_local_port", [
        step("L", "D", command(AT_ONE)), step("D", "L", reply(b"OK"))], [(0, 1)])]),
]

# Display filters in summary output (no -V): the frames each selects are
# those whose decoded row passes the test. tshark -2 for what only the
# second pass knows.
FILTERS = [
    (["-Y", "udpcmd.response_time > 0.5"], lambda row: row.get("udpcmd.response_time", 0) > 0.5),
    (["-2", "-Y", "udpcmd.no_reply_seen"], lambda row: NO_REPLY_SEEN in row["expert"]),
    (["-Y", 'udpcmd.message == "@1"'], lambda row: row.get("udpcmd.message") == b"@1"),
]


# --- Malformed command frames ----------------------------------------------------


def too_long():
    """A 32-byte frame, checksum field right."""
    message = b"a" * 23 + b"b"
    total = 18 + sum(message)
    return (b"\xF1\x01\x04" + message + bytes([0x0D, 0xFF, total >> 8, total & 0xFF, 0xF2])).hex()


# name, datagram, its one error, the checksum status (None: none shown)
MALFORMED = [
    ("no_header", "F0 01 04 41 42 0D 95 F2", "udpcmd.no_header", 1),
    ("empty_datagram", "", "udpcmd.no_header", None),
    ("no_end_of_text", "F1 01 04 41 42 95 F2", "udpcmd.no_end_of_text", None),
    ("no_trailer", BAD_TRAILER, "udpcmd.no_trailer", 1),
    ("zero_inside", "F1 01 04 41 00 42 0D 95 F2", "udpcmd.zero_inside", 1),
    ("longer_than_31", too_long(), "udpcmd.too_long", 1),
    ("checksum_wrong", "F1 01 04 41 42 0D 96 F2", "udpcmd.checksum.bad", 0),
    ("checksum_cut_short", "F1 01 04 48 45 4C 4C 4F 0D FF 86 F2", "udpcmd.checksum.bad", 0),
    ("checksum_missing", "F1 01 04 41 42 0D F2", "udpcmd.checksum.bad", 0),
]


# --- Agreement with the frame code -------------------------------------------------

SEED = 2639
COMMANDS = 300


# Where chance rarely goes: the frame table's commands (an empty field, the
# field FF alone or cut after its high byte ...), the longest commands.
CORNERS = [row.command for row in FRAMES] + [b"\x80" * 25 + b"n", b"a" * 22 + b"'"]


def generated_commands():
    """Commands of 0 to 26 bytes, 1 to FF, with many at signs and asterisks."""
    chosen = random.Random(SEED)
    pool = list(range(1, 256)) + [0x40] * 40 + [0x2A] * 12 + [0x27] * 8
    return CORNERS + [bytes(chosen.choice(pool) for _ in range(chosen.randint(0, 26)))
                      for _ in range(COMMANDS)]


def frame_table(exe, commands):
    run = subprocess.run([exe], input="".join(c.hex() + "\n" for c in commands),
                         capture_output=True, text=True, timeout=60, check=True)
    return [line.split() for line in run.stdout.splitlines()]


# --- Abuse -----------------------------------------------------------------------

ABUSE = 4000
# Bytes that frames are made of, more often than chance would pick them.
FRAME_BYTES = [0xF1, 0x01, 0x04, 0x0D, 0xF2, 0x40, 0x2A, 0x00, 0xFF, 0xFE]


def abuse_packets(chosen):
    """Random datagrams to, from and beside the port; some captured short,
    some quoted by ICMP errors; and a command from port 0 followed by an
    empty datagram back, captured short in its UDP header."""
    packets, lengths = [], []
    for _ in range(ABUSE):
        size = chosen.choice([0, 0, chosen.randint(1, 8), chosen.randint(1, 40)])
        payload = bytes(chosen.choice(FRAME_BYTES) if chosen.random() < 0.5
                        else chosen.randrange(256) for _ in range(size))
        sender = ("192.168.0." + str(chosen.randint(2, 4)), chosen.choice([0, 2639, 45064,
                                                                          chosen.randrange(65536)]))
        device = (DEVICE_IP, chosen.choice([DEVICE_PORT, DEVICE_PORT, 2700, 0]))
        ends = (sender, device) if chosen.random() < 0.5 else (device, sender)
        packet = pcap.udp(*ends[0], *ends[1], payload)
        if chosen.random() < 0.05:
            quoted = packet[:chosen.randint(20, len(packet))]
            packet = pcap.unreachable(ends[1][0], ends[0][0], quoted)
        packets.append(packet)
        lengths.append(len(packet))
        if chosen.random() < 0.1:
            packets[-1] = packet[:chosen.randint(1, len(packet))]
    packets += [pcap.udp("192.168.0.2", 0, DEVICE_IP, DEVICE_PORT, AT_ONE.frame),
                pcap.udp(DEVICE_IP, DEVICE_PORT, "192.168.0.2", 0, b"")[:24]]
    return packets, lengths + [len(packets[-2]), 28]


# --- The end-to-end cases' own captures ----------------------------------------

MARKER = b"e2e: end of run"


def expected_frames(exe, payloads):
    """For each datagram to the device, its row as the frame code builds it:
    the message is what lies between the header and an end-of-text byte."""
    candidates = [(payload, payload[3:end]) for payload in payloads
                  for end, byte in enumerate(payload) if byte == 0x0D and end >= 3]
    rows = {}
    for (payload, message), line in zip(candidates, frame_table(exe, [m for _, m in candidates])):
        if line != ["refused"] and bytes.fromhex(line[0]) == payload:
            rows[payload] = {"udpcmd.message": message, "udpcmd.checksum.sum": int(line[1]),
                             "udpcmd.checksum.status": 1, "udpcmd.awaits_reply": int(line[2]),
                             "expert": []}
    return rows


def expected_reply(payload):
    return {"udpcmd.reply": payload.split(b"\0")[0], "udpcmd.reply.length": len(payload),
            "expert": [("udpcmd.reply.too_long", "warning")] if len(payload) > 32 else []}


def e2e_rows(exe, parts):
    """The rows of the end-to-end datagrams, and the pairs (command, reply):
    a datagram to the device is a command, the first datagram after it back
    to its sender is its reply, and any other from the device's port a reply
    without a command."""
    frames = expected_frames(exe, [d for _, _, _, port, d in parts if port == DEVICE_PORT])
    rows, pairs, waiting = [], [], {}
    for index, (source, source_port, destination, port, payload) in enumerate(parts):
        if port == DEVICE_PORT:
            waiting[(source, source_port)] = index
            row = {"expert": [("udpcmd.no_header", "error")]} if payload == MARKER else \
                frames.get(payload, {"udpcmd.checksum.status": 1})
            rows.append(dict(row, **{"udpcmd.awaits_reply": awaits(payload)}))
            continue
        command_index = waiting.pop((destination, port), None)
        if command_index is not None:
            pairs.append((command_index, index))
        rows.append(expected_reply(payload) if command_index is not None or
                    source_port == DEVICE_PORT else NOT_UDPCMD)
    return rows, pairs


# --- The tests ----------------------------------------------------------------------


class DissectorTest(OptionsTest):
    """A group: the method test_GROUP, with the command line's options."""

    def setUp(self):
        if shutil.which("tshark") is None:
            self.skipTest("tshark is not installed (Debian: apt-get install tshark)")
        if self.options.lua:
            self.check_loaded(self.options.lua)

    def tshark(self, args):
        """Runs tshark with a personal configuration of its own. Gives its
        standard output; any message on standard error but the warning printed
        to root is a failure."""
        with tempfile.TemporaryDirectory(prefix="udpcmd-tshark-") as home:
            run = subprocess.run(["tshark"] + args, env=tshark_environment(home),
                                 stdin=subprocess.DEVNULL, capture_output=True, text=True,
                                 timeout=120)
        complaints = [line for line in run.stderr.splitlines() if line.strip() != ROOT_WARNING]
        self.assertTrue(run.returncode == 0 and not complaints,
                        f"tshark {' '.join(args)} exited {run.returncode}:\n" + run.stderr)
        return run.stdout

    def check_loaded(self, lua):
        """The dissector under test, and no other copy of it, is what tshark loads."""
        mine = os.path.realpath(lua)
        listed = self.tshark(["-G", "plugins", "-X", f"lua_script:{lua}"]).splitlines()
        paths = [os.path.realpath(line.split("\t")[-1].strip()) for line in listed
                 if "\tlua script\t" in line]
        others = [path for path in paths if path != mine and path.endswith("/udpcmd.lua")]
        if others:
            self.skipTest(f"an installed {', '.join(others)} would be decoded instead of {lua}")
        self.assertIn(mine, paths, f"tshark did not load {lua}; as root, Wireshark's init.lua "
                      "must keep run_user_scripts_when_superuser = true")

    def decode(self, capture, options=()):
        """One row per packet of the capture, as the dissector shows it."""
        script = ["-2", "-X", f"lua_script:{self.options.lua}", "-r", capture] + list(options)
        columns = self.tshark(script + ["-T", "fields", "-E", "separator=/t", "-e",
                                        "_ws.col.Protocol", "-e", "_ws.col.Info"]).split("\n")
        rows = []
        for number, packet in enumerate(ElementTree.fromstring(
                self.tshark(script + ["-T", "pdml"])).iter("packet")):
            protocol, info = columns[number].split("\t", 1)
            row = {"protocol": protocol, "info": info, "expert": []}
            for field in packet.findall("proto[@name='udpcmd']/field"):
                if field.get("name") == "_ws.expert":
                    kind = [f.get("name") for f in field if not f.get("name").startswith("_ws.")]
                    severity = int(field.find("field[@name='_ws.expert.severity']").get("show"))
                    row["expert"].append((kind[0], SEVERITIES.get(severity, severity)))
                else:
                    row[field.get("name")] = value(field)
            rows.append(row)
        return rows

    def assert_rows(self, rows, expected, names):
        """Each decoded row has the fields of its expected one; names: the
        case of each packet."""
        self.assertEqual(len(rows), len(expected), "packets decoded, and expected")
        for number, (row, want) in enumerate(zip(rows, expected), 1):
            with self.subTest(names[number - 1], packet=number):
                self.assertEqual(fields(row, want), fields(want, want))

    def check_cases(self, cases, options=(), filters=False):
        """Decodes the packets of every case, (name, steps, pairs), in one
        capture; with filters, checks the display filters on it too."""
        packets, lengths, expected, names, times, now = [], [], [], [], [], 0.0
        for number, (name, steps, pairs) in enumerate(cases):
            first, case_times = len(packets) + 1, []
            for delay in (s[4] for s in steps):
                now += delay
                case_times.append(now)
            captured, on_wire = packets_of(steps, number)
            packets += captured
            lengths += on_wire
            expected += paired([s[3] for s in steps], pairs, first, case_times)
            names += [name] * len(steps)
            times += case_times
        with tempfile.TemporaryDirectory(prefix="udpcmd-pcap-") as folder:
            capture = os.path.join(folder, "capture.pcap")
            pcap.write(capture, packets, times, lengths)
            rows = self.decode(capture, options)
            self.assert_rows(rows, expected, names)
            if filters:
                self.check_filters(capture, rows)

    def check_filters(self, capture, rows):
        """Each display filter selects in summary output the packets whose
        decoded row passes its test, and at least one."""
        for options, test in FILTERS:
            with self.subTest(" ".join(options)):
                lines = self.tshark(["-X", f"lua_script:{self.options.lua}", "-r", capture]
                                    + options).splitlines()
                wanted = [number for number, row in enumerate(rows, 1) if test(row)]
                self.assertTrue(wanted, "the capture holds nothing for the filter to select")
                self.assertEqual([int(line.split()[0]) for line in lines if line.strip()], wanted)

    def test_captures(self):
        self.check_cases(CAPTURES, filters=True)
        for options, cases in PORTS:
            self.check_cases(cases, options)

    def test_malformed(self):
        self.check_cases([(name, [step("A", "D", malformed(datagram, error, status))], [])
                          for name, datagram, error, status in MALFORMED])

    def test_agreement(self):
        frames, expected = [], []
        for line in frame_table(self.options.frame_table, generated_commands()):
            if line != ["refused"]:
                frame, total, awaits = bytes.fromhex(line[0]), int(line[1]), int(line[2])
                frames.append(frame)
                expected.append({"udpcmd.checksum.sum": total, "udpcmd.checksum.status": 1,
                                 "udpcmd.awaits_reply": awaits, "expert": []})
        # The sample must reach every kind of checksum field and both decisions.
        sums = [row["udpcmd.checksum.sum"] for row in expected]
        reached = {"fitting frames": len(frames) >= COMMANDS * 2 // 3,
                   "awaits a reply": any(r["udpcmd.awaits_reply"] for r in expected),
                   "S < 0": min(sums) < 0, "S >= 250": max(sums) >= 250,
                   "an empty field": any(s % 256 == 0 and s < 250 for s in sums)}
        for what, ok in reached.items():
            with self.subTest(what):
                self.assertTrue(ok, f"the generated commands give no {what}")
        self.check_cases([(f.hex(), [step("A", "D", (f, row))], [])
                          for f, row in zip(frames, expected)])

    def test_abuse(self):
        packets, lengths = abuse_packets(random.Random(SEED))
        with tempfile.TemporaryDirectory(prefix="udpcmd-pcap-") as folder:
            capture = os.path.join(folder, "abuse.pcap")
            pcap.write(capture, packets, lengths=lengths)
            script = ["-X", f"lua_script:{self.options.lua}", "-r", capture]
            errors = [line for passes in ([], ["-2"]) for line in
                      self.tshark(script + passes + ["-V"]).splitlines() if "Lua Error" in line]
            columns = self.tshark(script + ["-T", "fields", "-e", "icmp.type", "-e",
                                            "_ws.col.Protocol"])
        self.assertEqual(errors[:1], [], f"{len(errors)} Lua errors, the first shown")
        self.assertEqual([line.split()[1] for line in columns.splitlines()
                          if line.startswith("3\t") and line.split()[1] != "ICMP"], [],
                         "ICMP errors shown as another protocol")

    def test_e2e(self):  # the cases' captures of lo in one file; the device's own as it wrote them
        folder = self.options.captures
        names = sorted(n for n in os.listdir(folder) if n.endswith(".pcap"))
        devices = [os.path.join(folder, n) for n in names if n.endswith(".device.pcap")]
        packets = [p for name in names if not name.endswith(".device.pcap")
                   for p in pcap.read(os.path.join(folder, name))]
        if not packets or not devices:
            self.skipTest(f"no captures, or none of the device's, in {folder}: the end-to-end "
                          "cases make them")
        times = [number / 1000 for number in range(len(packets))]
        with tempfile.TemporaryDirectory(prefix="udpcmd-pcap-") as lo:
            capture = os.path.join(lo, "e2e.pcap")
            pcap.write(capture, packets, times)
            self.check_e2e(capture, packets, times)
        for device in devices:
            self.check_e2e(device, pcap.read(device), pcap.times(device))

    def check_e2e(self, capture, packets, times):
        rows, pairs = e2e_rows(self.options.frame_table, [pcap.parts(p) for p in packets])
        name = os.path.basename(capture)
        with self.subTest(name):
            self.assert_rows(self.decode(capture), paired(rows, pairs, 1, times),
                             [name] * len(rows))
            self.assertTrue(pairs, f"{capture} holds no command with its reply")

    def test_plugin_folder(self):
        folders = dict(line.split(":", 1) for line in self.tshark(["-G", "folders"]).splitlines()
                       if ":" in line)
        wanted = "/usr/" + self.options.plugin_dir.strip("/")
        self.assertEqual(folders.get("Global Lua Plugins", "").strip(), wanted,
                         "tshark's global Lua plugins folder, and where the packages install "
                         "the dissector")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("group", choices=[n[5:] for n in dir(DissectorTest) if n[:5] == "test_"])
    parser.add_argument("--lua")
    parser.add_argument("--frame-table")
    parser.add_argument("--plugin-dir")
    parser.add_argument("--captures")
    args = parser.parse_args()
    return ctest_status(DissectorTest(args, "test_" + args.group))


if __name__ == "__main__":
    sys.exit(main())
