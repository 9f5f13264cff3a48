#!/usr/bin/env python3
"""A throw-away Dovecot 2.3 POP3 server on 127.0.0.1 for tests and benchmarks.

    dovecot.py start [--port N] [--dir DIR] [--tls CERTDIR]
                                              prints PORT, PID and DIR as shell assignments
                                              (and TLS_PORT with --tls)
    dovecot.py certs CERTDIR                  makes a throw-away CA and server certificates
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

With --tls CERTDIR (made by `certs`) the server also offers STLS on PORT and implicit TLS
on TLS_PORT, and shows a different certificate on each loopback address it listens on
(see TLS_ADDRESSES): a check against 127.0.0.1 or localhost with --cafile CERTDIR/ca.crt
verifies, the other addresses each fail verification for their own reason.

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

# The loopback address each server certificate is shown on, by certificate name.
TLS_ADDRESSES = {
    "127.0.0.1": "valid",       # signed by CERTDIR/ca.crt for localhost and 127.0.0.1
    "127.0.0.2": "expired",     # the same, but expired yesterday
    "127.0.0.3": "wrongname",   # signed by the CA for another name
    "127.0.0.4": "selfsigned",  # for localhost and 127.0.0.4, signed by itself
}
TLS_NAMES = {
    "valid": "DNS:localhost,IP:127.0.0.1",
    "expired": "DNS:localhost,IP:127.0.0.2",
    "wrongname": "DNS:other.invalid",
    "selfsigned": "DNS:localhost,IP:127.0.0.4",
    "selfsigned2": "DNS:localhost,IP:127.0.0.4",  # served by no Dovecot: another one for the same host
}

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
    address = {addresses}
    port = {port}
  }}
{tls_listener}}}
{tls_settings}"""

TLS_LISTENER = """\
  inet_listener pop3s {{
    address = {addresses}
    port = {tls_port}
    ssl = yes
  }}
"""

TLS_SETTINGS = """\
ssl_cert = <{certs}/valid.crt
ssl_key = <{certs}/valid.key
ssl_dh = </usr/share/dovecot/dh.pem
"""

TLS_LOCAL = """\
local {address} {{
  ssl_cert = <{certs}/{name}.crt
  ssl_key = <{certs}/{name}.key
}}
"""


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdin=subprocess.DEVNULL, capture_output=True)


def make_certificates(certs):
    """A throw-away CA and the four server certificates of TLS_ADDRESSES, in certs."""
    os.makedirs(certs, exist_ok=True)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes"]
    ca = os.path.join(certs, "ca")
    openssl("req", "-x509", *key, "-keyout", ca + ".key", "-out", ca + ".crt", "-days", "2",
            "-subj", "/CN=Postbell Test CA")
    for name, alt in TLS_NAMES.items():
        base = os.path.join(certs, name)
        subject = ["-subj", f"/CN={alt.split(',')[0][4:]}/O=Postbell test {name}", "-addext",
                   "subjectAltName=" + alt]
        if name.startswith("selfsigned"):
            openssl("req", "-x509", *key, "-keyout", base + ".key", "-out", base + ".crt",
                    "-days", "2", *subject)
            continue
        openssl("req", "-new", *key, "-keyout", base + ".key", "-out", base + ".csr", *subject)
        openssl("x509", "-req", "-in", base + ".csr", "-CA", ca + ".crt", "-CAkey", ca + ".key",
                "-days", "-1" if name == "expired" else "2", "-copy_extensions", "copy",
                "-out", base + ".crt")
    for name in os.listdir(certs):
        os.chmod(os.path.join(certs, name), 0o644)  # Dovecot reads them as root, tests as anyone


def write_config(conf, path, port, tls_port, certs, listen=()):
    addresses = " ".join(("127.0.0.1",) + tuple(listen))
    extra = {"tls_listener": "", "tls_settings": ""}
    if certs:
        addresses = " ".join(tuple(TLS_ADDRESSES) + tuple(listen))
        extra["tls_listener"] = TLS_LISTENER.format(addresses=addresses, tls_port=tls_port)
        extra["tls_settings"] = TLS_SETTINGS.format(certs=certs) + "".join(
            TLS_LOCAL.format(address=a, name=n, certs=certs) for a, n in TLS_ADDRESSES.items()
            if n != "valid")
    text = CONFIG.format(dir=path, port=port, addresses=addresses, **extra)
    if certs:
        text = text.replace("ssl = no", "ssl = yes")
    with open(conf, "w") as f:
        f.write(text)


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


def start(path=None, port=None, certs=None, listen=()):
    """Start Dovecot; returns (port, pid, dir), and TLS_PORT as the file DIR/tls_port with
    certs. listen: addresses to serve on besides loopback's (they must exist already).
    Raises SystemExit when it does not come up."""
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
        tls_port = free_port() if certs else None
        write_config(conf, path, use_port, tls_port, certs and os.path.abspath(certs), listen)
        if tls_port:
            with open(os.path.join(path, "tls_port"), "w") as f:
                f.write(f"{tls_port}\n")
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


def tls_port(path):
    with open(os.path.join(path, "tls_port")) as f:
        return int(f.read())


def fingerprint(certs, name):
    """The SHA-256 fingerprint of certs/name.crt as openssl prints it (AA:BB:...)."""
    out = subprocess.run(["openssl", "x509", "-in", os.path.join(certs, name + ".crt"), "-noout", "-fingerprint",
                          "-sha256"], capture_output=True, text=True, check=True).stdout
    return out.strip().split("=", 1)[1]


def log_lines(path):
    with open(os.path.join(path, "dovecot.log"), "rb") as f:
        return f.read().splitlines()


def ended_sessions(path, marker, before=0, wait=10):
    """The log lines after line `before` of the sessions that ended and whose line holds marker
    (b"pop3(USER)", b"lip=ADDRESS,"), waiting up to `wait` seconds for the first; [] if none."""
    deadline = time.monotonic() + wait
    while True:
        ended = [line for line in log_lines(path)[before:] if b"Disconnected" in line and marker in line]
        if ended or time.monotonic() > deadline:
            return ended
        time.sleep(0.05)


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
    p.add_argument("--tls", metavar="CERTDIR", help="offer STLS and implicit TLS with these certificates")
    p = sub.add_parser("certs")
    p.add_argument("dir")
    p = sub.add_parser("stop")
    p.add_argument("dir")
    p = sub.add_parser("adduser")
    p.add_argument("dir")
    p.add_argument("user")
    p.add_argument("password")
    p.add_argument("--nologin", metavar="REASON", help="refuse the login with this one-word reason")
    args = ap.parse_args()
    if args.cmd == "start":
        port, pid, path = start(args.dir, args.port, args.tls)
        print(f"DOVECOT_PORT={port}\nDOVECOT_PID={pid}\nDOVECOT_DIR={path}")
        if args.tls:
            print(f"DOVECOT_TLS_PORT={tls_port(path)}")
    elif args.cmd == "certs":
        make_certificates(args.dir)
    elif args.cmd == "stop":
        stop(args.dir)
    else:
        print(add_user(args.dir, args.user, args.password, args.nologin))


if __name__ == "__main__":
    sys.exit(main())
