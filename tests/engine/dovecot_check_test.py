#!/usr/bin/env python3
"""postbell-check against a real Dovecot POP3 server on loopback.

    dovecot_check_test.py PATH/TO/postbell-check

Needs the server that tools/test.sh starts: POSTBELL_TEST_POP3_PORT and
POSTBELL_TEST_POP3_DIR (the folder of tools/support/dovecot.py start). Without them the
test is skipped (exit 77); with them, a server that does not answer is a failure.
Each run adds its own users, so runs of several builds can share one server.
"""

import os
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import uuid

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True      # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools", "support"))

import dovecot       # noqa: E402
import maildir_gen   # noqa: E402
import pop3_oracle   # noqa: E402

SKIP = 77
MESSAGES = 1000
RUN_TIMEOUT = 300           # seconds; a sanitizer build on a busy machine is slow
PASSWORD = "s3cret pass"    # a blank inside: PASS sends it as stored
STATUS_REJECTED = b"status 17 User name or password was rejected by the mail server.\n"
STATUS_NO_CONNECT = b"status 16 Cannot connect to the mail server.\n"

CHECK = None
PORT = None
SERVER_DIR = None


def unique_name(prefix):
    """Runs of several builds share one server: each needs users of its own."""
    return prefix + uuid.uuid4().hex[:10]


def run_check(user, password, port=None, seen=None, extra=()):
    args = [CHECK, "--port", str(port or PORT), "--timeout", "120"]
    if seen:
        args += ["--seen", seen]
    args += list(extra) + ["127.0.0.1", user]
    env = dict(os.environ, POSTBELL_PASSWORD=password)
    return subprocess.run(args, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          timeout=RUN_TIMEOUT)


def first_difference(actual, expected):
    a, e = actual.split(b"\n"), expected.split(b"\n")
    for k in range(max(len(a), len(e))):
        left = a[k] if k < len(a) else b"<missing>"
        right = e[k] if k < len(e) else b"<missing>"
        if left != right:
            return f"line {k + 1}:\n  got      {left!r}\n  expected {right!r}\n" \
                   f"({len(a)} lines got, {len(e)} expected)"
    return "no difference"


def read(path):
    with open(path, "rb") as f:
        return f.read()


def write_as_mail_user(path, data):
    with open(path, "wb") as f:
        f.write(data)
    os.chown(path, dovecot.MAIL_UID, dovecot.MAIL_GID)


class DovecotCheck(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="pbcheck.")
        cls.user = unique_name("full")
        cls.maildir = dovecot.add_user(SERVER_DIR, cls.user, PASSWORD)
        cls.uids = maildir_gen.generate(cls.maildir, MESSAGES, seed=2,
                                        owner=(dovecot.MAIL_UID, dovecot.MAIL_GID))

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def expect(self, seen_bytes=b""):
        out, digests, uids = pop3_oracle.expected_check(PORT, self.user, PASSWORD, seen_bytes)
        return out, digests, uids

    def assert_check(self, result, expected_out):
        self.assertEqual(result.returncode, 0, result.stdout[:300] + result.stderr[-2000:])
        self.assertTrue(result.stdout == expected_out, first_difference(result.stdout, expected_out))

    def test_whole_mailbox_then_seen_then_changes(self):
        seen = os.path.join(self.tmp.name, "seen")      # missing at first: nothing known
        expected, digests, uids = self.expect()
        # The oracle must see the mailbox the generator wrote, or both could agree on nothing.
        self.assertEqual(sorted(uids), sorted(u[:70].encode() for u in self.uids))
        self.assertEqual(len(digests), 16 * (MESSAGES - 1))   # two unique-ids agree in 70 chars
        self.assertTrue(expected.endswith(b"new mail: yes\n"))

        sessions = self.ended_sessions()
        first = run_check(self.user, PASSWORD, seen=seen)
        self.assert_check(first, expected)
        self.assertEqual(read(seen), digests)
        self.assert_logged_out(sessions, top_count=MESSAGES)

        expected_again, _, _ = self.expect(digests)
        self.assertTrue(expected_again.endswith(b"new mail: no\n"))
        second = run_check(self.user, PASSWORD, seen=seen)
        self.assert_check(second, expected_again)
        self.assertEqual(read(seen), digests)

        # A message that left the server: still no new mail, and its digest is forgotten.
        os.unlink(self.message_file("1700000101."))
        expected_after_delete, digests_after_delete, _ = self.expect(digests)
        self.assertTrue(expected_after_delete.endswith(b"new mail: no\n"))
        third = run_check(self.user, PASSWORD, seen=seen)
        self.assert_check(third, expected_after_delete)
        self.assertEqual(read(seen), digests_after_delete)
        self.assertEqual(len(digests_after_delete), len(digests) - 16)

        # One message arrives: new mail again.
        write_as_mail_user(os.path.join(self.maildir, "new", "1800000000.arrived.postbell"),
                           b"From: late <late@example.org>\nSubject: arrived\n\nhello\n")
        expected_new, digests_new, _ = self.expect(digests_after_delete)
        self.assertTrue(expected_new.endswith(b"new mail: yes\n"))
        fourth = run_check(self.user, PASSWORD, seen=seen)
        self.assert_check(fourth, expected_new)
        self.assertEqual(read(seen), digests_new)

    def test_rejected_login_keeps_seen_file(self):
        seen = os.path.join(self.tmp.name, "kept")
        with open(seen, "wb") as f:
            f.write(b"\x01" * 16 + b"\xff" * 16)
        wrong = run_check(self.user, PASSWORD + "x", seen=seen)
        self.assertEqual((wrong.returncode, wrong.stdout), (2, STATUS_REJECTED), wrong.stderr)
        self.assertEqual(read(seen), b"\x01" * 16 + b"\xff" * 16)

        blocked = unique_name("nologin")
        dovecot.add_user(SERVER_DIR, blocked, PASSWORD, nologin="Blocked")
        refused = run_check(blocked, PASSWORD, seen=seen)
        self.assertEqual((refused.returncode, refused.stdout), (2, STATUS_REJECTED), refused.stderr)
        self.assertEqual(read(seen), b"\x01" * 16 + b"\xff" * 16)

    def test_closed_port(self):
        # A bound socket that does not listen: connecting to its port is refused, no race.
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.bind(("127.0.0.1", 0))
            result = run_check(self.user, PASSWORD, port=s.getsockname()[1])
        self.assertEqual((result.returncode, result.stdout), (1, STATUS_NO_CONNECT), result.stderr)

    def test_empty_mailbox_forgets_known_digests(self):
        empty = unique_name("empty")
        dovecot.add_user(SERVER_DIR, empty, PASSWORD)
        seen = os.path.join(self.tmp.name, "forgotten")
        with open(seen, "wb") as f:
            f.write(b"\x02" * 16)
        result = run_check(empty, PASSWORD, seen=seen)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, pop3_oracle.STATUS_OK + b"\nnew mail: no\n")
        self.assertEqual(read(seen), b"")

    def message_file(self, prefix):
        """Dovecot moves files from new/ to cur/ and adds flags: find one wherever it is now."""
        for sub in ("cur", "new"):
            for name in os.listdir(os.path.join(self.maildir, sub)):
                if name.startswith(prefix):
                    return os.path.join(self.maildir, sub, name)
        raise AssertionError(f"no message file {prefix}*")

    def ended_sessions(self):
        wanted = f"pop3({self.user})".encode()
        return [line for line in read(os.path.join(SERVER_DIR, "dovecot.log")).splitlines()
                if wanted in line and b"Disconnected" in line]

    def assert_logged_out(self, before, top_count):
        """Dovecot logs "Logged out" only for a session that ended with QUIT and its reply."""
        deadline = time.monotonic() + 10
        lines = []
        while time.monotonic() < deadline and len(lines) <= len(before):
            time.sleep(0.05)
            lines = self.ended_sessions()
        self.assertGreater(len(lines), len(before), "Dovecot logged no end of the session")
        self.assertIn(b"Logged out top=%d/" % top_count, lines[len(before)])


def main():
    global CHECK, PORT, SERVER_DIR
    if len(sys.argv) < 2 or not os.access(sys.argv[1], os.X_OK):
        print("usage: dovecot_check_test.py PATH/TO/postbell-check", file=sys.stderr)
        return 2
    CHECK = os.path.abspath(sys.argv[1])
    port = os.environ.get("POSTBELL_TEST_POP3_PORT")
    SERVER_DIR = os.environ.get("POSTBELL_TEST_POP3_DIR")
    if not port or not SERVER_DIR:
        print("SKIPPED: no Dovecot. Run under tools/test.sh, or start one with "
              "tools/support/dovecot.py start and set POSTBELL_TEST_POP3_PORT and "
              "POSTBELL_TEST_POP3_DIR.")
        return SKIP
    PORT = int(port)
    if not (dovecot.greeting(PORT) or "").startswith("+OK"):
        print(f"FAILED: no Dovecot answers on 127.0.0.1:{PORT}", file=sys.stderr)
        return 1
    result = unittest.main(argv=[sys.argv[0], "-v"] + sys.argv[2:], exit=False).result
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
