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

WINE_RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "../wine-run")


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
    against it. test: the case, whose options name the prefix and the loader
    (wine for a 32-bit prefix, wine64 for a 64-bit one)."""

    def __init__(self, test):
        prefix, loader = test.options.wine, test.options.wine_loader
        if not shutil.which(loader):
            test.skipTest(f"{loader} is not installed")
        tmpdir = os.environ.get("TMPDIR", "")
        with open("/proc/self/mountinfo") as mounts:
            private = any(m.split()[4] == tmpdir and " - tmpfs " in m for m in mounts)
        test.assertTrue(private, f"REFUSING TO RUN: TMPDIR ({tmpdir!r}) is not a private tmpfs; "
                        "run under scripts/isolated --wine")
        self.test, self.prefix, self.run = test, prefix, [WINE_RUN, loader, prefix]

    def launch(self, option, seconds):
        """The launcher, bounded; it keeps wine's services off every pipe."""
        argv = self.run + [option]
        try:
            return subprocess.run(argv, stdin=subprocess.DEVNULL, timeout=seconds).returncode
        except subprocess.TimeoutExpired:
            self.test.fail(f"{' '.join(argv)} took longer than {seconds} s")

    def __enter__(self):
        try:
            status, test = self.launch("--start", 130), self.test
            test.assertEqual(status, 0, "wine cannot run a Windows program here")
            servers = serving(self.prefix)
            test.assertTrue(servers, "REFUSING TO RUN: no wineserver for the prefix is running")
            test.assertTrue(all(s[1] == netns(os.getpid()) for s in servers),
                            "REFUSING TO RUN udpcmd.exe: a wineserver for the prefix runs in "
                            f"another network namespace: {servers}")
            test.assertTrue(any(s[2].startswith(os.environ["TMPDIR"] + "/") for s in servers),
                            "REFUSING TO RUN: the wineserver is not in the private server "
                            f"directory: {servers}")
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        self.launch("--stop", 10)
