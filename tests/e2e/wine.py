"""udpcmd.exe under wine, isolated like the native program.

wine creates sockets in wineserver, not in the program's process: one
started outside the case's network namespace would send from the host's
network. So each case starts a wineserver of its own inside its namespace,
behind the private tmpfs that `scripts/isolated --wine` puts at TMPDIR, and
refuses to run udpcmd.exe unless every wineserver serving the prefix is that
one."""

import os
import shutil
import subprocess

from harness import netns, pids
from testlib import check, skip

WINE_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../wine-run")


def quiet(argv, seconds):
    """The launcher, bounded; it keeps wine's services off every pipe."""
    try:
        return subprocess.run(argv, stdin=subprocess.DEVNULL, timeout=seconds).returncode
    except subprocess.TimeoutExpired:
        check(False, f"{' '.join(argv)} took longer than {seconds} s")


def serving(prefix):
    """(pid, network namespace, directory) of each wineserver serving the
    prefix: it holds the prefix open, or works in its server-DEV-INODE folder."""
    info, found = os.stat(prefix), []
    for pid in pids():
        try:
            if not os.path.basename(os.readlink(f"/proc/{pid}/exe")).startswith("wineserver"):
                continue
            cwd, held = os.readlink(f"/proc/{pid}/cwd"), set()
            for fd in os.listdir(f"/proc/{pid}/fd"):
                try:
                    file = os.stat(f"/proc/{pid}/fd/{fd}")
                    held.add((file.st_dev, file.st_ino))
                except OSError:
                    pass
            if (info.st_dev, info.st_ino) in held or \
                    os.path.basename(cwd) == f"server-{info.st_dev:x}-{info.st_ino:x}":
                found.append((pid, netns(pid), cwd))
        except OSError:
            pass  # gone
    return found


class Wine:
    """A wineserver of its own for one case, started inside the namespace by
    the tests' wine launcher (tests/wine-run); `run` runs a Windows program
    against it."""

    def __init__(self, prefix, loader):
        """loader: wine for a 32-bit prefix, wine64 for a 64-bit one."""
        if not shutil.which(loader):
            skip(f"{loader} is not installed")
        tmpdir = os.environ.get("TMPDIR", "")
        with open("/proc/self/mountinfo") as mounts:
            private = any(m.split()[4] == tmpdir and " - tmpfs " in m for m in mounts)
        check(private, f"REFUSING TO RUN: TMPDIR ({tmpdir!r}) is not a private tmpfs; "
              "run under scripts/isolated --wine")
        self.prefix, self.run = prefix, [WINE_RUN, loader, prefix]

    def __enter__(self):
        try:
            status = quiet(self.run + ["--start"], 130)
            check(status == 0, f"wine cannot run a Windows program here (status {status})")
            servers = serving(self.prefix)
            check(servers, "REFUSING TO RUN: no wineserver for the prefix is running")
            check(all(s[1] == netns(os.getpid()) for s in servers), "REFUSING TO RUN udpcmd.exe: "
                  "a wineserver for the prefix runs in another network namespace", *servers)
            check(any(s[2].startswith(os.environ["TMPDIR"] + "/") for s in servers),
                  "REFUSING TO RUN: the wineserver is not in the private server directory",
                  *servers)
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        quiet(self.run + ["--stop"], 10)
