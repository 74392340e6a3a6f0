"""The zip's example batch files, run by wine's cmd against the simulated
device, laid out as the zip unpacks (udpcmd.exe and udpcmd-expect.exe above
examples\\) in a folder whose name holds a space.

Each row: the example and its arguments, the branch it must take (its last
lines of output and its exit status), the device's options, and for the
procedure the rules it rehearses against: its own procedure-rules.txt, with
the row's line put first (an earlier rule for a command answers first).

Only what wine's cmd does as Windows' does is tested, and the examples use
nothing else: wine's cmd (8) runs the command after && and after || whatever
the status; an `if` on delayed-expanded values that hold a quotation mark
says "Syntax error" and runs its block; findstr's status and `set /p` over a
file of several lines are not Windows'; and here cmd runs without a console,
so Ctrl+C (Windows asks "Terminate batch job (Y/N)?") cannot be typed."""

import os
import shutil
import tempfile
from collections import namedtuple

from harness import E2ETest, Process, udpcmds
from testlib import REPORT
from wine import Wine

Example = namedtuple("Example", "args says status device rules", defaults=((), None))
FAILED = "udpcmd FAILED with ERRORLEVEL -1: its last line says why."
OVERSIZE = "Recv Error Winsock Error: 10040"
STOPPED = "PROCEDURE STOPPED: the line above says why."
LONG = "x" * 33  # one byte more than udpcmd takes
INJECTING = '" & echo INJECTED & rem "'  # cmd would run it after %...% put it in
EXAMPLES = {
    "batch.send.completed": Example(["send.bat", "@1"], ["The exchange completed (ERRORLEVEL 1)."], 0),
    "batch.send.too_long": Example(["send.bat", "z" * 24], [REPORT["too_long"].decode(), FAILED], 1),
    "batch.procedure.done": Example(["procedure.bat", "2"], ["PROCEDURE DONE."], 0, rules=""),
    "batch.procedure.wrong_reply": Example(["procedure.bat", "2"], [
        'udpcmd-expect: ANOTHER REPLY: "STOPPED", not "STARTED"', STOPPED], 1,
        rules="@START => reply STOPPED"),
    "batch.procedure.injecting_reply": Example(["procedure.bat", "2"], [
        f'udpcmd-expect: ANOTHER REPLY: "STARTED{INJECTING}", not "STARTED"', STOPPED], 1,
        rules=f"@START => reply STARTED{INJECTING}"),
    "batch.procedure.silent": Example(["procedure.bat", "2"], [
        "udpcmd-expect: NO REPLY within 2 s: udpcmd was ended", STOPPED], 2,
        rules="@START => no-reply"),
    "batch.procedure.oversize": Example(["procedure.bat", "2"], [
        OVERSIZE, "udpcmd-expect: UDPCMD FAILED (ERRORLEVEL -1): its last line, above, says why",
        STOPPED], 3, rules=f"@START => reply {LONG}"),
    "batch.temperature.read": Example(["temperature.bat", "2"], ["The temperature is 21."], 0,
                                      rules=""),
    "batch.temperature.too_warm": Example(["temperature.bat", "2"], [
        "The temperature is 31.", "TOO WARM: above 30."], 0, rules="@TEMP => reply TEMP 31"),
    "batch.temperature.injecting_reply": Example(["temperature.bat", "2"], [
        "NOT A NUMBER: the reply's second word is not a temperature."], 1,
        rules=f"@TEMP => reply TEMP 2{INJECTING}"),
}
SECONDS = 40  # the longest example run; the procedure takes about 6 s


class ExampleTest(E2ETest):
    def runTest(self):
        """Runs the row's example with `cmd /c`, its device beside it."""
        example, options = EXAMPLES[self.options.case], self.options
        self.need_device()
        wine = self.enterContext(Wine(self))
        kit = os.path.join(tempfile.mkdtemp(), "udpcmd kit")
        shutil.copytree(options.examples, os.path.join(kit, "examples"))
        shutil.copy(options.udpcmd, kit)
        shutil.copy(options.expect, kit)
        device = [options.device, *example.device]
        if example.rules is not None:
            rules = os.path.join(kit, "rules.txt")
            with open(os.path.join(kit, "examples", "procedure-rules.txt"), "rb") as shipped, \
                    open(rules, "wb") as out:
                out.write(example.rules.encode() + b"\r\n" + shipped.read())
            device += ["--rules", rules]
        self.start_device(device)
        batch = Process(wine.run + ["cmd", "/c", "examples\\" + example.args[0], *example.args[1:]],
                        cwd=kit)
        status = batch.wait(SECONDS)
        batch.end()
        left = udpcmds()
        lines = batch.lines()
        self.assertEqual((status, lines[-len(example.says):]), (example.status, example.says),
                         f"{example.args[0]} took another branch: {lines + batch.lines(1)}")
        self.assertEqual((batch.lines(1), left), ([], []),
                         "a message on standard error, or udpcmd left running")
