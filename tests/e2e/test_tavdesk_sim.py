#!/usr/bin/env python3
"""End to end: TavdeskSim.exe runs as a process under Wine, in a temporary
folder of its own (its default shared folder), with a virtual cable on a
free port; the Python console client plays the console and e2e_driver.exe
works the window as a user would. Only what the whole program shows is
checked here; the suites check the parts. Every wait is bounded.

    test_tavdesk_sim.py --build build/win [unittest arguments]
"""

import argparse
import os
import queue
import random
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "sim"))
import virtual_console as vc  # noqa: E402

BUILD = os.path.join(ROOT, "build", "win")
# The end-to-end tests' own prefix (set in main): the program runs as a
# single copy per prefix, and must not meet one that another run started.
PREFIX = os.path.join(BUILD, "e2e-wineprefix")
STEP_S = 30  # the longest any single step may take


def polls(interval):
    """Yields until STEP_S has passed, pausing `interval` between rounds."""
    deadline = time.monotonic() + STEP_S
    while time.monotonic() < deadline:
        yield
        time.sleep(interval)


def windows_path(path):
    path, drive_c = os.path.abspath(path), os.path.join(PREFIX, "drive_c")
    if path.startswith(drive_c + "/"):
        return "C:" + path[len(drive_c):].replace("/", "\\")
    return "Z:" + path.replace("/", "\\")  # Wine maps the Unix root to Z:


def setUpModule():
    """A ready prefix with nothing left running in it from an earlier run."""
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if os.path.isdir(PREFIX):
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=PREFIX),
                       timeout=STEP_S, **quiet)
    subprocess.run([os.path.join(ROOT, "cmake", "wine-run.sh")], timeout=300, check=True,
                   env=dict(os.environ, TAVDESK_WINEPREFIX=PREFIX), **quiet)


def settings_ini(shared_folder):
    """The INI file's text for settings that share `shared_folder` itself
    (not the executed file's folder), sounds off; the record is stored as
    its bytes in hex and a byte sum, as WritePrivateProfileStruct does."""
    record = struct.pack("<III520sB3xI3I64s4s", 0, 0, 0, shared_folder.encode("latin-1"), 1, 1,
                         0x000000, 0x0000FF, 0xA00000, bytes(64), b"Mosk")
    return "[Tavdesk]\r\nsettings=%s%02X\r\n" % (record.hex().upper(), sum(record) % 256)


class Program:
    """TavdeskSim.exe under e2e_driver.exe; `command` sends one line. With
    `listen`, a start that is to fail: `first` is the driver's first line."""

    def __init__(self, listen=None):
        # Inside the prefix's drive C: the file dialogs of Wine take a minute
        # and more to open in a folder on drive Z: (the Unix root) here.
        self.folder = tempfile.mkdtemp(prefix="tavdesk-e2e-", dir=os.path.join(PREFIX, "drive_c"))
        shutil.copy(os.path.join(BUILD, "TavdeskSim.exe"), self.folder)
        with open(os.path.join(self.folder, "TavdeskSim.ini"), "w", newline="") as f:
            f.write(settings_ini(windows_path(self.folder)))
        for _ in range(3):  # a free port can be taken before the program binds it
            with socket.socket() as s:
                s.bind(("127.0.0.1", 0))
                self.port = s.getsockname()[1]
            self.wine_errors = tempfile.TemporaryFile()
            self.process = subprocess.Popen(
                [os.path.join(ROOT, "cmake", "wine-run.sh"), os.path.join(BUILD, "e2e_driver.exe"),
                 windows_path(os.path.join(self.folder, "TavdeskSim.exe")),
                 windows_path(os.path.join(self.folder, "stderr.txt")),
                 "TAVDESK_SIM_LISTEN=" + (listen or str(self.port)), "TAVDESK_SIM_DEMO=0",
                 "TAVDESK_SIM_TIMING=usb11"],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.wine_errors,
                env=dict(os.environ, TAVDESK_WINEPREFIX=PREFIX), text=True, bufsize=1)
            self.lines = queue.Queue()
            threading.Thread(target=self._read, args=(self.process.stdout, self.lines),
                             daemon=True).start()
            self.first = self.line()
            if self.first == "ready":
                return
            self._end()
            if listen or not self.first.endswith("(ok 2)"):
                break
        if not listen:
            raise AssertionError("TavdeskSim did not start: %s\n%s" % (self.first, self.errors()))

    @staticmethod
    def _read(stream, lines):
        for line in stream:
            lines.put(line.rstrip("\n"))
        lines.put(None)

    def line(self):
        try:
            line = self.lines.get(timeout=STEP_S + 10)
        except queue.Empty:
            return "fail the driver did not answer in time"
        return "fail the driver ended" if line is None else line

    def command(self, text):
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()
        return self.line()

    def errors(self):
        if not os.path.exists(os.path.join(self.folder, "stderr.txt")):
            return ""
        with open(os.path.join(self.folder, "stderr.txt"), errors="replace") as f:
            return f.read()

    def wait_for_log(self, marker, text):
        """The log of the tab whose log holds `marker`, with \\n line ends,
        once it holds `text` or at the time-out."""
        path = os.path.join(self.folder, "log.txt")
        for _ in polls(0.1):
            reply = self.command("log %s %s" % (marker, windows_path(path)))
            assert reply == "ok", reply
            with open(path, "rb") as f:
                log = f.read().decode("latin-1").replace("\r\n", "\n").replace("\r", "\n")
            if text in log:
                break
        return log

    def _end(self):
        if self.wine_errors.closed:
            return
        try:
            self.process.stdin.close()
            self.process.wait(timeout=STEP_S)
        except (OSError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()
        self.wine_errors.seek(0)
        noise = self.wine_errors.read().decode(errors="replace")
        self.wine_errors.close()
        if "Unhandled" in noise:
            raise AssertionError("Wine reports a crash:\n" + noise)

    def close(self):
        """Ends the program as a user would, then the driver; the exit code."""
        code = None
        if self.process.poll() is None:
            if self.command("wait 0") == "fail still running":
                self.command("close")
            reply = self.command("wait %d" % (STEP_S * 1000))
            code = int(reply[3:]) if reply.startswith("ok ") else None
        self._end()
        shutil.rmtree(self.folder, ignore_errors=True)
        return code


def next_command(console, then=lambda: None):
    """Polls on a thread of its own until the host sends a command: the
    thread, and a dict that gets the outcome and what `then` returns."""
    got = {}

    def poll():
        for _ in polls(0.05):
            outcome = console.poll()
            if outcome.command is not None:
                got.update(outcome=outcome, then=then())
                return
    thread = threading.Thread(target=poll)
    thread.start()
    return thread, got


class ExchangeTest(unittest.TestCase):
    def setUp(self):
        self.program = Program()
        self.console = None

    def tearDown(self):
        if self.console:
            self.console.cable.close()
        self.assertEqual(0, self.program.close(), self.program.errors())

    def test_text_files_execute_and_quit_over_a_virtual_cable(self):
        console = self.console = vc.connect(self.program.port, "Python", attach_wait_s=STEP_S)
        self.assertEqual(0, console.poll().result)
        # Text the console prints, in writes that cut lines anywhere as a
        # console's buffered output does, lands in its tab's log whole.
        marker = "marker-%016x" % random.getrandbits(64)
        text = marker + "\r\n" + "".join("line %04d %s\r\n" % (i, "abcdefghij"[: i % 11])
                                         for i in range(400))
        cuts = sorted(random.Random(3).sample(range(1, len(text)), 150))
        for start, end in zip([0] + cuts, cuts + [len(text)]):
            self.assertEqual(end - start, console.tty(text[start:end]))
        console.tty("the end\r\n")
        log = self.program.wait_for_log(marker, "the end")
        for line in ["Peer exist.", "Ps2 connected.", text.replace("\r\n", "\n")]:
            self.assertIn(line, log)

        # A file put into the shared folder and got back, byte-exact, in
        # several requests each way.
        data = random.Random(1).randbytes((2 << 20) + 12345)
        self.assertTrue(console.write_file("/put.bin", data))
        with open(os.path.join(self.program.folder, "put.bin"), "rb") as f:
            self.assertTrue(f.read() == data)
        self.assertTrue(console.read_file("/put.bin") == data)

        # Execute from the window: the file chosen in its dialog is what
        # the console then reads from /exec/elf.
        program = bytearray(random.Random(2).randbytes(300000))
        program[:28] = b"\x7fELF\x01\x01\x01" + bytes(9) + struct.pack("<HHII", 2, 8, 1, 0x100008)
        elf = os.path.join(self.program.folder, "tool.elf")
        with open(elf, "wb") as f:
            f.write(program)
        poller, got = next_command(console, lambda: console.read_file("/exec/elf"))
        self.assertEqual("ok", self.program.command("execute %s %s" % (marker, windows_path(elf))))
        poller.join(STEP_S + 5)
        self.assertEqual(vc.CODE_EXEC_ELF, got["outcome"].command)
        self.assertEqual(b"host:/exec/elf\0", got["outcome"].body)
        self.assertTrue(got["then"] == program)

        # Closing the window sends the console its quit; with the quit
        # answered the program ends well before the ten ticks of 1300 ms
        # that end everything by force, and with 0.
        poller, got = next_command(console)
        self.assertEqual("ok", self.program.command("close"))
        poller.join(STEP_S + 5)
        self.assertEqual(vc.CODE_QUIT, got["outcome"].command)
        self.assertEqual("ok 0", self.program.command("wait 13000"))


class ListenerStartTest(unittest.TestCase):
    def test_a_listener_that_cannot_be_had_ends_the_program_with_2(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            port = str(taken.getsockname()[1])
            for value, message in [(port, "127.0.0.1:" + port), ("http", "TAVDESK_SIM_LISTEN"),
                                   ("65536", "TAVDESK_SIM_LISTEN")]:
                with self.subTest(value):
                    program = Program(listen=value)
                    errors = program.errors()
                    program.close()
                    self.assertTrue(program.first.endswith("(ok 2)"), program.first)
                    self.assertIn("TavdeskSim: ", errors)
                    self.assertIn(message, errors)


def main():
    global BUILD, PREFIX
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=BUILD)
    args, rest = parser.parse_known_args()
    BUILD = os.path.abspath(args.build)
    PREFIX = os.path.join(BUILD, "e2e-wineprefix")
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
