#!/usr/bin/env python3
"""A check never waits on its delayed-ACK timer, whatever pieces a server writes a reply in.

    nagle_stall_test.py POSTBELL-CHECK

The server writes each multi-line reply in three small writes with Nagle's algorithm on: the
second piece stays unsent until the client acknowledges the first. A client that delays that
acknowledgement costs ~40 ms per message. The waits are counted, not timed: the check runs in
a network namespace of its own, where the kernel's DelayedACKs counter (acknowledgements sent
by the delayed-ACK timer) counts nothing but this dialogue. Run with and without pipelining.
Needs root for the namespace; skipped (77) without it.
"""

import ctypes
import fcntl
import os
import socket
import struct
import subprocess
import sys

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "support"))
import pop3_servers  # noqa: E402

MESSAGES = 20
# The greeting, the login and QUIT may each let a timer fire once; a stalled check has one
# or two per message.
ALLOWED_WAITS = 4
CLONE_NEWNET = 0x40000000
SIOCGIFFLAGS, SIOCSIFFLAGS, IFF_UP = 0x8913, 0x8914, 0x1


def enter_own_network():
    """A new network namespace with its loopback up; False when the kernel refuses it."""
    if ctypes.CDLL(None, use_errno=True).unshare(CLONE_NEWNET) != 0:
        return False
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        request = struct.pack("16sH14x", b"lo", 0)
        flags = struct.unpack("16sH14x", fcntl.ioctl(s, SIOCGIFFLAGS, request))[1]
        fcntl.ioctl(s, SIOCSIFFLAGS, struct.pack("16sH14x", b"lo", flags | IFF_UP))
    return True


def delayed_acks():
    with open("/proc/net/netstat") as f:
        names, values = [line.split() for line in f][:2]
    return int(values[names.index("DelayedACKs")])


def main():
    check = sys.argv[1]
    if not enter_own_network():
        print("skipped: cannot make a network namespace (needs root)")
        return 77
    failures = []
    with pop3_servers.ScriptedServer(pop3_servers.nagle_pop3(MESSAGES)) as server:
        for pipelining in ("1", "0"):
            before = delayed_acks()
            result = subprocess.run([check, "--timeout", "60", "--port", str(server.port), "127.0.0.1", "u"],
                                    env=dict(os.environ, POSTBELL_PASSWORD="p", POSTBELL_PIPELINING=pipelining),
                                    capture_output=True, timeout=90)
            waits = delayed_acks() - before
            lines = result.stdout.count(b"\n")
            print(f"pipelining={pipelining}: exit {result.returncode}, {lines - 2} messages, "
                  f"{waits} delayed-ACK waits")
            if result.returncode != 0 or lines != MESSAGES + 2:
                failures.append(f"pipelining={pipelining}: the check failed: {result.stdout[:300]!r}")
            if waits > ALLOWED_WAITS:
                failures.append(f"pipelining={pipelining}: {waits} delayed-ACK waits for {MESSAGES} messages")
    for failure in failures:
        print("FAIL", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
