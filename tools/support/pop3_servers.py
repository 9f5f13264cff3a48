#!/usr/bin/env python3
"""Scripted POP3 servers on 127.0.0.1 for tests and the benchmark.

    with ScriptedServer(handler) as server: ... server.port ...

A handler gets one accepted connection (a Connection) and plays its part; each connection
runs on its own daemon thread. Handlers here:
- nagle_pop3(count): a well-formed mailbox of `count` messages that offers PIPELINING and
  writes every multi-line reply in three small writes (status line, body, final ".") with
  Nagle's algorithm left on, so that the second and third pieces wait for the client's
  acknowledgement of the first;
- the hostile servers of HOSTILE (see its comments).
"""

import itertools
import socket
import threading

GREETING = b"+OK scripted POP3 ready\r\n"
CAPA_PIPELINING = b"+OK\r\nUSER\r\nUIDL\r\nTOP\r\nPIPELINING\r\n.\r\n"


class Connection:
    def __init__(self, sock):
        self.sock, self.pending = sock, b""

    def command(self):
        """The next command line (upper-case verb first), or None at the end of the connection."""
        while b"\r\n" not in self.pending:
            data = self.sock.recv(65536)
            if not data:
                return None
            self.pending += data
        line, self.pending = self.pending.split(b"\r\n", 1)
        return line

    def send(self, *pieces):
        """Each piece in a write of its own."""
        for piece in pieces:
            self.sock.sendall(piece)


class ScriptedServer:
    def __init__(self, handler):
        self.handler = handler
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.sockets = []
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            self.sockets.append(sock)
            threading.Thread(target=self._serve, args=(sock,), daemon=True).start()

    def _serve(self, sock):
        try:
            self.handler(Connection(sock))
        except OSError:
            pass                        # the client went away, or the server is closing
        finally:
            sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.listener.close()
        for sock in self.sockets:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def headers(n):
    return b"From: sender%d@example.org\r\nSubject: message %d\r\n" % (n, n)


def login(conn):
    """Greets and accepts any USER, PASS and CAPA until STAT; False when the client left."""
    conn.send(GREETING)
    while True:
        line = conn.command()
        if line is None:
            return False
        verb = line.split(b" ")[0].upper()
        if verb == b"STAT":
            return True
        conn.send(CAPA_PIPELINING if verb == b"CAPA" else b"+OK\r\n")


def nagle_pop3(count):
    def handler(conn):
        conn.send(GREETING)
        while (line := conn.command()) is not None:
            verb, *args = line.split(b" ")
            verb = verb.upper()
            if verb == b"CAPA":
                conn.send(b"+OK\r\n", b"USER\r\nUIDL\r\nTOP\r\nPIPELINING\r\n", b".\r\n")
            elif verb == b"STAT":
                conn.send(b"+OK %d %d\r\n" % (count, count * 100))
            elif verb == b"UIDL":
                conn.send(b"+OK\r\n", b"".join(b"%d uid-%d\r\n" % (n, n) for n in range(1, count + 1)),
                          b".\r\n")
            elif verb == b"TOP" and args and args[0].isdigit() and 1 <= int(args[0]) <= count:
                conn.send(b"+OK\r\n", headers(int(args[0])), b".\r\n")
            elif verb == b"QUIT":
                conn.send(b"+OK bye\r\n")
                return
            elif verb in (b"USER", b"PASS"):
                conn.send(b"+OK\r\n")
            else:
                conn.send(b"-ERR unknown\r\n")
    return handler


def send_forever(conn, lines):
    """Writes the lines of an endless generator in 64 KiB batches until the client leaves."""
    while True:
        conn.send(b"".join(itertools.islice(lines, 4096)))


def endless_numbers(conn):
    """STAT says 5; the listing then goes on with ever new message numbers."""
    if login(conn):
        conn.send(b"+OK 5 500\r\n")
        conn.command()
        conn.send(b"+OK\r\n")
        send_forever(conn, (b"%d uid-%d\r\n" % (n, n) for n in itertools.count(1)))


def endless_unique_ids(conn):
    """STAT says 5; the listing then names messages 1 to 5 again and again, each time with a new id."""
    if login(conn):
        conn.send(b"+OK 5 500\r\n")
        conn.command()
        conn.send(b"+OK\r\n")
        send_forever(conn, (b"%d uid-%d\r\n" % (n % 5 + 1, n) for n in itertools.count()))


def never_reads(conn):
    """Reads nothing after STAT (and takes little into its receive buffer), yet answers as if it
    did: 20,000 messages, then TOP replies for ever, so the client's commands pile up unread."""
    conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    if login(conn):
        conn.send(b"+OK 20000 2000000\r\n+OK\r\n")
        send_forever(conn, itertools.chain((b"%d u%d\r\n" % (n, n) for n in range(1, 20001)), [b".\r\n"],
                                           itertools.repeat(b"+OK\r\nSubject: s\r\n.\r\n")))


def huge_count(conn):
    """STAT announces 2,147,483,647 messages, an empty listing, and every TOP is answered."""
    if login(conn):
        conn.send(b"+OK 2147483647 0\r\n")
        while (line := conn.command()) is not None:
            verb = line.split(b" ")[0].upper()
            if verb == b"UIDL":
                conn.send(b"+OK\r\n.\r\n")
            elif verb == b"TOP":
                conn.send(b"+OK\r\nSubject: " + line + b"\r\n.\r\n")
            else:
                conn.send(b"+OK\r\n")


def announced_many_listed_two(conn):
    """STAT announces 1,000,000 messages, UIDL lists two, and every TOP gets a From and a Subject
    of 250 bytes each: the headers of the messages never listed must not be kept. The TOP
    commands in each read are answered in one write, to come at a client's pace."""
    if login(conn):
        conn.send(b"+OK 1000000 0\r\n")
        conn.command()
        conn.send(b"+OK\r\n1 one\r\n2 two\r\n.\r\n")
        reply = b"+OK\r\nFrom: " + b"f" * 250 + b"\r\nSubject: " + b"s" * 250 + b"\r\n.\r\n"
        pending = conn.pending
        while True:
            complete, _, pending = pending.rpartition(b"\r\n")
            conn.send(reply * complete.count(b"TOP "))
            data = conn.sock.recv(65536)
            if not data:
                return
            pending += data


def silent_after_greeting(conn):
    conn.send(GREETING)
    while conn.command() is not None:
        pass


def endless_line(conn):
    """Answers USER with a line that never ends."""
    conn.send(GREETING)
    conn.command()
    conn.send(b"+OK ")
    send_forever(conn, itertools.repeat(b"x" * 16))


HOSTILE = {
    "endless_numbers": endless_numbers,
    "endless_unique_ids": endless_unique_ids,
    "never_reads": never_reads,
    "huge_count": huge_count,
    "announced_many_listed_two": announced_many_listed_two,
    "silent_after_greeting": silent_after_greeting,
    "endless_line": endless_line,
}
