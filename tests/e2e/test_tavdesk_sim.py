#!/usr/bin/env python3
"""End-to-end tests of TavdeskSim.exe: the program runs as a process under
Wine, in a temporary folder of its own (its default shared folder, so files
the console writes land there), with virtual cables on a free port; the
Python console client plays each console; e2e_driver.exe works the window as
a user would and reads the tabs' logs back. Every wait is bounded.

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
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import virtual_console as vc  # noqa: E402

BUILD = os.path.join(ROOT, "build", "win")
STEP_S = 30  # the longest any single step may take


def polls(interval=0.1):
    """Yields until STEP_S has passed, pausing `interval` between rounds."""
    deadline = time.monotonic() + STEP_S
    while time.monotonic() < deadline:
        yield
        time.sleep(interval)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def prefix():
    # A prefix of the end-to-end tests' own: the program runs as a single
    # copy per prefix, and must not meet one that another run started.
    return os.path.join(BUILD, "e2e-wineprefix")


def wine_environment():
    return dict(os.environ, TAVDESK_WINEPREFIX=prefix())


def windows_path(path):
    path = os.path.abspath(path)
    drive_c = os.path.join(prefix(), "drive_c")
    if path.startswith(drive_c + "/"):
        return "C:" + path[len(drive_c):].replace("/", "\\")
    return "Z:" + path.replace("/", "\\")  # Wine maps the Unix root to Z:


def setUpModule():
    """A ready prefix with nothing left running in it from an earlier run."""
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if os.path.isdir(prefix()):
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix()),
                       timeout=STEP_S, **quiet)
    subprocess.run([os.path.join(ROOT, "cmake", "wine-run.sh")], env=wine_environment(),
                   timeout=300, check=True, **quiet)


def elf_file(size, entry=0x100008):
    """A main-processor ELF file of `size` bytes: header, then a pattern."""
    data = bytearray(random.Random(size).randbytes(size))
    header = b"\x7fELF\x01\x01\x01" + bytes(9) + struct.pack("<HHII", 2, 8, 1, entry)
    data[:len(header)] = header
    return bytes(data)


def settings_ini(shared_folder):
    """The INI file's text for settings that share `shared_folder` itself
    (not the executed file's folder), sounds off; the record is stored as
    its bytes in hex and a byte sum, as WritePrivateProfileStruct does."""
    record = struct.pack("<III520sB3xI3I64s4s", 0, 0, 0, shared_folder.encode("latin-1"), 1, 1,
                         0x000000, 0x0000FF, 0xA00000, bytes(64), b"Mosk")
    assert len(record) == 620
    return "[Tavdesk]\r\nsettings=%s%02X\r\n" % (record.hex().upper(), sum(record) % 256)


class Program:
    """TavdeskSim.exe under e2e_driver.exe; `command` sends one line."""

    def __init__(self, timing="usb11", listen=None):
        # Inside the prefix's drive C: the file dialogs of Wine take a minute
        # and more to open in a folder on drive Z: (the Unix root) here.
        drive_c = os.path.join(prefix(), "drive_c")
        self.folder = tempfile.mkdtemp(prefix="tavdesk-e2e-", dir=drive_c)
        shutil.copy(os.path.join(BUILD, "TavdeskSim.exe"), self.folder)
        with open(os.path.join(self.folder, "TavdeskSim.ini"), "w", newline="") as f:
            f.write(settings_ini(windows_path(self.folder)))
        self.logs = 0
        if listen is not None:  # a start that is to fail: its first line
            self._start(timing, listen)
            self.first = self._line(STEP_S)
            self._end()
            return
        for _ in range(3):  # a free port can be taken before the program binds it
            self.port = free_port()
            self._start(timing, str(self.port))
            first = self._line(STEP_S)
            if first == "ready":
                return
            self._end()
            if not first.endswith("(ok 2)"):
                break
        raise AssertionError("TavdeskSim did not start: %s\n%s" % (first, self.errors()))

    def _start(self, timing, listen):
        self.wine_errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen(
            [os.path.join(ROOT, "cmake", "wine-run.sh"), os.path.join(BUILD, "e2e_driver.exe"),
             windows_path(os.path.join(self.folder, "TavdeskSim.exe")),
             windows_path(os.path.join(self.folder, "stderr.txt")),
             "TAVDESK_SIM_LISTEN=" + listen, "TAVDESK_SIM_DEMO=0",
             "TAVDESK_SIM_TIMING=%s" % timing],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.wine_errors,
            env=wine_environment(), text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self._reader, args=(self.process.stdout, self.lines),
                         daemon=True).start()

    @staticmethod
    def _reader(stream, lines):
        for line in stream:
            lines.put(line.rstrip("\n"))
        lines.put(None)

    def _line(self, timeout):
        try:
            line = self.lines.get(timeout=timeout)
        except queue.Empty:
            return "fail the driver did not answer within %d s" % timeout
        return "fail the driver ended" if line is None else line

    def command(self, text, timeout=STEP_S + 10):
        self.process.stdin.write(text + "\n")
        self.process.stdin.flush()
        return self._line(timeout)

    def errors(self):
        path = os.path.join(self.folder, "stderr.txt")
        return open(path, errors="replace").read() if os.path.exists(path) else ""

    def pages(self):
        reply = self.command("pages")
        assert reply.startswith("ok "), reply
        return int(reply[3:])

    def running(self):
        return self.command("wait 0") == "fail still running"

    def log(self, marker):
        """The log text of the tab whose log holds `marker`, with \\n line ends."""
        self.logs += 1
        path = os.path.join(self.folder, "log-%d.txt" % self.logs)
        reply = self.command("log %s %s" % (marker, windows_path(path)))
        assert reply == "ok", reply
        with open(path, "rb") as f:
            return f.read().decode("latin-1").replace("\r\n", "\n").replace("\r", "\n")

    def wait_for_log(self, marker, text):
        log = ""
        for _ in polls():
            log = self.log(marker)
            if text in log:
                break
        return log

    def wait_for_pages(self, count):
        return any(self.pages() == count for _ in polls())

    def _end(self):
        if self.wine_errors.closed:
            return
        try:
            self.process.stdin.close()
        except OSError:
            pass
        try:
            self.process.wait(timeout=STEP_S)
        except subprocess.TimeoutExpired:
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
            if self.running():
                self.command("close")
            reply = self.command("wait %d" % (STEP_S * 1000), timeout=STEP_S + 10)
            code = int(reply[3:]) if reply.startswith("ok ") else None
        self._end()
        shutil.rmtree(self.folder, ignore_errors=True)
        return code


class ProgramTest(unittest.TestCase):
    # The cable's own timing, as a user's program sees it.
    timing = "usb11"

    def setUp(self):
        self.program = Program(self.timing)
        self.consoles = []

    def tearDown(self):
        for console in self.consoles:
            console.cable.close()
        code = self.program.close()
        self.assertEqual(0, code, self.program.errors())

    def connect(self, name="Python console"):
        """A console on a new cable, seen by the host, with a marker in its log."""
        console = vc.connect(self.program.port, name, attach_wait_s=STEP_S)
        self.consoles.append(console)
        console.marker = "marker-" + uuid.uuid4().hex
        self.assertEqual(len(console.marker) + 2, console.tty(console.marker + "\r\n"))
        return console

    def shared(self, name):
        return os.path.join(self.program.folder, name)


class WindowTest(ProgramTest):
    def test_execute_from_the_window(self):
        console = self.connect()
        program = elf_file(300000)
        elf = os.path.join(self.program.folder, "tool.elf")
        with open(elf, "wb") as f:
            f.write(program)
        polled = {}

        def poll_until_command():
            for _ in polls(0.05):
                outcome = console.poll()
                if outcome.command is not None:
                    polled["outcome"] = outcome
                    polled["file"] = console.read_file("/exec/elf")
                    return

        poller = threading.Thread(target=poll_until_command)
        poller.start()
        self.assertEqual("ok", self.program.command("execute %s %s" % (console.marker, windows_path(elf))))
        poller.join(STEP_S + 5)
        self.assertIn("outcome", polled)
        self.assertEqual(vc.CODE_EXEC_ELF, polled["outcome"].command)
        self.assertEqual(b"host:/exec/elf\0", polled["outcome"].body)
        self.assertTrue(polled["file"] == program)

    def test_attach_and_tty_text_appear_in_order_and_whole(self):
        console = self.connect()
        self.assertEqual(0, console.poll().result)
        lines = ["line %04d %s\r\n" % (i, "abcdefghij"[: i % 11]) for i in range(400)]
        text = "".join(lines)
        # Writes that cut lines anywhere, as a console's buffered output does.
        cuts = sorted(random.Random(3).sample(range(1, len(text)), 150))
        for start, end in zip([0] + cuts, cuts + [len(text)]):
            self.assertEqual(end - start, console.tty(text[start:end]))
        console.tty("the end\r\n")
        log = self.program.wait_for_log(console.marker, "the end")
        self.assertIn("Peer exist.", log)
        self.assertIn("Ps2 connected.", log)
        self.assertIn(text.replace("\r\n", "\n"), log)

    def test_two_clients_each_served(self):
        consoles = [self.connect("first"), self.connect("second")]
        self.assertTrue(self.program.wait_for_pages(2))
        progress = [0, 0]
        at_finish = {}
        failures = []
        payloads = [random.Random(i).randbytes(200000) for i in range(2)]

        def work(index):
            console = consoles[index]
            try:
                for round_ in range(12):
                    name = "/client%d.bin" % index
                    self.assertTrue(console.write_file(name, payloads[index]))
                    self.assertTrue(console.read_file(name) == payloads[index])
                    self.assertEqual(0, console.poll().result)
                    progress[index] = round_ + 1
                at_finish.setdefault("other", progress[1 - index])
            except Exception as error:  # reported on the test's thread
                failures.append(error)

        workers = [threading.Thread(target=work, args=(i,)) for i in range(2)]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join(STEP_S * 4)
        self.assertEqual([], failures)
        self.assertEqual([12, 12], progress)
        # When the first was done the other had been served too.
        self.assertGreater(at_finish["other"], 0)
        for console in consoles:
            self.assertIn(console.marker, self.program.log(console.marker))

    def test_shutdown_sends_quit_to_every_console(self):
        consoles = [self.connect("first"), self.connect("second")]
        received = [None, None]

        def serve(index):
            for _ in polls(0.05):
                outcome = consoles[index].poll()
                if outcome.command is not None:
                    received[index] = outcome.command
                    return

        servers = [threading.Thread(target=serve, args=(i,)) for i in range(2)]
        for server in servers:
            server.start()
        self.assertEqual("ok", self.program.command("close"))
        for server in servers:
            server.join(STEP_S + 5)
        self.assertEqual([vc.CODE_QUIT, vc.CODE_QUIT], received)
        # Ten ticks of 1300 ms end everything by force; with the quit answered
        # the program ends well before, and it ends with 0.
        self.assertEqual("ok 0", self.program.command("wait 13000"))


class UnplugTest(ProgramTest):
    def test_unplug_during_a_transfer(self):
        console = self.connect()
        self.assertTrue(self.program.wait_for_pages(1))
        h = console.open("/partial.bin", vc.O_WRONLY | vc.O_CREAT)
        self.assertGreaterEqual(h, 3)
        # A write request of 8 MiB whose packet stops after 1 MiB: the host
        # is reading the body when the cable goes.
        body = struct.pack("<iI", h, 8 << 20) + bytes(8 << 20)
        packet = vc.Console.frame(vc.CODE_WRITE, body)
        console._wait(vc.TRANSFER_REQUEST | vc.TRANSFER_COMPLETE, 0)
        console.cable.set(vc.TRANSFER_REQUEST)
        self.assertEqual(1 << 20, console.cable.write(packet[:1 << 20]))
        console.cable.close()
        self.consoles.remove(console)
        self.assertTrue(self.program.wait_for_pages(0))
        self.assertTrue(self.program.running())
        fresh = self.connect("after")
        self.assertEqual(0, fresh.poll().result)
        self.assertIn(fresh.marker, self.program.log(fresh.marker))


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
    global BUILD
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default=BUILD)
    args, rest = parser.parse_known_args()
    BUILD = os.path.abspath(args.build)
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
