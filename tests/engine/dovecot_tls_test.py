#!/usr/bin/env python3
"""postbell-check over TLS and STLS against a real Dovecot with throw-away certificates.

    dovecot_tls_test.py PATH/TO/postbell-check

Starts its own Dovecot (tools/support/dovecot.py start --tls) with certificates that it
makes with openssl at run time. Needs root and Dovecot; skipped (77) without them.
"""

import os
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "support"))

import dovecot       # noqa: E402
import maildir_gen   # noqa: E402

SKIP = 77
USER, PASSWORD = "tlsuser", "s3cret pass"
MESSAGES = 40
CHECK = None


def fingerprint(cert):
    out = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-fingerprint", "-sha256"],
                         capture_output=True, text=True, check=True).stdout
    return out.strip().split("=", 1)[1]


class DovecotTls(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="pbtls.", dir="/tmp")
        os.chmod(cls.tmp, 0o755)
        cls.certs = os.path.join(cls.tmp, "certs")
        dovecot.make_certificates(cls.certs)
        cls.port, _, cls.server = dovecot.start(os.path.join(cls.tmp, "server"), certs=cls.certs)
        cls.tls_port = dovecot.tls_port(cls.server)
        maildir = dovecot.add_user(cls.server, USER, PASSWORD)
        maildir_gen.generate(maildir, MESSAGES, seed=9, owner=(dovecot.MAIL_UID, dovecot.MAIL_GID))

    @classmethod
    def tearDownClass(cls):
        dovecot.stop(cls.server)
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def check(self, host, *options, port=None, timeout=60):
        args = [CHECK, "--timeout", str(timeout), "--port", str(port or self.tls_port), *options, host, USER]
        env = dict(os.environ, POSTBELL_PASSWORD=PASSWORD)
        return subprocess.run(args, env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=120)

    def log_lines(self):
        with open(os.path.join(self.server, "dovecot.log"), "rb") as f:
            return f.read().splitlines()

    def assert_no_login(self, before, address):
        """Dovecot names the user of a session that sent USER; none of these may have."""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            ended = [line for line in self.log_lines()[before:]
                     if b"Disconnected" in line and b"lip=%s," % address.encode() in line]
            if ended:
                break
            time.sleep(0.05)
        self.assertTrue(ended, "Dovecot logged no end of the session")
        for line in ended:
            self.assertIn(b"no auth attempts", line)
            self.assertIn(b"user=<>", line)

    def test_tls_and_stls_give_the_plain_results(self):
        ca = ("--cafile", os.path.join(self.certs, "ca.crt"))
        plain = self.check("127.0.0.1", port=self.port)
        self.assertEqual(plain.returncode, 0, plain.stderr)
        self.assertEqual(plain.stdout.count(b"\n"), MESSAGES + 2)
        for name, result in [
            ("implicit TLS by name", self.check("localhost", "--tls", *ca)),
            ("implicit TLS by address", self.check("127.0.0.1", "--tls", *ca)),
            ("STLS", self.check("localhost", "--starttls", *ca, port=self.port)),
        ]:
            with self.subTest(name):
                self.assertEqual((result.returncode, result.stdout), (0, plain.stdout), result.stderr)

    def test_failures_report_why_and_never_log_in(self):
        ca = ("--cafile", os.path.join(self.certs, "ca.crt"))
        cases = [
            # name, address, options, port (None: the TLS port), exit code, status
            ("expired", "127.0.0.2", ("--tls", *ca), None, 7, 30),
            ("wrong name", "127.0.0.3", ("--tls", *ca), None, 7, 31),
            ("unknown issuer", "127.0.0.1", ("--tls",), None, 7, 32),
            ("self-signed", "127.0.0.4", ("--tls", *ca), None, 7, 33),
            ("wrong name after STLS", "127.0.0.3", ("--starttls", *ca), self.port, 7, 31),
            ("plain server on the TLS port", "127.0.0.1", ("--tls", *ca), self.port, 9, 36),
        ]
        for name, address, options, port, code, status in cases:
            with self.subTest(name):
                before = len(self.log_lines())
                result = self.check(address, *options, port=port)
                self.assertEqual(result.returncode, code, result.stdout + result.stderr)
                self.assertTrue(result.stdout.startswith(b"status %d " % status), result.stdout)
                self.assert_no_login(before, address)

    def test_trusted_fingerprint_accepts_exactly_that_certificate(self):
        trusted = fingerprint(os.path.join(self.certs, "selfsigned.crt"))
        accepted = self.check("127.0.0.4", "--tls", "--trust-fingerprint", trusted)
        self.assertEqual(accepted.returncode, 0, accepted.stdout + accepted.stderr)
        # Trust in one certificate cures neither another self-signed one for the same host
        # nor a certificate for another name.
        with OneHandshakeServer(os.path.join(self.certs, "selfsigned2")) as other:
            refused = self.check("127.0.0.4", "--tls", "--trust-fingerprint", trusted, port=other.port)
        self.assertEqual((refused.returncode, refused.stdout[:10]), (7, b"status 33 "), refused.stderr)
        wrong = self.check("127.0.0.3", "--tls", "--trust-fingerprint",
                           fingerprint(os.path.join(self.certs, "wrongname.crt")))
        self.assertEqual((wrong.returncode, wrong.stdout[:10]), (7, b"status 31 "), wrong.stderr)


class OneHandshakeServer:
    """A TLS server on 127.0.0.4 that shows a certificate to one client, then closes."""

    def __init__(self, base):
        self.context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        self.context.load_cert_chain(base + ".crt", base + ".key")
        self.listener = socket.create_server(("127.0.0.4", 0))
        self.listener.settimeout(30)
        self.port = self.listener.getsockname()[1]
        self.thread = threading.Thread(target=self.serve, daemon=True)

    def serve(self):
        try:
            conn, _ = self.listener.accept()
            conn.settimeout(30)
            with self.context.wrap_socket(conn, server_side=True) as tls:
                tls.sendall(b"+OK\r\n")
                self.received = tls.recv(100)
        except (OSError, ssl.SSLError):
            pass  # the client refused the certificate: what the test expects

    def __enter__(self):
        self.received = b""
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.thread.join(35)
        self.listener.close()
        if self.received:
            raise AssertionError(f"the client sent {self.received!r} to an untrusted server")


def main():
    global CHECK
    if len(sys.argv) < 2 or not os.access(sys.argv[1], os.X_OK):
        print("usage: dovecot_tls_test.py PATH/TO/postbell-check", file=sys.stderr)
        return 2
    CHECK = os.path.abspath(sys.argv[1])
    if os.geteuid() != 0 or not shutil.which("dovecot"):
        print("SKIPPED: needs root and Dovecot (tools/test.sh gives both)")
        return SKIP
    result = unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[2:], exit=False).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
