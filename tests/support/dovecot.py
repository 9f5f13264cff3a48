#!/usr/bin/env python3
"""A throw-away Dovecot 2.3 POP3 server on 127.0.0.1 for tests and benchmarks.

    dovecot.py start [--port N] [--dir DIR]   prints PORT, PID and DIR as shell assignments
    dovecot.py adduser DIR USER PASSWORD [--nologin REASON]
                                              prints the user's Maildir path
    dovecot.py stop DIR                       ends the server and waits for it

Everything lives in one short folder (default: a new /tmp/pbd.XXXXXX): the config,
Dovecot's base_dir/state_dir, its log, the passwd-file and one Maildir per user under
DIR/mail/USER. Users run as uid/gid 65534, since Dovecot refuses mail access as root.
The passwd-file is re-read by Dovecot when it changes, so users can be added while the
server runs, one per test, and tests running side by side do not share a mailbox.

The unique-id format is `%f` (the Maildir file name without its flags): it is stable across
runs and lets a test choose the unique-ids, long ones included, by naming the files.

Must run as root (Dovecot's master drops privileges itself).
"""

import argparse
import fcntl
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

MAIL_UID = 65534
MAIL_GID = 65534
START_TIMEOUT = 20.0
USER_READY_TIMEOUT = 10.0
STOP_TIMEOUT = 15.0

CONFIG = """\
base_dir = {dir}/run
state_dir = {dir}/state
log_path = {dir}/dovecot.log
info_log_path = {dir}/dovecot.log
protocols = pop3
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
auth_failure_delay = 0
mail_location = maildir:~
pop3_uidl_format = %f
passdb {{
  driver = passwd-file
  args = scheme=PLAIN {dir}/passwd
}}
userdb {{
  driver = passwd-file
  args = {dir}/passwd
}}
service anvil {{
  unix_listener anvil-auth-penalty {{
    mode = 0
  }}
}}
service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {port}
  }}
}}
"""


def free_port():
    """A port that was free a moment ago; the start retries if it is taken meanwhile."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def greeting(port, timeout=1.0):
    """The server's first line, or None when nothing answers on the port."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            data = b""
            while not data.endswith(b"\r\n") and len(data) < 4096:
                chunk = s.recv(512)
                if not chunk:
                    break
                data += chunk
            return data.decode("latin-1").rstrip("\r\n")
    except OSError:
        return None


def process_alive(pid):
    """True while the process exists and is not a zombie waiting to be reaped."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            state = f.read().rsplit(b")", 1)[1].split()[0]
        return state not in (b"Z", b"X")
    except (FileNotFoundError, IndexError):
        return False


def prepare_dir(path):
    os.makedirs(path, exist_ok=True)
    # Dovecot's processes run as other users and must reach everything below here.
    os.chmod(path, 0o755)
    for sub in ("run", "state", "mail"):
        os.makedirs(os.path.join(path, sub), exist_ok=True)
        os.chmod(os.path.join(path, sub), 0o755)
    passwd = os.path.join(path, "passwd")
    if not os.path.exists(passwd):
        open(passwd, "w").close()
    os.chmod(passwd, 0o644)


def check_parents_searchable(path):
    """Every parent must be searchable by the mail user, or Dovecot cannot open the Maildir."""
    p = os.path.abspath(path)
    while True:
        mode = os.stat(p).st_mode
        if not mode & 0o001:
            raise SystemExit(f"dovecot.py: {p} is not searchable by others (mode {oct(mode & 0o777)})")
        if p == "/":
            return
        p = os.path.dirname(p)


def start(path=None, port=None):
    """Start Dovecot; returns (port, pid, dir). Raises SystemExit when it does not come up."""
    if os.geteuid() != 0:
        raise SystemExit("dovecot.py: must run as root")
    if path is None:
        path = tempfile.mkdtemp(prefix="pbd.", dir="/tmp")
    path = os.path.abspath(path)
    prepare_dir(path)
    check_parents_searchable(path)
    attempts = 1 if port else 5
    last_error = ""
    for _ in range(attempts):
        use_port = port or free_port()
        conf = os.path.join(path, "dovecot.conf")
        with open(conf, "w") as f:
            f.write(CONFIG.format(dir=path, port=use_port))
        log = open(os.path.join(path, "dovecot.stdout"), "ab")
        # All three streams redirected: a caller's $(...) would otherwise wait for Dovecot.
        proc = subprocess.Popen(["dovecot", "-F", "-c", conf], stdin=subprocess.DEVNULL,
                                stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        log.close()
        deadline = time.monotonic() + START_TIMEOUT
        while time.monotonic() < deadline:
            if proc.poll() is not None:
                break
            line = greeting(use_port, timeout=0.5)
            if line is not None and line.startswith("+OK"):
                with open(os.path.join(path, "pid"), "w") as f:
                    f.write(f"{proc.pid}\n")
                return use_port, proc.pid, path
            time.sleep(0.1)
        if proc.poll() is None:
            stop_pid(proc.pid)
        last_error = tail(os.path.join(path, "dovecot.stdout")) + tail(os.path.join(path, "dovecot.log"))
    raise SystemExit(f"dovecot.py: Dovecot did not answer +OK in {path}\n{last_error}")


def tail(path, lines=20):
    try:
        with open(path, "rb") as f:
            return b"".join(f.readlines()[-lines:]).decode("utf-8", "replace")
    except OSError:
        return ""


def stop_pid(pid):
    """SIGTERM, then wait (Dovecot takes about a second); SIGKILL if it does not end."""
    try:
        os.kill(pid, signal.SIGTERM)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + STOP_TIMEOUT
    while time.monotonic() < deadline:
        try:
            # Reaps it when it is our own child; otherwise fails and we poll /proc.
            if os.waitpid(pid, os.WNOHANG)[0] == pid:
                return
        except ChildProcessError:
            pass
        if not process_alive(pid):
            return
        time.sleep(0.05)
    try:
        os.killpg(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


def stop(path):
    pidfile = os.path.join(path, "pid")
    try:
        with open(pidfile) as f:
            pid = int(f.read().strip())
    except (OSError, ValueError):
        return
    stop_pid(pid)
    os.unlink(pidfile)


def add_user(path, user, password, nologin=None):
    """Add a mail user with an empty Maildir; returns the Maildir's path."""
    if any(c in user + password for c in ":\n") or (nologin and any(c in nologin for c in ": \t\n")):
        raise ValueError("user and password must not hold ':' or a line feed, the reason no blank")
    home = os.path.join(path, "mail", user)
    if os.path.exists(home):
        raise FileExistsError(f"mail user {user} exists already in {path}")
    make_maildir(home)
    extra = f"nologin reason={nologin}" if nologin else ""
    line = f"{user}:{{PLAIN}}{password}:{MAIL_UID}:{MAIL_GID}::{home}::{extra}\n"
    with open(os.path.join(path, "passwd"), "a") as f:
        fcntl.flock(f, fcntl.LOCK_EX)
        f.write(line)
    wait_until_known(path, user, password, nologin)
    return home


def configured_port(path):
    """The POP3 port in DIR's config, or None."""
    try:
        with open(os.path.join(path, "dovecot.conf")) as f:
            for line in f:
                name, _, value = line.strip().partition(" = ")
                if name == "port":
                    return int(value)
    except (OSError, ValueError):
        pass
    return None


def login_reply(port, user, password):
    """The server's last reply to USER and PASS, or None when nothing answers."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=2.0) as s:
            f = s.makefile("rwb")
            f.readline()
            f.write(f"USER {user}\r\n".encode())
            f.flush()
            reply = f.readline()
            if reply.startswith(b"+OK"):
                f.write(f"PASS {password}\r\n".encode())
                f.flush()
                reply = f.readline()
            f.write(b"QUIT\r\n")
            f.flush()
            f.readline()
            return reply.decode("latin-1").rstrip("\r\n")
    except OSError:
        return None


def wait_until_known(path, user, password, nologin):
    """Dovecot sees a changed passwd-file by its time stamp, which need not move within one
    second of its last look: wait until the new user logs in, or is refused for its reason."""
    port = configured_port(path)
    if port is None or greeting(port) is None:
        return  # no server running yet: it reads the file when it starts
    deadline = time.monotonic() + USER_READY_TIMEOUT
    while time.monotonic() < deadline:
        reply = login_reply(port, user, password) or ""
        if reply.endswith(" " + nologin) if nologin else reply.startswith("+OK"):
            return
        time.sleep(0.2)
    raise SystemExit(f"dovecot.py: Dovecot did not take up the new user {user}")


def make_maildir(home):
    for sub in ("", "cur", "new", "tmp"):
        d = os.path.join(home, sub)
        os.makedirs(d, exist_ok=True)
        os.chown(d, MAIL_UID, MAIL_GID)
        os.chmod(d, 0o700)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="cmd", required=True)
    p = sub.add_parser("start")
    p.add_argument("--port", type=int)
    p.add_argument("--dir")
    p = sub.add_parser("stop")
    p.add_argument("dir")
    p = sub.add_parser("adduser")
    p.add_argument("dir")
    p.add_argument("user")
    p.add_argument("password")
    p.add_argument("--nologin", metavar="REASON", help="refuse the login with this one-word reason")
    args = ap.parse_args()
    if args.cmd == "start":
        port, pid, path = start(args.dir, args.port)
        print(f"DOVECOT_PORT={port}\nDOVECOT_PID={pid}\nDOVECOT_DIR={path}")
    elif args.cmd == "stop":
        stop(args.dir)
    else:
        print(add_user(args.dir, args.user, args.password, args.nologin))


if __name__ == "__main__":
    sys.exit(main())
