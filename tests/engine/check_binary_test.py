#!/usr/bin/env python3
"""The real postbell-check against real servers:  check_binary_test.py dovecot|scripted POSTBELL-CHECK

dovecot: its own Dovecot with throw-away certificates, plain, TLS and STLS, against the oracle.
scripted: the Nagle and hostile servers of tools/support/pop3_servers.py (README: "Scripted servers").
"""

import concurrent.futures
import ctypes
import fcntl
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "support"))
import dovecot       # noqa: E402
import maildir_gen   # noqa: E402
import pop3_oracle   # noqa: E402
import pop3_servers  # noqa: E402

MESSAGES, PASSWORD = 1000, "s3cret pass"     # a blank inside: PASS sends it as stored
NAGLE_MESSAGES, NAGLE_ALLOWED_WAITS = 20, 4   # greeting, login and QUIT may each let a timer fire
TIMEOUT, GRACE, PEAK_KB, RUNAWAY_KB = 3, 3.0, 64 * 1024, 256 * 1024
# hostile server: the clear exit codes it may end with
HOSTILE = {
    "endless_unique_ids": {3},
    "never_reads": {0},             # our unread commands must not block us
    "huge_count": {3},              # more than a check keeps: a server error at once
    "endless_line": {3},
}
FAILURES = []


def expect(what, got, wanted):
    if got != wanted:
        FAILURES.append(what)
        print(f"FAIL {what}:\n  got      {str(got)[:600]}\n  expected {str(wanted)[:600]}")


def check(port, user, *options, host="127.0.0.1", **environment):
    result = subprocess.run([CHECK, "--timeout", "120", "--port", str(port), *options, host, user],
                            env=dict(os.environ, POSTBELL_PASSWORD=PASSWORD, **environment), stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=300)
    return result.returncode, result.stdout


def plain_checks(port, seen):
    """A whole mailbox, checked twice with the seen file."""
    maildir = dovecot.add_user(SERVER, "full", PASSWORD)
    maildir_gen.generate(maildir, MESSAGES, seed=2, owner=(dovecot.MAIL_UID, dovecot.MAIL_GID))
    digests = b""
    for step in ("first", "again"):
        out, digests, _ = pop3_oracle.expected_check(port, "full", PASSWORD, digests)
        before = len(dovecot.log_lines(SERVER))
        expect(f"plain check, {step}", check(port, "full", "--seen", seen), (0, out))
        expect(f"seen file, {step}", open(seen, "rb").read(), digests)
        if step == "first":     # Dovecot says "Logged out" only after QUIT and its reply
            ended = dovecot.ended_sessions(SERVER, b"pop3(full)", before)
            expect("logged out", bool(ended) and b"Logged out top=%d/" % MESSAGES in ended[0], True)
    return check(port, "full")


def secure_checks(port, tls_port, plain):
    ca, trust = ("--cafile", os.path.join(CERTS, "ca.crt")), "--trust-fingerprint"
    # what, address, options, port, exit code, status (0: the plain check's output)
    for what, address, options, to, code, status in [
        ("TLS by name", "localhost", ("--tls", *ca), tls_port, 0, 0),
        ("TLS by address", "127.0.0.1", ("--tls", *ca), tls_port, 0, 0),
        ("STLS", "localhost", ("--starttls", *ca), port, 0, 0),
        ("trusted self-signed", "127.0.0.4", ("--tls", trust, dovecot.fingerprint(CERTS, "selfsigned")), tls_port, 0, 0),
        ("expired", "127.0.0.2", ("--tls", *ca), tls_port, 7, 30),
        ("wrong name", "127.0.0.3", ("--tls", *ca), tls_port, 7, 31),
        ("unknown issuer", "127.0.0.1", ("--tls",), tls_port, 7, 32),
        ("self-signed", "127.0.0.4", ("--tls", *ca), tls_port, 7, 33),
        ("wrong name after STLS", "127.0.0.3", ("--starttls", *ca), port, 7, 31),
        ("a trusted fingerprint does not cure a wrong name", "127.0.0.3",
         ("--tls", trust, dovecot.fingerprint(CERTS, "wrongname")), tls_port, 7, 31),
        ("another self-signed certificate", "127.0.0.4", ("--tls", trust, dovecot.fingerprint(CERTS, "selfsigned2")),
         tls_port, 7, 33),
    ]:
        before = len(dovecot.log_lines(SERVER))
        result = check(to, "full", *options, host=address)
        expect(what, (result[0], result[1][:10]) if code else result, (code, b"status %d " % status) if code else plain)
        if code:    # Dovecot names the user of a session that sent USER
            ended = dovecot.ended_sessions(SERVER, b"lip=%s," % address.encode(), before)
            expect(f"{what}: no login", bool(ended) and all(b"user=<>" in line for line in ended), True)


def dovecot_checks():
    global SERVER, CERTS
    if os.geteuid() != 0 or not shutil.which("dovecot"):
        print("SKIPPED: needs root and Dovecot (tools/test.sh gives both)")
        sys.exit(77)
    tmp = tempfile.mkdtemp(prefix="pbdovecot.", dir="/tmp")
    os.chmod(tmp, 0o755)
    CERTS = os.path.join(tmp, "certs")
    dovecot.make_certificates(CERTS)
    port, _, SERVER = dovecot.start(os.path.join(tmp, "server"), certs=CERTS)
    try:
        secure_checks(port, dovecot.tls_port(SERVER), plain_checks(port, os.path.join(SERVER, "seen")))
    finally:
        dovecot.stop(SERVER)
        shutil.rmtree(tmp, ignore_errors=True)


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


def hostile(name, timeout, runaway_kb):
    """(exit code, seconds, peak RSS KiB, killed by the watchdog)"""
    with pop3_servers.ScriptedServer(pop3_servers.HOSTILE[name]) as server:
        start, peak, runaway = time.monotonic(), 0, False
        child = subprocess.Popen([CHECK, "--timeout", str(timeout), "--port", str(server.port), "127.0.0.1", "u"],
                                 env=dict(os.environ, POSTBELL_PASSWORD="p"), stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while child.poll() is None:
            try:    # before its exec the child is a copy of this Python
                if os.readlink(f"/proc/{child.pid}/exe") == os.path.realpath(CHECK):
                    with open(f"/proc/{child.pid}/status") as f:
                        peak = max(peak, next(int(l.split()[1]) for l in f if l.startswith("VmHWM:")))
            except (OSError, StopIteration):
                pass
            if peak > runaway_kb or time.monotonic() - start > timeout + 20:
                runaway = True
                child.kill()
            time.sleep(0.01)
    return child.returncode, time.monotonic() - start, peak, runaway


def scripted_checks():
    if not own_network():
        print("nagle: skipped (needs root)")
    else:
        with pop3_servers.ScriptedServer(pop3_servers.nagle_pop3(NAGLE_MESSAGES)) as server:
            for pipelining in ("1", "0"):
                before = delayed_acks()
                code, out = check(server.port, "u", POSTBELL_PIPELINING=pipelining)
                waits = delayed_acks() - before
                expect(f"nagle, pipelining={pipelining}: exit, lines, at most {NAGLE_ALLOWED_WAITS} waits ({waits})",
                       (code, out.count(b"\n"), waits <= NAGLE_ALLOWED_WAITS), (0, NAGLE_MESSAGES + 2, True))
    with open(CHECK, "rb") as f:
        plain = b"__asan_init" not in (binary := f.read()) and b"__tsan_init" not in binary
    limit = TIMEOUT if plain else 5 * TIMEOUT
    with concurrent.futures.ThreadPoolExecutor(len(HOSTILE)) as pool:
        outcomes = pool.map(lambda name: hostile(name, limit, RUNAWAY_KB * (1 if plain else 8)), HOSTILE)
    for (name, codes), (code, seconds, rss, killed) in zip(HOSTILE.items(), outcomes):
        expect(f"{name}: a clear end, in time, in bounds (exit {code}, {seconds:.2f} s, {rss} KiB)", (killed, code in codes, seconds <= limit + GRACE,
               not plain or rss <= PEAK_KB), (False, True, True, True))


if __name__ == "__main__":
    CHECK = os.path.abspath(sys.argv[2])
    dovecot_checks() if sys.argv[1] == "dovecot" else scripted_checks()
    print(f"{len(FAILURES)} failed" if FAILURES else "all passed")
    sys.exit(1 if FAILURES else 0)
