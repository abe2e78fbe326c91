#!/usr/bin/env python3
"""End to end: TavdeskSim.exe runs as a process under Wine, in a temporary
folder of its own (with its default settings), with a virtual cable on the
port it chose; the Python console client plays the console and e2e_driver.exe
works the window as a user would. Only what the whole program shows is
checked here; the suites check the parts. Every wait is bounded.

    test_tavdesk_sim.py --build build/win [unittest arguments]
"""

import argparse
import os
import pathlib
import queue
import contextlib
import io
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "sim"))
import virtual_console as vc  # noqa: E402

parser = argparse.ArgumentParser()
parser.add_argument("--build", default=ROOT / "build" / "win", type=pathlib.Path)
ARGS, REST = parser.parse_known_args()
BUILD = ARGS.build.resolve()
# The prefix the wrapper uses; what an earlier run left running in it is
# ended first, as the program runs as a single copy per prefix.
PREFIX = pathlib.Path(os.environ.get("TAVDESK_WINEPREFIX") or
                      pathlib.Path(os.environ.get("XDG_CACHE_HOME") or
                                   pathlib.Path.home() / ".cache") / "tavdesk" / "wineprefix")
WINE_RUN = [str(ROOT / "cmake" / "wine-run.sh")]
STEP_S = 30  # the longest any single step may take


def setUpModule():
    """A ready prefix with nothing left running in it from an earlier run."""
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if PREFIX.is_dir():
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=str(PREFIX)),
                       timeout=STEP_S, **quiet)
    subprocess.run(WINE_RUN, timeout=300, check=True, env=wine_env(), **quiet)


def wine_env(**variables):
    return dict(os.environ, **dict(dict(TAVDESK_WINEPREFIX=str(PREFIX), TAVDESK_SIM_DEMO="0"),
                                   **variables))


def start(program, *args, stdin=subprocess.DEVNULL, **variables):
    """A program through the Wine wrapper, its standard error (and Wine's)
    going to ours, and a queue of its output lines that ends with None."""
    process = subprocess.Popen(WINE_RUN + [str(program), *args], stdin=stdin, stdout=subprocess.PIPE,
                               text=True, bufsize=1, env=wine_env(**variables))
    lines = queue.Queue()

    def read():
        for line in process.stdout:
            lines.put(line.rstrip("\n"))
        lines.put(None)
        process.stdout.close()
    threading.Thread(target=read, daemon=True).start()
    return process, lines


def windows_path(path):
    """A path inside the prefix's drive C: as the programs name it."""
    return "C:\\" + str(path.relative_to(PREFIX / "drive_c")).replace("/", "\\")


def next_line(lines):
    try:
        return lines.get(timeout=STEP_S + 10) or "fail the output ended"
    except queue.Empty:
        return "fail no line in time"


def drive(*commands):
    """e2e_driver.exe's lines ("ready", an answer each) and exit status."""
    driver, answers = start(BUILD / "e2e_driver.exe", stdin=subprocess.PIPE)
    driver.stdin.write("".join(command + "\n" for command in commands))
    driver.stdin.close()
    return [next_line(answers) for _ in range(len(commands) + 1)], driver.wait(timeout=STEP_S)


def program_folder(test, prefix):
    # In drive C: Wine's file dialogs take minutes to open one on Z: (the Unix root).
    folder = pathlib.Path(tempfile.mkdtemp(prefix=prefix, dir=PREFIX / "drive_c"))
    test.addCleanup(shutil.rmtree, folder, ignore_errors=True)
    shutil.copy(BUILD / "TavdeskSim.exe", folder)
    return folder


ELF_HEAD = b"\x7fELF\x01\x01\x01" + bytes(9) + struct.pack("<HHII", 2, 8, 1, 0x100008)  # entry 0x100008


def next_command(console):
    """The first command the host sends, polled for at most STEP_S."""
    deadline = time.monotonic() + STEP_S
    while (outcome := console.poll()).command is None and time.monotonic() < deadline:
        time.sleep(0.05)
    return outcome


class ExchangeTest(unittest.TestCase):
    def setUp(self):
        self.folder = program_folder(self, "tavdesk-e2e-")
        self.program, output = start(self.folder / "TavdeskSim.exe", TAVDESK_SIM_LISTEN="0")
        self.driver, self.answers = start(BUILD / "e2e_driver.exe", stdin=subprocess.PIPE)
        self.addCleanup(self.end)
        listening = next_line(output)  # "TavdeskSim: virtual cables on 127.0.0.1:<port>"
        self.assertEqual("ready", next_line(self.answers), listening)
        port = int(listening.rpartition(":")[2])
        self.console = vc.connect(port, "Python", attach_wait_s=STEP_S)
        self.addCleanup(self.console.cable.close)

    def end(self):
        """Closes the window if the program still runs, as a user would, and
        ends the driver: their exit statuses, the wrapper's (not 0 for a crash)."""
        if self.program.poll() is None:
            self.command("close")
        statuses = []
        for process in self.program, self.driver:
            try:
                process.stdin and process.stdin.close()
                statuses.append(process.wait(timeout=STEP_S))
            except (OSError, subprocess.TimeoutExpired):
                process.kill()
                statuses.append(process.wait())
        return statuses

    def windows(self, name):
        return windows_path(self.folder / name)

    def command(self, text):
        self.driver.stdin.write(text + "\n")
        self.driver.stdin.flush()
        return next_line(self.answers)

    def test_text_files_execute_and_quit_over_a_virtual_cable(self):
        console = self.console
        self.assertEqual(0, console.poll().result)
        # Text the console prints, in writes that cut lines anywhere as a
        # console's buffered output does, lands in its tab's log whole. The
        # marker the driver finds the tab by comes last: once it shows, all
        # the text before it has come.
        text = "".join("line %04d %s\r\n" % (i, "abcdefghij"[: i % 11]) for i in range(400))
        cuts = sorted(random.Random(3).sample(range(1, len(text)), 150))
        for start, end in zip([0] + cuts, cuts + [len(text)]):
            self.assertEqual(end - start, console.tty(text[start:end]))
        marker = "marker-%016x" % random.getrandbits(64)
        console.tty(marker + "\r\n")
        self.assertEqual("ok", self.command("log %s %s" % (marker, self.windows("log.txt"))))
        log = (self.folder / "log.txt").read_bytes().decode("latin-1")
        log = log.replace("\r\n", "\n").replace("\r", "\n")
        for line in ["Peer exist.", "Ps2 connected.", text.replace("\r\n", "\n")]:
            self.assertIn(line, log)

        # Execute from the window: the file chosen in its dialog is what
        # the console then reads from /exec/elf.
        program = ELF_HEAD + random.Random(2).randbytes(300000 - 28)
        (self.folder / "tool.elf").write_bytes(program)
        self.assertEqual("ok", self.command("execute %s %s" % (marker, self.windows("tool.elf"))))
        outcome = next_command(console)
        self.assertEqual(vc.CODE_EXEC_ELF, outcome.command)
        self.assertEqual(b"host:/exec/elf\0", outcome.body)
        self.assertTrue(console.read_file("/exec/elf") == program)

        # A file put into the shared folder, by default the executed file's,
        # and got back, byte-exact, in several requests each way.
        data = random.Random(1).randbytes((2 << 20) + 12345)
        self.assertTrue(console.write_file("/put.bin", data))
        self.assertTrue((self.folder / "put.bin").read_bytes() == data)
        self.assertTrue(console.read_file("/put.bin") == data)

        # Closing the window sends the console its quit; with the quit
        # answered the program ends well before the ten ticks of 1300 ms
        # that end everything by force, and with 0; the driver ends well.
        self.assertEqual("ok", self.command("close"))
        self.assertEqual(vc.CODE_QUIT, next_command(console).command)
        self.assertEqual(0, self.program.wait(timeout=13))
        self.assertEqual([0, 0], self.end())

    def test_a_caller_that_reads_nothing_holds_up_no_console(self):
        # The caller's output is a pipe that nobody reads while the console
        # writes 5 MiB: every write goes through all the same. Once read,
        # the caller has given the text's start and ends with 3, its copy
        # cut at 4 MiB held.
        self.assertEqual(0, self.console.poll().result)
        caller = subprocess.Popen(WINE_RUN + [str(self.folder / "TavdeskSim.exe"), "--cable", "Python",
                                              "--reset", "--tty"],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=wine_env())
        with caller:
            self.assertEqual(vc.CODE_RESET, next_command(self.console).command)
            text = b"".join(b"%06d %s\n" % (i, b"x" * 56) for i in range(5 * 16384))
            for start in range(0, len(text), 1 << 16):
                self.assertEqual(1 << 16, self.console.tty(text[start:start + (1 << 16)]))
            output, error = caller.communicate(timeout=STEP_S)
        self.assertEqual(3, caller.returncode, error)
        self.assertIn(b"4 MiB held", error)
        self.assertTrue(output and text.startswith(output), len(output))


class CommandLineTest(unittest.TestCase):
    """TavdeskSim.exe started with arguments, as a build script would: it
    hands them to the running copy (starting one when none runs) and prints
    the demo console's text on its standard output, a pipe here."""

    def setUp(self):
        self.folder = program_folder(self, "tavdesk-cli-")
        (self.folder / "hello.elf").write_bytes(ELF_HEAD + bytes(4000 - 28))
        self.copy_may_run = False
        self.addCleanup(lambda: self.copy_may_run and self.end_copy())

    def sim(self, *args, demo="1"):
        """A start with arguments: its exit status, standard output and error.
        subprocess.run reads both pipes to their end, so it also fails (by
        its time-out) should the copy it started hold them."""
        run = subprocess.run(WINE_RUN + [str(self.folder / "TavdeskSim.exe"), *args],
                             cwd=self.folder, capture_output=True, text=True,
                             timeout=STEP_S * 2, env=wine_env(TAVDESK_SIM_DEMO=demo))
        self.copy_may_run = True
        return run.returncode, run.stdout, run.stderr

    def end_copy(self):
        """Closes the running copy's window and waits for its end."""
        self.assertEqual((["ready", "ok"], 0), drive("end"))
        self.copy_may_run = False

    def test_hand_off_text_and_exit_codes(self):
        # No copy runs: a missing file fails before one is started; then the
        # started copy, without a cable, is given 10 s to find one.
        for args, demo, code, message in [(["missing.elf"], "0", 1, "missing.elf: no such file"),
                                          (["hello.elf"], "0", 2, "no device")]:
            status, _, error = self.sim(*args, demo=demo)
            self.assertEqual(code, status, error)
            self.assertIn("Tavdesk: " + message + "\n", error)
        self.end_copy()

        # A start with no copy running, through a pipe: the copy it starts
        # keeps running, and the output ends all the same.
        status, output, error = self.sim("--until", "entry point", "--tty", "hello.elf")
        self.assertEqual(0, status, error)
        self.assertIn("Executing host:/exec/elf\nRead 4000 bytes.\nELF entry point 0x100008.\n",
                      output)

        # The hand-off to the running copy, reset first; what its page logs
        # is what the buttons log.
        status, output, error = self.sim("--cable", "Demo cable", "--reset", "--tty", "--until",
                                         "entry point", "hello.elf")
        self.assertEqual(0, status, error)
        self.assertIn("Reset received: the demo starts over.\nExecuting host:/exec/elf\n", output)
        for args, code, message in [
                (["--until", "never printed", "--timeout", "2", "hello.elf"], 124,
                 'timed out waiting for "never printed"'),
                (["--cable", "Nope", "hello.elf"], 2, 'no device named "Nope"')]:
            with self.subTest(args):
                status, _, error = self.sim(*args)
                self.assertEqual(code, status, error)
                self.assertIn("Tavdesk: " + message, error)

        # A caller that follows the text ends with 3 when the device goes,
        # here with the window closed. The page logged what the buttons log.
        follower, text = start(self.folder / "TavdeskSim.exe", "--reset", "--tty",
                               TAVDESK_SIM_DEMO="1")
        self.assertEqual("Reset received: the demo starts over.", next_line(text))
        log = self.folder / "log.txt"
        self.assertEqual((["ready", "ok", "ok"], 0), drive("log Hello " + windows_path(log), "end"))
        self.copy_may_run = False
        self.assertEqual(3, follower.wait(timeout=STEP_S))
        logged = log.read_bytes().decode("latin-1")
        self.assertEqual([2, 3, 0], [logged.count("Send reset command."),
                                     logged.count("Send execute command."),
                                     logged.count("Execute failed.")])


class DocumentExamplesTest(unittest.TestCase):
    """docs/virtual-cable.md's client examples, as they stand there, against
    TavdeskSim with TAVDESK_SIM_SHARE; only the port is the one it took."""

    def test_the_examples_work_and_a_second_copy_ends_with_2(self):
        share = program_folder(self, "tavdesk-doc-")
        program, output = start(share / "TavdeskSim.exe", TAVDESK_SIM_LISTEN="0",
                                TAVDESK_SIM_SHARE="C:\\" + share.name)
        self.addCleanup(lambda: program.poll() is None and subprocess.run(
            ["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=str(PREFIX)), timeout=STEP_S))
        port = next_line(output).rpartition(":")[2]
        second = subprocess.run(WINE_RUN + [str(BUILD / "TavdeskSim.exe")], capture_output=True,
                                text=True, timeout=STEP_S * 2, env=wine_env(TAVDESK_SIM_LISTEN="0"))
        self.assertEqual((2, "", True), (second.returncode, second.stdout,
                                         "already runs" in second.stderr), second.stderr)

        text = (ROOT / "docs" / "virtual-cable.md").read_text(encoding="utf-8")
        shell, module = re.findall(r"```(?:python)?\n(cd sim\n.*?|import .*?)```", text, re.S)
        commands = [line.replace("5555", port) for line in shell.splitlines()[1:]]
        # serve first: it is attached long before the window is closed below.
        serve = subprocess.Popen(commands[-1], shell=True, cwd=ROOT / "sim", text=True,
                                 stdout=subprocess.PIPE)
        self.addCleanup(lambda: pathlib.Path("/tmp/readme-back.txt").unlink(missing_ok=True))
        for command in commands[:-1]:
            run = subprocess.run(command, shell=True, cwd=ROOT / "sim", capture_output=True,
                                 text=True, timeout=STEP_S * 2)
            self.assertEqual(0, run.returncode, command + "\n" + run.stderr)
        self.assertTrue((ROOT / "README.md").read_bytes() == (share / "readme.txt").read_bytes()
                        == pathlib.Path("/tmp/readme-back.txt").read_bytes())

        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(module.replace("5555", port), {})
        self.assertEqual(re.findall(r"^print\(.*#\s*(.*)$", module, re.M),
                         printed.getvalue().splitlines())

        self.assertEqual((["ready", "ok"], 0), drive("close"))
        self.assertEqual("command: quit\n", serve.communicate(timeout=STEP_S)[0])
        self.assertEqual([0, 0], [p.wait(timeout=STEP_S) for p in (serve, program)])
        self.assertFalse((share / "TavdeskSim.ini").exists(), "the share was for that run only")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + REST, verbosity=2)
