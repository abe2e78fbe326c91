#!/usr/bin/env python3
"""The console's end of a Tavdesk virtual cable, in Python 3 (standard library).

TavdeskSim.exe, started with TAVDESK_SIM_LISTEN=<port>, turns every TCP
connection to 127.0.0.1:<port> into a cable. This module speaks that wire
protocol (VirtualCable), the console's side of the packet handshake on top of
it, and every host file request a console program makes (Console): open,
close, read, write, lseek, and the poll, with the answer to a command the
host sends instead of a reply. It is written from the protocol's description
alone and shares nothing with the host or with the console emulator.

Run as a program it is a small console (see docs/virtual-cable.md):

    virtual_console.py --port 5555 tty "hello from the console"
    virtual_console.py --port 5555 put notes.txt /notes.txt
    virtual_console.py --port 5555 get /notes.txt copy.txt
    virtual_console.py --port 5555 serve
"""

import argparse
import os
import socket
import struct
import sys
import time

# ---- The virtual cable wire protocol (version 1) ----

OP_HELLO, OP_ATTACH, OP_STATUS, OP_SET, OP_CLEAR, OP_WRITE, OP_READ, OP_WAIT = range(1, 9)
REPLY_BIT = 0x80
MAGIC = b"TVC1"
MAX_PAYLOAD = 16 << 20
MAX_NAME = 139

# Status bits: the host holds the cable open, and the two handshake bits.
HOST_OPEN = 1
TRANSFER_REQUEST = 2
TRANSFER_COMPLETE = 4

# ---- The packet protocol ----

CODE_RESET, CODE_EXEC_ELF, CODE_EXEC_IOP, CODE_QUIT = 0x00, 0x01, 0x02, 0x03
CODE_OPEN, CODE_CLOSE, CODE_READ, CODE_WRITE, CODE_LSEEK, CODE_POLL = range(0x10, 0x16)
CODE_REPLY = 0x20
COMMAND_NAMES = {CODE_RESET: "reset", CODE_EXEC_ELF: "exec-elf",
                 CODE_EXEC_IOP: "exec-iop", CODE_QUIT: "quit"}

# Console open flags.
O_RDONLY, O_WRONLY, O_RDWR = 1, 2, 3
O_APPEND, O_CREAT, O_TRUNC = 0x100, 0x200, 0x400

# The console has 32 MiB of memory: a host packet larger than this is no
# genuine packet, and is refused rather than read.
LARGEST_HOST_PACKET = 64 << 20


class WireError(Exception):
    """The connection closed, or a reply broke the wire protocol."""


class LinkLost(Exception):
    """The host closed the cable, or a handshake step did not come in time."""


class VirtualCable:
    """One connection to TavdeskSim: one cable, ops as methods."""

    def __init__(self, port, name="", host="127.0.0.1", timeout=60.0, hello=True):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # Every receive gives up after this long, so nothing here can hang;
        # it must exceed the longest READ or WAIT time-out asked for.
        self.sock.settimeout(timeout)
        if hello:
            self.hello(name)

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # Raw frames.
    def send_frame(self, op, payload=b""):
        self.sock.sendall(struct.pack("<BI", op, len(payload)) + payload)

    def _receive(self, count):
        chunks = []
        while count:
            chunk = self.sock.recv(min(count, 1 << 20))
            if not chunk:
                raise WireError("the connection closed")
            chunks.append(chunk)
            count -= len(chunk)
        return b"".join(chunks)

    def receive_frame(self):
        op, length = struct.unpack("<BI", self._receive(5))
        if length > MAX_PAYLOAD:
            raise WireError("a reply of %d bytes" % length)
        return op, self._receive(length)

    def request(self, op, payload=b""):
        self.send_frame(op, payload)
        answered, reply = self.receive_frame()
        if answered != op | REPLY_BIT:
            raise WireError("op %#x answered with %#x" % (op, answered))
        return reply

    # The ops.
    def hello(self, name=""):
        name = name.encode("utf-8") if isinstance(name, str) else name
        reply = self.request(OP_HELLO, MAGIC + name)
        if len(reply) != 4 or struct.unpack("<I", reply)[0] != 1:
            raise WireError("HELLO answered with %r" % reply)

    def attach(self, present=True):
        self.request(OP_ATTACH, bytes([1 if present else 0]))

    def status(self):
        reply = self.request(OP_STATUS)
        if len(reply) != 1:
            raise WireError("STATUS answered with %r" % reply)
        return reply[0]

    def set(self, bit):
        self.request(OP_SET, bytes([bit]))

    def clear(self, bit):
        self.request(OP_CLEAR, bytes([bit]))

    def write(self, data):
        """Gives the host bytes; the count taken."""
        reply = self.request(OP_WRITE, bytes(data))
        if len(reply) != 4:
            raise WireError("WRITE answered with %r" % reply)
        return struct.unpack("<I", reply)[0]

    def read(self, count, timeout_ms):
        """The host's bytes: all `count`, or what came within the time-out."""
        reply = self.request(OP_READ, struct.pack("<II", count, timeout_ms))
        if len(reply) > count:
            raise WireError("READ of %d answered with %d bytes" % (count, len(reply)))
        return reply

    def wait(self, mask, value, timeout_ms):
        """The status once (status & mask) == value, or at the time-out."""
        reply = self.request(OP_WAIT, struct.pack("<BBI", mask, value, timeout_ms))
        if len(reply) != 1:
            raise WireError("WAIT answered with %r" % reply)
        return reply[0]


class PollResult:
    """What a poll brought: a plain reply's result, or a command."""

    def __init__(self, result=None, command=None, body=b"", follow_up=None):
        self.result = result        # the reply's result when no command came
        self.command = command      # the command's code, or None
        self.body = body            # the command's body
        self.follow_up = follow_up  # the host's reply after a command answered -1

    @property
    def command_name(self):
        return COMMAND_NAMES.get(self.command)

    def __repr__(self):
        if self.command is None:
            return "PollResult(result=%r)" % self.result
        return "PollResult(command=%s, body=%r)" % (self.command_name or self.command, self.body)


class Console:
    """The console's side of the packet protocol over a virtual cable.

    The console leads: it sends a request and takes the host's one answer.
    Each handshake step waits at most `step_s` seconds, and fails at once
    when the host no longer holds the cable open.
    """

    SLICE_MS = 250

    def __init__(self, cable, step_s=10.0):
        self.cable = cable
        self.step_s = step_s
        self.tty_handle = None

    def attach(self, wait_s=10.0):
        """Attaches and waits until the host has opened the cable."""
        self.cable.attach(True)
        if not self.cable.wait(HOST_OPEN, HOST_OPEN, int(wait_s * 1000)) & HOST_OPEN:
            raise LinkLost("the host did not open the cable within %.0f s" % wait_s)

    def detach(self):
        self.cable.attach(False)

    def _wait(self, mask, value):
        deadline = time.monotonic() + self.step_s
        while True:
            status = self.cable.wait(mask, value, self.SLICE_MS)
            if status & mask == value:
                return status
            if not status & HOST_OPEN:
                raise LinkLost("the host closed the cable")
            if time.monotonic() > deadline:
                raise LinkLost("status %#x: no (status & %#x) == %#x within %.0f s"
                               % (status, mask, value, self.step_s))

    def _read_exact(self, count):
        data = bytearray()
        while len(data) < count:
            want = min(count - len(data), MAX_PAYLOAD)
            got = self.cable.read(want, int(self.step_s * 1000))
            data += got
            if len(got) < want:
                raise LinkLost("the host sent %d of %d bytes" % (len(data), count))
        return bytes(data)

    # ---- Packets ----

    @staticmethod
    def frame(tag, body=b""):
        """A packet: body size, then the tag ("TvR" and the code, or 4 bytes)."""
        if isinstance(tag, int):
            tag = b"TvR" + bytes([tag])
        return struct.pack("<I", len(body)) + tag + body

    def send_raw(self, packet):
        """Sends bytes as one packet under the handshake, whatever they hold."""
        self._wait(TRANSFER_REQUEST | TRANSFER_COMPLETE, 0)  # a quiet line
        self.cable.set(TRANSFER_REQUEST)
        for start in range(0, len(packet), MAX_PAYLOAD):
            piece = packet[start:start + MAX_PAYLOAD]
            if self.cable.write(piece) != len(piece):
                raise LinkLost("the cable took less than it was given")
        self.cable.set(TRANSFER_COMPLETE)
        # The host clears transfer request before it reads and transfer
        # complete when it has read it all; only the second lasts, since the
        # host may raise transfer request again at once for its answer.
        self._wait(TRANSFER_COMPLETE, 0)

    def send_packet(self, tag, body=b""):
        self.send_raw(self.frame(tag, body))

    def receive_packet(self):
        """The host's next packet: (tag, body)."""
        self._wait(TRANSFER_REQUEST, TRANSFER_REQUEST)
        self.cable.clear(TRANSFER_REQUEST)
        size, tag = struct.unpack("<I4s", self._read_exact(8))
        if size > LARGEST_HOST_PACKET:
            raise WireError("a host packet of %d bytes" % size)
        body = self._read_exact(size)
        self._wait(TRANSFER_COMPLETE, TRANSFER_COMPLETE)
        self.cable.clear(TRANSFER_COMPLETE)
        return tag, body

    @staticmethod
    def parse_reply(tag, body):
        if tag != b"TvR\x20":
            raise WireError("expected a reply, got tag %r" % tag)
        if len(body) < 4:
            raise WireError("a reply of %d bytes" % len(body))
        return struct.unpack("<i", body[:4])[0], body[4:]

    def exchange(self, code, body=b""):
        """A request and the host's reply: (result, data)."""
        self.send_packet(code, body)
        return self.parse_reply(*self.receive_packet())

    def reply(self, result, data=b""):
        self.send_packet(CODE_REPLY, struct.pack("<i", result) + data)

    # ---- Host file requests ----

    def open(self, path, flags=O_RDONLY):
        path = path.encode("latin-1") if isinstance(path, str) else path
        return self.exchange(CODE_OPEN, struct.pack("<I", flags) + path + b"\0")[0]

    def close(self, handle):
        return self.exchange(CODE_CLOSE, struct.pack("<i", handle))[0]

    def read(self, handle, count):
        """(result, data)."""
        return self.exchange(CODE_READ, struct.pack("<iI", handle, count))

    def write(self, handle, data):
        return self.exchange(CODE_WRITE, struct.pack("<iI", handle, len(data)) + bytes(data))[0]

    def lseek(self, handle, offset, whence=0):
        return self.exchange(CODE_LSEEK, struct.pack("<iii", handle, offset, whence))[0]

    def poll(self, answer=0):
        """Asks the host for a command. A command that comes instead of a
        reply is answered with `answer`; after -1 the host follows with a
        plain reply, taken here too."""
        self.send_packet(CODE_POLL)
        tag, body = self.receive_packet()
        if tag == b"TvR\x20":
            return PollResult(result=self.parse_reply(tag, body)[0])
        if tag[:3] != b"TvR":
            raise WireError("a poll answered with tag %r" % tag)
        outcome = PollResult(command=tag[3], body=body)
        self.reply(answer)
        if answer == -1:
            outcome.follow_up = self.parse_reply(*self.receive_packet())[0]
        return outcome

    # ---- Conveniences ----

    def tty(self, text):
        """Writes text to the host's log, as a console program's printf
        does: through the handle an open of "/dev/tty" gives."""
        if self.tty_handle is None:
            self.tty_handle = self.open("/dev/tty", O_WRONLY)
        data = text.encode("utf-8") if isinstance(text, str) else text
        return self.write(self.tty_handle, data)

    def read_file(self, path, chunk=1 << 20):
        """A whole host file, or None when it can't be opened."""
        handle = self.open(path, O_RDONLY)
        if handle < 0:
            return None
        data = bytearray()
        try:
            while True:
                result, got = self.read(handle, chunk)
                if result < 0:
                    raise LinkLost("read of %s failed" % path)
                if result == 0:
                    return bytes(data)
                data += got
        finally:
            self.close(handle)

    def write_file(self, path, data, chunk=1 << 20):
        """Creates or replaces a host file; False when it can't be opened."""
        handle = self.open(path, O_WRONLY | O_CREAT | O_TRUNC)
        if handle < 0:
            return False
        try:
            for start in range(0, len(data), chunk):
                piece = data[start:start + chunk]
                if self.write(handle, piece) != len(piece):
                    return False
            return True
        finally:
            self.close(handle)


def connect(port, name="", attach_wait_s=10.0, step_s=10.0):
    """A console on a new virtual cable, attached and seen by the host."""
    console = Console(VirtualCable(port, name), step_s)
    console.attach(attach_wait_s)
    return console


# ---- The program ----

def elf_entry(data):
    if len(data) >= 28 and data[:4] == b"\x7fELF":
        return struct.unpack("<I", data[24:28])[0]
    return None


def serve(console, interval_s=0.1, out=sys.stdout):
    """Polls as a console program's idle loop does and carries out the
    host's commands; returns at quit."""
    while True:
        outcome = console.poll()
        if outcome.command is None:
            time.sleep(interval_s)
            continue
        print("command:", outcome.command_name or outcome.command, file=out, flush=True)
        if outcome.command in (CODE_EXEC_ELF, CODE_EXEC_IOP):
            path = outcome.body.rstrip(b"\0").decode("latin-1")
            data = console.read_file(path.split(":", 1)[-1])
            if data is None:
                console.tty("cannot open %s\n" % path)
                continue
            entry = elf_entry(data)
            text = "%s: %d bytes" % (path, len(data))
            if entry is not None:
                text += ", entry point %#x" % entry
            console.tty(text + "\n")
            print(text, file=out, flush=True)
        elif outcome.command == CODE_QUIT:
            console.detach()
            return


def port_number(text):
    port = int(text) if text.isdigit() else -1
    if not 1 <= port <= 65535:
        raise argparse.ArgumentTypeError("%r is not a port number (1 to 65535)" % text)
    return port


def refused(path):
    print("the host refused %s; the reason is in the cable's log in Tavdesk. With the default\n"
          "settings the shared folder follows the file last executed on that cable, so nothing\n"
          "is shared before one was; start TavdeskSim with TAVDESK_SIM_SHARE=<folder>, or set\n"
          "a shared folder on the Settings tab." % path, file=sys.stderr)
    return 1


def main(argv=None):
    parser = argparse.ArgumentParser(description="A console at the far end of a Tavdesk virtual cable.")
    parser.add_argument("--port", type=port_number, default=os.environ.get("TAVDESK_SIM_LISTEN"),
                        help="TavdeskSim's port (default: $TAVDESK_SIM_LISTEN)")
    parser.add_argument("--name", default="Python console", help="the cable's name (its tab title)")
    sub = parser.add_subparsers(dest="action", required=True)
    tty = sub.add_parser("tty", help="print text in the cable's log")
    tty.add_argument("text")
    put = sub.add_parser("put", help="copy a local file into the shared folder")
    put.add_argument("local")
    put.add_argument("remote")
    get = sub.add_parser("get", help="copy a file from the shared folder")
    get.add_argument("remote")
    get.add_argument("local")
    sub.add_parser("serve", help="poll and carry out commands until quit")
    args = parser.parse_args(argv)
    if not args.port:
        parser.error("no port: give --port or set TAVDESK_SIM_LISTEN")

    try:
        console = connect(args.port, args.name)
        if args.action == "tty":
            console.tty(args.text + "\n")
        elif args.action == "put":
            with open(args.local, "rb") as f:
                if not console.write_file(args.remote, f.read()):
                    return refused(args.remote)
        elif args.action == "get":
            data = console.read_file(args.remote)
            if data is None:
                return refused(args.remote)
            with open(args.local, "wb") as f:
                f.write(data)
        else:
            serve(console)
        console.cable.close()
    except ConnectionRefusedError:
        print("virtual_console: nothing listens on 127.0.0.1:%d; start TavdeskSim with\n"
              "TAVDESK_SIM_LISTEN=%d" % (args.port, args.port), file=sys.stderr)
        return 1
    except (OSError, WireError, LinkLost, UnicodeError) as error:
        print("virtual_console: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
