"""What the Python tests share.

    OptionsTest     a unittest test given the command line's options
    ctest_status(test) -> runs one unittest test: 0 passed, 1 failed, 77 skipped
    FRAMES          the frame table's rows (frames.txt), as Frame tuples
    FRAME[command]  the frame sent for a command of the table
    REPORT[name]    a text of udpcmd's report (report.txt), bytes
    device_line(text) -> DeviceLine, or None: the device's line for a datagram
    tshark_environment(home)   the environment for tshark with a configuration
                               of its own in the folder `home`

As a program, it writes the data for the C and C++ tests and the fuzzer:

    testlib.py header FILE     the C header test_data.h (test_data.h.in filled in)
    testlib.py seeds FOLDER    a fuzz seed per frame table row: table-NAME, its
                               command, and frame-NAME, its frame
"""

import os
import re
import sys
import unittest
from collections import namedtuple

HERE = os.path.dirname(os.path.abspath(__file__))
SKIP = 77
DEVICE_IP, DEVICE_PORT = "192.168.0.254", 2639


class OptionsTest(unittest.TestCase):
    """A test given the command line's options: the method named, or runTest."""
    maxDiff = None  # a failure shows the whole of what differs

    def __init__(self, options, method="runTest"):
        super().__init__(method)
        self.options = options


def ctest_status(test):
    """Runs one unittest test, saying what failed or why it skipped: CTest's status."""
    result = unittest.TextTestRunner(verbosity=2).run(test)
    return 1 if not result.wasSuccessful() else SKIP if result.skipped else 0


def rows(name, columns):
    """The |-separated fields, trimmed, of each line of a data file here that
    is neither blank nor a comment."""
    with open(os.path.join(HERE, name), encoding="ascii") as lines:
        return [[field.strip() for field in line.split("|", columns - 1)] for line in lines
                if line.strip() and not line.startswith("#")]


def hex_bytes(field):
    """Bytes written as hex pairs, HH*N standing for N bytes HH."""
    pairs = [token.partition("*") for token in field.split()]
    return b"".join(bytes.fromhex(pair) * int(count or 1) for pair, _, count in pairs)


Frame = namedtuple("Frame", "name command sum frame awaits_reply")
FRAMES = [Frame(name, hex_bytes(command), int(total), hex_bytes(frame), reply == "yes")
          for name, command, total, frame, reply in rows("frames.txt", 5)]
FRAME = {row.command: row.frame for row in FRAMES}

REPORT = {}
for name, text in rows("report.txt", 2):
    REPORT[name] = REPORT[name] + b"\n" + text.encode() if name in REPORT else text.encode()

# "#1 from 192.168.0.254:45064, 8 bytes: F1 01 ... F2 | message ...", the bytes
# shown up to 64 and followed by " ..." beyond.
DeviceLine = namedtuple("DeviceLine", "number address port length data cut rest")
DEVICE_LINE = re.compile(
    r"#(\d+) from ([\d.]+):(\d+), (\d+) bytes:((?: [0-9A-F]{2})*)( \.\.\.)? \| (.*)$")


def device_line(text):
    found = DEVICE_LINE.match(text)
    return found and DeviceLine(int(found[1]), found[2], int(found[3]), int(found[4]),
                                bytes.fromhex(found[5]), bool(found[6]), found[7])


def tshark_environment(home):
    """Nothing of the user's Wireshark configuration (preferences, personal
    Lua plugins) takes part in a tshark run with this environment."""
    return dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"))


def c_string(text):
    return '"' + "".join(chr(b) if 0x20 <= b < 0x7F and b not in b'"\\' else f"\\{b:03o}"
                         for b in text) + '"'


def header():
    texts = "".join(f"#define REPORT_{name.upper()} {c_string(text)}\n"
                    for name, text in REPORT.items())
    names = [f"FRAME_{row.name.upper()}" for row in FRAMES]
    table = "".join(f'constexpr FrameRow {name}{{"{row.name}", {c_string(row.command)}, {row.sum}, '
                    f"{c_string(row.frame)}, {str(row.awaits_reply).lower()}}};\n"
                    for name, row in zip(names, FRAMES))
    table += f"constexpr FrameRow FRAME_ROWS[] = {{{', '.join(names)}}};"
    with open(os.path.join(HERE, "test_data.h.in"), encoding="ascii") as template:
        return template.read().replace("@REPORT_TEXTS@", texts).replace("@FRAME_ROWS@", table)


def write(path, data):
    """Writes data to path unless it holds it already (nothing to rebuild)."""
    if os.path.exists(path):
        with open(path, "rb") as old:
            if old.read() == data:
                return
    with open(path, "wb") as out:
        out.write(data)


if __name__ == "__main__":
    what, where = sys.argv[1:3]
    if what == "header":
        write(where, header().encode())
    else:
        os.makedirs(where, exist_ok=True)
        for row in FRAMES:
            write(os.path.join(where, f"table-{row.name}"), row.command)
            write(os.path.join(where, f"frame-{row.name}"), row.frame)
