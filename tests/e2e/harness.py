"""What an end-to-end case needs: its unittest base, the processes it starts
and ends, and the datagrams on lo. Every wait is bounded."""

import contextlib
import ctypes
import os
import re
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../common"))
import pcap  # noqa: E402  (the dissector's tests read these captures)
from testlib import DEVICE_PORT, OptionsTest  # noqa: E402

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../tools")


def tool_texts(*headers):
    """The texts the tools' headers (paths in tools/) name, as {NAME: text}."""
    texts = {}
    for header in headers:
        with open(os.path.join(TOOLS, header), encoding="ascii") as source:
            found = re.findall(r'constexpr const char\* (\w+) =\s*"((?:[^"\\]|\\.)*)";',
                               source.read())
        texts.update((name, text.replace('\\"', '"')) for name, text in found)
    return texts


# The texts the end-to-end tests check, from the headers of the code that says them.
TEXT = tool_texts("device/reply_guard.h", "device/rules.h", "device/capture.h", "device/options.h",
                  "device/validate.h", "device/device_net.h", "device/show.h", "expect/expect.h")
READY = TEXT["LISTENING"]


class Process:
    """A process in a session of its own, writing into files: nothing it
    leaves running can hold a pipe of ours open."""

    def __init__(self, argv, env=None, output=None, cwd=None):
        """output: standard output goes to a file of ours (None), /dev/full
        ("full"), a pipe without reader ("no_reader"), or is closed."""
        self.files = [tempfile.TemporaryFile(), tempfile.TemporaryFile()]
        stdout = self.files[0]
        if output == "full":
            stdout = open("/dev/full", "wb")
        elif output == "no_reader":
            reader, stdout = os.pipe()
            os.close(reader)
        self.popen = subprocess.Popen(
            argv, stdin=subprocess.DEVNULL, stdout=stdout, stderr=self.files[1], env=env, cwd=cwd,
            start_new_session=True, preexec_fn=(lambda: os.close(1)) if output == "closed" else None)
        if stdout is not self.files[0]:
            os.close(stdout) if isinstance(stdout, int) else stdout.close()

    def out(self, stream=0):
        return os.pread(self.files[stream].fileno(), 1 << 20, 0)  # leaves the offset alone

    def lines(self, stream=0):
        return self.out(stream).decode("ascii", "replace").splitlines()

    def status_lines(self):
        """The device's lines that are not about a datagram: its standard error."""
        return self.lines(1)

    def wait_for(self, predicate, seconds):
        """Whether predicate(self) came true within `seconds`."""
        deadline = time.monotonic() + seconds
        while not predicate(self):
            if self.popen.poll() is not None or time.monotonic() > deadline:
                return predicate(self)
            time.sleep(0.01)
        return True

    def wait(self, seconds):
        """Exit status, or None when still running after `seconds`."""
        try:
            return self.popen.wait(seconds)
        except subprocess.TimeoutExpired:
            return None

    def end(self):
        if self.popen.poll() is None:
            os.killpg(self.popen.pid, 15)
            if self.wait(3) is None:
                os.killpg(self.popen.pid, 9)
                self.wait(3)


class E2ETest(OptionsTest):
    """A case: the method named, or runTest for the table row options.case names."""
    def need_device(self):
        if not os.access(self.options.device, os.X_OK):
            self.skipTest(f"the simulated device {self.options.device} is not built: run "
                          "cmake --workflow --preset native first")

    def start_device(self, argv, env=None):
        """The simulated device, once it says it is listening; ended with the case."""
        process = Process(argv, env)
        self.addCleanup(process.end)
        ready = process.wait_for(lambda p: any(t.startswith(READY) for t in p.status_lines()), 10)
        self.assertTrue(ready, f"the device did not get ready: {process.status_lines()}")
        return process


def exchange(datagram, seconds=0.15):
    """Sends one datagram to the device: (reply, its source port) when one
    comes within `seconds`, else None."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.sendto(datagram, ("127.0.0.1", DEVICE_PORT))
        s.settimeout(seconds)
        try:
            data, source = s.recvfrom(65536)
            return data, source[1]
        except OSError:  # timed out, or nothing there yet when seconds is 0
            return None


class Wire:
    """Every UDP datagram sent on lo from now on."""

    def __init__(self):
        # Only a socket for every protocol (ETH_P_ALL) sees outgoing packets too.
        self.sniffer = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(3))
        self.sniffer.bind(("lo", 3))
        self.sniffer.setblocking(False)
        self.packets = []  # the IPv4 packets of the UDP datagrams

    def drain(self):
        while True:
            try:
                packet, address = self.sniffer.recvfrom(65536)
            except BlockingIOError:
                return self.packets
            if address[1] == 0x0800 and address[2] == socket.PACKET_OUTGOING and packet[9] == 17:
                self.packets.append(packet)

    def datagrams(self):
        """(source port, destination, destination port, payload) of each."""
        return [pcap.parts(packet)[1:] for packet in self.drain()]

    def save(self, path):
        """The packets so far as a capture file, for the dissector's tests."""
        if path:
            pcap.write(path, self.drain())


def netns(pid):
    return os.readlink(f"/proc/{pid}/ns/net")


def pids():
    return [int(p) for p in os.listdir("/proc") if p.isdigit()]


def adopt_orphans():
    """Whatever the case's processes leave behind (wineserver detaches itself)
    stays a descendant of this process (PR_SET_CHILD_SUBREAPER)."""
    ctypes.CDLL(None).prctl(36, 1, 0, 0, 0)


def descendants():
    """This process's live descendants: only ever these are swept."""
    parents = {}
    for pid in pids():
        try:
            with open(f"/proc/{pid}/stat") as stat:
                state, parent = stat.read().rsplit(")", 1)[1].split()[:2]
            if state != "Z":
                parents[pid] = int(parent)
        except (OSError, ValueError):
            pass  # gone
    found, more = {os.getpid()}, True
    while more:
        more = {pid for pid, parent in parents.items() if parent in found} - found
        found |= more
    return found - {os.getpid()}


def udpcmds():
    """The descendants that are a udpcmd, native or under wine."""
    found = []
    for pid in descendants():
        try:
            with open(f"/proc/{pid}/comm") as comm:
                if comm.read().strip() in ("udpcmd", "udpcmd.exe"):
                    found.append(pid)
        except OSError:
            pass  # gone
    return found


def sweep():
    """Ends whatever the case left running; bounded."""
    deadline = time.monotonic() + 5
    while descendants() and time.monotonic() < deadline:
        time.sleep(0.05)
    for pid in descendants():
        with contextlib.suppress(OSError):
            os.kill(pid, 9)
