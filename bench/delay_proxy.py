#!/usr/bin/env python3
"""A TCP proxy on 127.0.0.1 that holds every chunk for a fixed time in each direction: an
emulated network round trip of twice that delay, without root or a network namespace.

    with DelayProxy(target_port, one_way_seconds) as proxy: ... proxy.port ...

Bytes keep their order and are never merged across the delay: each chunk leaves when its own
time is due, so a window of pipelined commands crosses in one trip, as on a real link. The
proxy's own sockets send without Nagle's delay, so it adds nothing but the wait.
"""

import queue
import socket
import threading
import time


class DelayProxy:
    def __init__(self, target_port, one_way_seconds):
        self.target_port, self.delay = target_port, one_way_seconds
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.target_port))
            for sock in (client, server):
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            for source, sink in ((client, server), (server, client)):
                chunks = queue.SimpleQueue()
                threading.Thread(target=self._receive, args=(source, chunks), daemon=True).start()
                threading.Thread(target=self._deliver, args=(sink, chunks), daemon=True).start()

    def _receive(self, source, chunks):
        while True:
            try:
                data = source.recv(65536)
            except OSError:
                data = b""
            chunks.put((time.monotonic() + self.delay, data))
            if not data:
                return

    @staticmethod
    def _deliver(sink, chunks):
        while True:
            due, data = chunks.get()
            time.sleep(max(0.0, due - time.monotonic()))
            try:
                if not data:
                    sink.shutdown(socket.SHUT_WR)
                    return
                sink.sendall(data)
            except OSError:
                return

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.listener.close()
