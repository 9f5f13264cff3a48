#!/usr/bin/env python3
"""postbell-check against a real Dovecot on loopback: plain, implicit TLS and STLS.

    dovecot_test.py PATH/TO/postbell-check

Starts its own Dovecot (tools/support/dovecot.py) with throw-away certificates; needs root
and Dovecot, skipped (77) without them. The plain checks are compared with the oracle
(tools/support/pop3_oracle.py), which reads the same mailbox with Python's POP3 client.
"""

import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "support"))
import dovecot       # noqa: E402
import maildir_gen   # noqa: E402
import pop3_oracle   # noqa: E402

MESSAGES, PASSWORD = 1000, "s3cret pass"     # a blank inside: PASS sends it as stored
REJECTED = (2, b"status 17 User name or password was rejected by the mail server.\n")
FAILURES = []


def expect(what, got, wanted):
    if got != wanted:
        FAILURES.append(what)
        print(f"FAIL {what}:\n  got      {str(got)[:600]}\n  expected {str(wanted)[:600]}")


def check(port, user, *options, host="127.0.0.1", password=PASSWORD):
    result = subprocess.run([CHECK, "--timeout", "120", "--port", str(port), *options, host, user],
                            env=dict(os.environ, POSTBELL_PASSWORD=password), stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=300)
    return result.returncode, result.stdout


def seen_after(what, port, user, seen, wanted, digests):
    """Checks with the seen file; its contents after, which must be `digests`."""
    expect(what, check(port, user, "--seen", seen), wanted)
    expect(f"seen file, {what}", open(seen, "rb").read(), digests)


def plain_checks(port, seen):
    """A whole mailbox, checked again, after a message left and after one arrived; refusals."""
    maildir = dovecot.add_user(SERVER, "full", PASSWORD)
    generated = maildir_gen.generate(maildir, MESSAGES, seed=2, owner=(dovecot.MAIL_UID, dovecot.MAIL_GID))
    digests = b""
    for step in ("first", "again", "one left", "one arrived"):
        if step == "one left":
            cur = os.path.join(maildir, "cur")
            os.unlink(os.path.join(cur, next(n for n in os.listdir(cur) if n.startswith("1700000101."))))
        if step == "one arrived":
            with open(os.path.join(maildir, "new", "1800000000.arrived.postbell"), "wb") as f:
                f.write(b"From: late <late@example.org>\nSubject: arrived\n\nhello\n")
                os.fchown(f.fileno(), dovecot.MAIL_UID, dovecot.MAIL_GID)
        out, digests, uids = pop3_oracle.expected_check(port, "full", PASSWORD, digests)
        if step == "first":     # the oracle must read what the generator wrote, or both agree on nothing
            expect("the oracle's mailbox", sorted(uids), sorted(u[:70].encode() for u in generated))
        before = len(dovecot.log_lines(SERVER))
        seen_after(f"plain check, {step}", port, "full", seen, (0, out), digests)
        expect(f"new mail, {step}", out.endswith(b"new mail: yes\n"), step in ("first", "one arrived"))
        if step == "first":     # Dovecot says "Logged out" only after QUIT and its reply
            ended = dovecot.ended_sessions(SERVER, b"pop3(full)", before)
            expect("logged out", bool(ended) and b"Logged out top=%d/" % MESSAGES in ended[0], True)
    dovecot.add_user(SERVER, "blocked", PASSWORD, nologin="Blocked")
    expect("wrong password", check(port, "full", "--seen", seen, password="x"), REJECTED)
    seen_after("login refused", port, "blocked", seen, REJECTED, digests)
    dovecot.add_user(SERVER, "empty", PASSWORD)
    seen_after("an empty mailbox", port, "empty", seen, (0, pop3_oracle.STATUS_OK + b"\nnew mail: no\n"), b"")
    return check(port, "full")


def one_handshake(certificate, received):
    """A TLS server on 127.0.0.4 that shows a certificate to one client; its port."""
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(os.path.join(CERTS, certificate + ".crt"), os.path.join(CERTS, certificate + ".key"))
    listener = socket.create_server(("127.0.0.4", 0))
    listener.settimeout(30)

    def serve():
        try:
            with listener, context.wrap_socket(listener.accept()[0], server_side=True) as tls:
                tls.sendall(b"+OK\r\n")
                received.append(tls.recv(100))
        except (OSError, ssl.SSLError):
            pass    # the client refused the certificate
    threading.Thread(target=serve, daemon=True).start()
    return listener.getsockname()[1]


def secure_checks(port, tls_port, plain):
    ca, trust, received = ("--cafile", os.path.join(CERTS, "ca.crt")), "--trust-fingerprint", []
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
        ("plain server on the TLS port", "127.0.0.1", ("--tls", *ca), port, 9, 36),
        ("a trusted fingerprint does not cure a wrong name", "127.0.0.3",
         ("--tls", trust, dovecot.fingerprint(CERTS, "wrongname")), tls_port, 7, 31),
        ("another self-signed certificate", "127.0.0.4", ("--tls", trust, dovecot.fingerprint(CERTS, "selfsigned")),
         one_handshake("selfsigned2", received), 7, 33),
    ]:
        before = len(dovecot.log_lines(SERVER))
        result = check(to, "full", *options, host=address)
        expect(what, (result[0], result[1][:10]) if code else result, (code, b"status %d " % status) if code else plain)
        if code and to in (port, tls_port):     # Dovecot names the user of a session that sent USER
            ended = dovecot.ended_sessions(SERVER, b"lip=%s," % address.encode(), before)
            expect(f"{what}: no login", bool(ended) and all(b"user=<>" in line for line in ended), True)
    expect("nothing sent to an untrusted server", [data for data in received if data], [])


def main():
    global CHECK, SERVER, CERTS
    CHECK = os.path.abspath(sys.argv[1])
    if os.geteuid() != 0 or not shutil.which("dovecot"):
        print("SKIPPED: needs root and Dovecot (tools/test.sh gives both)")
        return 77
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
    print(f"{len(FAILURES)} failed" if FAILURES else "all passed")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
