#!/usr/bin/env python3
"""The real postbell-check against the scripted servers of tools/support/pop3_servers.py.

    scripted_servers_test.py POSTBELL-CHECK

Nagle: the server writes each multi-line reply in three small writes with Nagle's algorithm
on, so the second piece waits for the client's acknowledgement of the first; a client that
delays it loses ~40 ms a message. The waits are counted, not timed: in a network namespace of
its own (root only, else this part is skipped) the kernel's DelayedACKs counter counts nothing
but this check. Hostile servers: each check must end with a clear exit code (0 ok, 3 status 18,
5 timed out) within its --timeout plus 3 s, its peak resident memory (VmHWM, sampled every
10 ms) under 64 MB; a watchdog kills a runaway. A sanitizer build counts only code and time,
with five times the limit.
"""

import concurrent.futures
import ctypes
import fcntl
import os
import socket
import struct
import subprocess
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "support"))
import pop3_servers  # noqa: E402

NAGLE_MESSAGES, NAGLE_ALLOWED_WAITS = 20, 4   # greeting, login and QUIT may each let a timer fire
TIMEOUT, GRACE, PEAK_KB, RUNAWAY_KB = 3, 3.0, 64 * 1024, 256 * 1024
# server: the clear exit codes it may end with
HOSTILE = {
    "endless_numbers": {3},
    "endless_unique_ids": {3},
    "never_reads": {0},             # our unread commands must not block us
    "huge_count": {3},              # more than a check keeps: a server error at once
    "silent_after_greeting": {3, 5},
    "endless_line": {3},
}


def own_network():
    """A network namespace of our own with its loopback up; False when the kernel refuses."""
    if ctypes.CDLL(None, use_errno=True).unshare(0x40000000) != 0:     # CLONE_NEWNET
        return False
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        flags = struct.unpack("16sH14x", fcntl.ioctl(s, 0x8913, struct.pack("16sH14x", b"lo", 0)))[1]
        fcntl.ioctl(s, 0x8914, struct.pack("16sH14x", b"lo", flags | 1))    # SIOCSIFFLAGS, IFF_UP
    return True


def delayed_acks():
    with open("/proc/net/netstat") as f:
        names, values = [line.split() for line in f][:2]
    return int(values[names.index("DelayedACKs")])


def nagle(check):
    failures = []
    with pop3_servers.ScriptedServer(pop3_servers.nagle_pop3(NAGLE_MESSAGES)) as server:
        for pipelining in ("1", "0"):
            before = delayed_acks()
            result = subprocess.run([check, "--timeout", "60", "--port", str(server.port), "127.0.0.1", "u"],
                                    env=dict(os.environ, POSTBELL_PASSWORD="p", POSTBELL_PIPELINING=pipelining),
                                    capture_output=True, timeout=90)
            waits = delayed_acks() - before
            print(f"nagle, pipelining={pipelining}: exit {result.returncode}, {waits} delayed-ACK waits")
            if result.returncode != 0 or result.stdout.count(b"\n") != NAGLE_MESSAGES + 2:
                failures.append(f"pipelining={pipelining}: the check failed: {result.stdout[:300]!r}")
            if waits > NAGLE_ALLOWED_WAITS:
                failures.append(f"pipelining={pipelining}: {waits} delayed-ACK waits")
    return failures


def hostile(check, name, timeout, runaway_kb):
    """(exit code, seconds, peak RSS KiB, killed by the watchdog)"""
    with pop3_servers.ScriptedServer(pop3_servers.HOSTILE[name]) as server:
        start, peak, runaway = time.monotonic(), 0, False
        child = subprocess.Popen([check, "--timeout", str(timeout), "--port", str(server.port), "127.0.0.1", "u"],
                                 env=dict(os.environ, POSTBELL_PASSWORD="p"), stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while child.poll() is None:
            try:    # before its exec the child is a copy of this Python
                if os.readlink(f"/proc/{child.pid}/exe") == os.path.realpath(check):
                    with open(f"/proc/{child.pid}/status") as f:
                        peak = max(peak, next(int(l.split()[1]) for l in f if l.startswith("VmHWM:")))
            except (OSError, StopIteration):
                pass
            if peak > runaway_kb or time.monotonic() - start > timeout + 20:
                runaway = True
                child.kill()
            time.sleep(0.01)
    return child.returncode, time.monotonic() - start, peak, runaway


def main():
    check = sys.argv[1]
    failures = nagle(check) if own_network() else print("nagle: skipped (needs root)") or []
    with open(check, "rb") as f:
        plain = b"__asan_init" not in (binary := f.read()) and b"__tsan_init" not in binary
    limit = TIMEOUT if plain else 5 * TIMEOUT
    with concurrent.futures.ThreadPoolExecutor(len(HOSTILE)) as pool:
        outcomes = pool.map(lambda name: hostile(check, name, limit, RUNAWAY_KB * (1 if plain else 8)), HOSTILE)
    for (name, codes), (code, seconds, rss, killed) in zip(HOSTILE.items(), outcomes):
        problems = [p for p, bad in [("killed by the watchdog", killed), (f"exit {code}", code not in codes),
                                     (f"took {seconds:.1f} s", seconds > limit + GRACE),
                                     (f"peak RSS {rss / 1024:.0f} MB", plain and rss > PEAK_KB)] if bad]
        print(f"{'FAIL' if problems else 'ok':5} {name}: exit {code}, {seconds:.2f} s, peak RSS {rss / 1024:.1f} MB "
              + "; ".join(problems))
        failures += [name] if problems else []
    for failure in failures:
        print("FAIL", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
