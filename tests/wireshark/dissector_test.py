#!/usr/bin/env python3
"""Tests of the Wireshark dissector tools/wireshark/udpcmd.lua, with tshark.

  dissector_test.py captures       --lua FILE
  dissector_test.py malformed      --lua FILE
  dissector_test.py agreement      --lua FILE --frame-table EXE
  dissector_test.py plugin-folder  --plugin-dir DIR
  dissector_test.py e2e            --lua FILE --frame-table EXE --captures DIR

Each group writes a pcap straight from bytes (no network, no udpcmd run),
decodes it with `tshark -X lua_script:FILE` and compares the fields:

  captures       every frame of the frame table (tests/common/frames.txt),
                 and exchanges as udpcmd and the device make them: a reply,
                 an empty one, one with a zero inside, 32 bytes, oversize,
                 a reply from another port
  malformed      each kind of malformed command frame raises its one error
  agreement      for a few hundred generated commands, S, the checksum status
                 and the reply decision equal what the program's own frame
                 code gives (udpcmd_frame_table)
  plugin-folder  DIR (below /usr) is where Debian's tshark looks for global
                 Lua plugins
  e2e            every datagram the end-to-end cases sent on lo (their
                 captures in DIR): udpcmd's frames decode as the frame code
                 builds them, the replies as udpcmd shows them, and the
                 cases' end-of-run marker as a frame without header

As a module: decode(pcap, lua) gives one row per packet, a dict from field
name (udpcmd.message, ...) to value, plus "info" (the Info column) and
"expert" (a list of (name, severity)); mismatches(rows, expected) compares
them with a list of dicts holding the fields a row must have.

Exit status: 0 passed, 1 failed, 77 skipped (no tshark here).
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
from testlib import DEVICE_IP, DEVICE_PORT, FRAMES, check, outcome, skip  # noqa: E402

SENDER = (DEVICE_IP, 45064)
DEVICE = (DEVICE_IP, DEVICE_PORT)
SEVERITIES = {0x00800000: "error", 0x00600000: "warning", 0x00400000: "note", 0x00200000: "chat"}
# Fields whose value is the bytes they cover; the others are read as numbers.
BYTE_FIELDS = {"udpcmd.header", "udpcmd.message", "udpcmd.checksum", "udpcmd.reply"}
ROOT_WARNING = 'Running as user "root" and group "root". This could be dangerous.'


def command(datagram, sender=SENDER):
    """An IPv4 packet with a datagram to the device; hex or bytes."""
    payload = bytes.fromhex(datagram) if isinstance(datagram, str) else datagram
    return pcap.udp(*sender, *DEVICE, payload)


def reply(payload, sender=SENDER, source=DEVICE):
    """An IPv4 packet with a datagram back to the sender of a command."""
    return pcap.udp(*source, *sender, payload)


# --- tshark ------------------------------------------------------------------


def tshark(args):
    """Runs tshark with a personal configuration of its own, so that nothing
    in the user's (preferences, personal Lua plugins) takes part. Gives its
    standard output; any message on standard error but the warning printed
    to root is a failure."""
    if shutil.which("tshark") is None:
        skip("tshark is not installed (Debian: apt-get install tshark)")
    with tempfile.TemporaryDirectory(prefix="udpcmd-tshark-") as home:
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"))
        run = subprocess.run(["tshark"] + args, env=env, stdin=subprocess.DEVNULL,
                             capture_output=True, text=True, timeout=120)
    complaints = [line for line in run.stderr.splitlines() if line.strip() != ROOT_WARNING]
    check(run.returncode == 0 and not complaints,
          f"tshark {' '.join(args)} exited {run.returncode}:\n" + run.stderr)
    return run.stdout


LOADED = set()


def check_loaded(lua):
    """The dissector under test, and no other copy of it, is what tshark loads."""
    if lua in LOADED:
        return
    mine = os.path.realpath(lua)
    listed = tshark(["-G", "plugins", "-X", f"lua_script:{lua}"]).splitlines()
    paths = [os.path.realpath(line.split("\t")[-1].strip()) for line in listed
             if "\tlua script\t" in line]
    others = [path for path in paths if path != mine and path.endswith("/udpcmd.lua")]
    if others:
        skip(f"an installed {', '.join(others)} would be decoded instead of {lua}")
    check(mine in paths, f"tshark did not load {lua}; as root, Wireshark's init.lua must "
          "keep run_user_scripts_when_superuser = true")
    LOADED.add(lua)


def value(field):
    name = field.get("name")
    if name in BYTE_FIELDS:
        return bytes.fromhex(field.get("value", ""))
    return int(field.get("show"), 0)


def decode(capture, lua):
    """One row per packet of the capture, as the dissector shows it."""
    check_loaded(lua)
    script = ["-X", f"lua_script:{lua}", "-r", capture]
    infos = tshark(script + ["-T", "fields", "-e", "_ws.col.Info"]).split("\n")
    rows = []
    for number, packet in enumerate(ElementTree.fromstring(tshark(script + ["-T", "pdml"]))
                                    .iter("packet")):
        row = {"info": infos[number], "expert": []}
        for field in packet.findall("proto[@name='udpcmd']/field"):
            if field.get("name") == "_ws.expert":
                kind = [f.get("name") for f in field if not f.get("name").startswith("_ws.")]
                severity = int(field.find("field[@name='_ws.expert.severity']").get("show"))
                row["expert"].append((kind[0], SEVERITIES.get(severity, severity)))
            else:
                row[field.get("name")] = value(field)
        rows.append(row)
    return rows


def mismatches(rows, expected):
    """What differs between the decoded rows and the expected ones."""
    if len(rows) != len(expected):
        return [f"{len(rows)} packets decoded, {len(expected)} expected"]
    found = []
    for number, (row, want) in enumerate(zip(rows, expected), 1):
        for name, wanted in want.items():
            if row.get(name) != wanted:
                found.append(f"packet {number}: {name} is {row.get(name)!r}, not {wanted!r}")
    return found


def check_cases(cases, lua):
    """Decodes the packets of every case in one capture, each case from a
    sender port of its own; a case is (name, [(packet(sender), row)])."""
    packets, expected, names = [], [], []
    for number, (name, exchange) in enumerate(cases):
        sender = (SENDER[0], SENDER[1] + number)
        for packet, row in exchange:
            packets.append(packet(sender))
            expected.append(row)
            names.append(name)
    with tempfile.TemporaryDirectory(prefix="udpcmd-pcap-") as folder:
        capture = os.path.join(folder, "capture.pcap")
        pcap.write(capture, packets)
        rows = decode(capture, lua)
    found = mismatches(rows, expected)
    if len(rows) == len(expected):
        found = [f"{names[int(m.split()[1].rstrip(':')) - 1]}: {m}" for m in found]
    return found


# --- Captures ------------------------------------------------------------------

REPLY_32 = b"0123456789abcdefghijklmnopqrstuv"


def shown(text):
    """Bytes as the Info column shows them: control characters as \\xNN."""
    return "".join(f"\\x{b:02X}" if b < 0x20 or 0x7F <= b < 0xA0 else chr(b) for b in text)


def sent(row):
    """A frame of the frame table and its row."""
    message, frame = row.frame[3:3 + len(row.command)], row.frame
    return lambda sender: command(frame, sender), {
        "udpcmd.header": frame[:3], "udpcmd.message": message, "udpcmd.end_of_text": 0x0D,
        "udpcmd.checksum": frame[4 + len(message):-1], "udpcmd.checksum.sum": row.sum,
        "udpcmd.checksum.status": 1, "udpcmd.trailer": 0xF2,
        "udpcmd.awaits_reply": int(row.awaits_reply), "expert": [],
        "info": f'Command "{shown(message)}", '
                + ("awaits reply" if row.awaits_reply else "no reply awaited")}


def answer(text, shown=None, source=DEVICE, expert=()):
    """A reply and its row."""
    shown = text if shown is None else shown
    row = {"udpcmd.reply": shown, "udpcmd.reply.length": len(text), "expert": list(expert)}
    if not expert:
        row["info"] = f'Reply "{shown.decode("latin-1")}"'
    return lambda sender: reply(text, sender, source), row


OTHER_PORT = (DEVICE_IP, 40000)
AT_ONE_SENT = sent(next(row for row in FRAMES if row.command == b"@1"))

CAPTURES = [(f"frames.{row.name}", [sent(row)]) for row in FRAMES] + [
    ("reply", [AT_ONE_SENT, answer(b"OK @1")]),
    ("empty_reply", [AT_ONE_SENT, answer(b"")]),
    ("zero_inside_reply", [AT_ONE_SENT, answer(b"AB\0C", shown=b"AB")]),
    ("reply_32_bytes", [AT_ONE_SENT, answer(REPLY_32)]),
    ("oversize_reply", [AT_ONE_SENT, answer(REPLY_32 + b"w",
                                            expert=[("udpcmd.reply.too_long", "warning")])]),
    # Only the first datagram back to the command's port is its reply.
    ("reply_from_another_port", [AT_ONE_SENT, answer(b"OK", source=OTHER_PORT),
                                 (answer(b"late", source=OTHER_PORT)[0], {"udpcmd.reply": None})]),
]


def run_captures(args):
    return check_cases(CAPTURES, args.lua)


# --- Malformed command frames ----------------------------------------------------


def too_long():
    """A 32-byte frame, checksum field right."""
    message = b"a" * 23 + b"b"
    total = 18 + sum(message)
    return b"\xF1\x01\x04" + message + bytes([0x0D, 0xFF, total >> 8, total & 0xFF, 0xF2])


# name, datagram, its one error, the checksum status (None: none shown)
MALFORMED = [
    ("no_header", "F0 01 04 41 42 0D 95 F2", "udpcmd.no_header", 1),
    ("empty_datagram", "", "udpcmd.no_header", None),
    ("no_end_of_text", "F1 01 04 41 42 95 F2", "udpcmd.no_end_of_text", None),
    ("no_trailer", "F1 01 04 41 42 0D 95", "udpcmd.no_trailer", 1),
    ("zero_inside", "F1 01 04 41 00 42 0D 95 F2", "udpcmd.zero_inside", 1),
    ("longer_than_31", too_long(), "udpcmd.too_long", 1),
    ("checksum_wrong", "F1 01 04 41 42 0D 96 F2", "udpcmd.checksum.bad", 0),
    ("checksum_cut_short", "F1 01 04 48 45 4C 4C 4F 0D FF 86 F2", "udpcmd.checksum.bad", 0),
    ("checksum_missing", "F1 01 04 41 42 0D F2", "udpcmd.checksum.bad", 0),
]


def run_malformed(args):
    cases = [(name, [(lambda sender, d=datagram: command(d, sender),
                      {"expert": [(error, "error")], "udpcmd.checksum.status": status})])
             for name, datagram, error, status in MALFORMED]
    return check_cases(cases, args.lua)


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


def run_agreement(args):
    frames, expected = [], []
    for line in frame_table(args.frame_table, generated_commands()):
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
    failures = [f"the generated commands give no {what}" for what, ok in reached.items() if not ok]
    return failures + check_cases([(f.hex(), [(lambda sender, f=f: command(f, sender), row)])
                                   for f, row in zip(frames, expected)], args.lua)


# --- The end-to-end cases' own captures ----------------------------------------

MARKER = b"e2e: end of run"


def udp_parts(packet):
    head = (packet[0] & 0x0F) * 4
    return int.from_bytes(packet[head:head + 2], "big"), \
        int.from_bytes(packet[head + 2:head + 4], "big"), packet[head + 8:]


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


def run_e2e(args):
    names = sorted(n for n in os.listdir(args.captures) if n.endswith(".pcap"))
    packets = [p for name in names for p in pcap.read(os.path.join(args.captures, name))]
    if not packets:
        skip(f"no captures in {args.captures}: the end-to-end cases make them")
    parts = [udp_parts(p) for p in packets]
    frames = expected_frames(args.frame_table, [d for _, port, d in parts if port == DEVICE[1]])
    expected = []
    for source, port, payload in parts:
        if payload == MARKER:
            expected.append({"expert": [("udpcmd.no_header", "error")]})
        elif port == DEVICE[1]:
            expected.append(frames.get(payload, {"udpcmd.checksum.status": 1}))
        else:
            expected.append(expected_reply(payload) if source == DEVICE[1] else {})
    with tempfile.TemporaryDirectory(prefix="udpcmd-pcap-") as folder:
        capture = os.path.join(folder, "e2e.pcap")
        pcap.write(capture, packets)
        return mismatches(decode(capture, args.lua), expected)


# --- The plugin folder -------------------------------------------------------------


def run_plugin_folder(args):
    folders = dict(line.split(":", 1) for line in tshark(["-G", "folders"]).splitlines()
                   if ":" in line)
    shown = folders.get("Global Lua Plugins", "").strip()
    wanted = "/usr/" + args.plugin_dir.strip("/")
    return [] if shown == wanted else [f"tshark's global Lua plugins folder is {shown!r}; "
                                       f"the packages install the dissector in {wanted!r}"]


GROUPS = {"captures": run_captures, "malformed": run_malformed, "agreement": run_agreement,
          "plugin-folder": run_plugin_folder, "e2e": run_e2e}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("group", choices=sorted(GROUPS))
    parser.add_argument("--lua")
    parser.add_argument("--frame-table")
    parser.add_argument("--plugin-dir")
    parser.add_argument("--captures")
    args = parser.parse_args()
    return outcome(lambda: GROUPS[args.group](args))


if __name__ == "__main__":
    sys.exit(main())
