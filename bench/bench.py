#!/usr/bin/env python3
"""Postbell's benchmarks against a Dovecot on loopback; prints one table and the goals.

    bench.py POSTBELL-CHECK --pipelined PIPELINED_CHECK [--postbell POSTBELL]
             [--sizes 1000,10000] [--runs 5] [--rtt-runs 1] [--idle-seconds 60] [--starts 3]

Complete checks, side by side in one run, in four row groups:
- Dovecot on loopback, generated mailboxes of each size;
- the smallest of them through a proxy that delays each direction by 10 ms (bench/delay_proxy.py),
  an emulated 20 ms round trip;
- a scripted server of 200 messages that writes each reply in three small writes with Nagle's
  algorithm on (tools/support/pop3_servers.py);
- once postbell-check has --tls and dovecot.py can start with certificates, the smallest
  mailbox over implicit TLS beside plain.
The clients: postbell-check, postbell-check with POSTBELL_PIPELINING=0, Python's poplib doing
the same commands one at a time (bench/poplib_check.py), `fetchmail --check` (USER, PASS,
STAT, UIDL, QUIT: no TOP, so a floor for the rest of the dialogue) and the limit, a minimal
client that sends every TOP ahead in a window (bench/pipelined_check.cpp). Each client gets one
warm-up run per group (Dovecot builds its index at the first login); then the clients take turns
for RUNS rounds, so that a slow moment of the machine falls on all of them. The table shows the
median wall time, the time per message, the ratio to the limit, the client process's own CPU
time per message and its peak resident memory, as /usr/bin/time reports them. The server's own
time is inside every wall time.

With --postbell, also the running program (bench/desktop_bench.sh): the time from the start
to the tray icon, its wake-ups while idle and its resident memory.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True      # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "tools", "support"))

import dovecot       # noqa: E402
import maildir_gen   # noqa: E402
import pop3_servers  # noqa: E402
from delay_proxy import DelayProxy  # noqa: E402

PASSWORD = "bench"
SMALL_MAILBOX = 10                  # the mailbox of the idle program
RSS_GOAL_BYTES = 40_000_000
CHECK_TIMEOUT = 600
RTT_SECONDS = 0.020                 # the emulated round trip of the slow link
NAGLE_MESSAGES = 200
LIMIT = "pipelined client (limit)"
NO_PIPELINING = "postbell-check, no pipelining"
# The row groups
LOOPBACK = "Dovecot, loopback"
SLOW_LINK = "Dovecot, 20 ms round trip"
NAGLE = "Nagle-writing server"
TLS = "Dovecot, TLS vs plain"


def timed(command, env, ok_codes=(0,)):
    """(seconds, peak RSS in KiB, client CPU seconds, stdout) of one run."""
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        result = subprocess.run(["/usr/bin/time", "-f", "%M %U %S", "-o", report.name] + command,
                                env=env, stdin=subprocess.DEVNULL, capture_output=True,
                                timeout=CHECK_TIMEOUT)
        seconds = time.perf_counter() - start
        if result.returncode not in ok_codes:
            raise SystemExit(f"{command[0]} failed ({result.returncode}):\n"
                             f"{result.stdout[:500]!r}\n{result.stderr[-2000:]!r}")
        rss, user, system = report.read().split()[-3:]
    return seconds, int(rss), float(user) + float(system), result.stdout


class Client:
    def __init__(self, name, command, env, check_output, ok_codes=(0,)):
        self.name, self.command, self.env = name, command, env
        self.check_output, self.ok_codes = check_output, ok_codes
        self.samples = []

    def run(self, keep=True):
        sample = timed(self.command, self.env, self.ok_codes)
        self.check_output(sample[3])
        if keep:
            self.samples.append(sample)

    def row(self, size):
        return (size, self.name, statistics.median(s[0] for s in self.samples),
                statistics.median(s[2] for s in self.samples), max(s[1] for s in self.samples))


def expect_lines(size):
    def check(out):
        lines = out.count(b"\n")
        if lines != size + 2:
            raise SystemExit(f"postbell-check printed {lines} lines for {size} messages")
    return check


def expect_count(size):
    def check(out):
        if out.strip() != str(size).encode():
            raise SystemExit(f"poplib_check.py printed {out[:200]!r}, expected {size}")
    return check


def expect_fetchmail(size):
    def check(out):
        if not out.startswith(f"{size} messages for ".encode()):
            raise SystemExit(f"fetchmail printed {out[:300]!r}, expected {size} messages")
    return check


def fetchmail_client(port, user, size, home):
    """fetchmail --check: USER, PASS, STAT, UIDL, QUIT (--uidl skips LAST, --auth password and
    an empty --sslproto skip CAPA and STLS). The password comes from an rc file of mode 0600 in
    a private HOME, which also keeps fetchmail's lock and id files away from the real one."""
    rc = os.path.join(home, ".fetchmailrc")
    with open(os.open(rc, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
        f.write(f'poll 127.0.0.1 user "{user}" password "{PASSWORD}"\n')
    command = ["fetchmail", "--check", "--uidl", "--auth", "password", "--sslproto", "",
               "-p", "POP3", "--port", str(port), "-u", user, "127.0.0.1"]
    env = dict(os.environ, HOME=home)
    # 0: there is mail, 1: there is none.
    return Client("fetchmail --check", command, env, expect_fetchmail(size), ok_codes=(0, 1))


def distinct_digests(check, port, user):
    """How many digests a check of the mailbox saves: unique-ids cut to 70 characters can agree."""
    out = subprocess.run([check, "--port", str(port), "127.0.0.1", user],
                         env=dict(os.environ, POSTBELL_PASSWORD=PASSWORD), capture_output=True,
                         timeout=CHECK_TIMEOUT, check=True).stdout
    return len({line.split(b"\t")[1] for line in out.split(b"\n") if line.count(b"\t") == 3})


def add_mailboxes(server_dir, sizes):
    """Every mailbox before the first login: Dovecot may miss a user added to its passwd-file
    in the same second as its last look at the file."""
    for user, size in [(f"bench{size}", size) for size in sizes] + [("idle", SMALL_MAILBOX)]:
        maildir = dovecot.add_user(server_dir, user, PASSWORD)
        maildir_gen.generate(maildir, size, seed=3, owner=(dovecot.MAIL_UID, dovecot.MAIL_GID))


def check_client(args, name, port, user, size, extra_env=None, options=()):
    env = dict(os.environ, POSTBELL_PASSWORD=PASSWORD, **(extra_env or {}))
    return Client(name, [args.check, "--timeout", str(CHECK_TIMEOUT), *options, "--port", str(port),
                         "127.0.0.1", user], env, expect_lines(size))


def clients_for(args, port, user, size, home, fetchmail=True):
    """The clients of one row group: the engine with and without pipelining, poplib, fetchmail
    (when asked for and installed) and the pipelined client, the limit."""
    env = dict(os.environ, POSTBELL_PASSWORD=PASSWORD)
    clients = [
        check_client(args, "postbell-check", port, user, size),
        check_client(args, NO_PIPELINING, port, user, size, {"POSTBELL_PIPELINING": "0"}),
        Client("python poplib", [sys.executable, os.path.join(HERE, "poplib_check.py"), str(port), user],
               env, expect_count(size)),
    ]
    if fetchmail and shutil.which("fetchmail"):
        clients.append(fetchmail_client(port, user, size, home))
    clients.append(Client(LIMIT, [args.pipelined, str(port), user], env, expect_count(size)))
    return clients


def measure(setting, size, clients, runs, warm_up=True):
    """Rows (setting, size, client, wall s, CPU s, peak RSS KiB), the medians of runs rounds
    taken in turns, so that a slow moment of the machine falls on all clients alike."""
    if warm_up:
        for client in clients:
            client.run(keep=False)
    for _ in range(runs):
        for client in clients:
            client.run()
    rows = []
    for client in clients:
        rows.append((setting,) + client.row(size))
        print(f"  {setting}, {size} messages, {client.name}: {rows[-1][3]:.3f} s", file=sys.stderr, flush=True)
    return rows


def bench_checks(args, port, sizes, home):
    rows = []
    for size in sizes:
        rows += measure(LOOPBACK, size, clients_for(args, port, f"bench{size}", size, home), args.runs)
    size = min(sizes)
    with DelayProxy(port, RTT_SECONDS / 2) as proxy:
        # Over the delay one-at-a-time clients take a round trip per message: one round each.
        rows += measure(SLOW_LINK, size, clients_for(args, proxy.port, f"bench{size}", size, home),
                        args.rtt_runs, warm_up=False)
    with pop3_servers.ScriptedServer(pop3_servers.nagle_pop3(NAGLE_MESSAGES)) as nagle:
        rows += measure(NAGLE, NAGLE_MESSAGES,
                        clients_for(args, nagle.port, "nagle", NAGLE_MESSAGES, home, fetchmail=False), args.runs)
    return rows


def tls_supported(check):
    """True once postbell-check has --tls and dovecot.py can start with certificates."""
    usage = subprocess.run([check], capture_output=True, text=True).stderr
    return "--tls" in usage and hasattr(dovecot, "make_certificates") and hasattr(dovecot, "tls_port")


def bench_tls(args, port, server_dir, certs, size):
    """postbell-check over implicit TLS beside plain, on the same mailbox."""
    user = f"bench{size}"
    clients = [check_client(args, "postbell-check", port, user, size),
               check_client(args, "postbell-check --tls", dovecot.tls_port(server_dir), user, size,
                            options=("--tls", "--cafile", os.path.join(certs, "ca.crt")))]
    return measure(TLS, size, clients, args.runs)


def bench_desktop(args, port, server_dir, sizes):
    """Runs desktop_bench.sh; returns its KEY=VALUE lines as a dict (lists for repeated keys)."""
    big = max(sizes)
    big_user = f"bench{big}"
    big_maildir = os.path.join(server_dir, "mail", big_user)
    command = ["bash", os.path.join(HERE, "desktop_bench.sh"), args.postbell, str(port), PASSWORD,
               "idle", str(distinct_digests(args.check, port, "idle")),
               big_user, str(distinct_digests(args.check, port, big_user)), big_maildir,
               str(args.idle_seconds), str(args.starts)]
    print("the running program:", file=sys.stderr, flush=True)
    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True,
                            timeout=args.idle_seconds + 900)
    if result.returncode != 0:
        raise SystemExit(f"desktop_bench.sh failed ({result.returncode})")
    figures = {}
    for line in result.stdout.splitlines():
        key, _, value = line.partition("=")
        figures.setdefault(key, []).append(value)
    return figures, big


def mb(kib):
    return kib * 1024 / 1e6


def verdict(ok):
    return "pass" if ok else "MISS"


def ratio_to(rows, setting, size, name, other):
    """(ratio, seconds, other's seconds) of two clients' wall times in one row group, or None."""
    walls = {r[2]: r[3] for r in rows if r[0] == setting and r[1] == size}
    if name not in walls or other not in walls:
        return None
    return walls[name] / walls[other], walls[name], walls[other]


def print_checks(args, rows):
    print(f"\nComplete checks: median wall time of {args.runs} runs after one warm-up ({args.rtt_runs} "
          "without warm-up over the slow link); x limit is the wall time over the pipelined client's in "
          "the same group; client CPU is the client process alone; wall time includes the server's work")
    print(f"{'setting':<26} {'messages':>8}  {'client':<32} {'wall s':>7} {'us/msg':>8} {'x limit':>8} "
          f"{'CPU us/msg':>10} {'peak RSS MB':>11}")
    for setting, size, name, seconds, cpu, rss in rows:
        limit = ratio_to(rows, setting, size, name, LIMIT)
        print(f"{setting:<26} {size:>8}  {name:<32} {seconds:>7.3f} {seconds / size * 1e6:>8.1f} "
              f"{(f'{limit[0]:.2f}' if limit else '-'):>8} {cpu / size * 1e6:>10.1f} {mb(rss):>11.1f}")
    if not shutil.which("fetchmail"):
        print("(fetchmail is not installed: apt-get install fetchmail)")


def check_goals(rows, sizes):
    big, small = max(sizes), min(sizes)
    goals = []
    limit = ratio_to(rows, LOOPBACK, big, "postbell-check", LIMIT)
    if limit:
        goals.append((f"Dovecot {big:,} messages at most 1.3x the pipelined client",
                      f"{limit[0]:.2f}x ({limit[1]:.3f} s vs {limit[2]:.3f} s)", limit[0] <= 1.3))
    walls = {(r[0], r[1], r[2]): r for r in rows}
    slow = walls.get((SLOW_LINK, small, "postbell-check"))
    if slow:
        goals.append((f"{small:,} messages over a 20 ms round trip under 2 s", f"{slow[3]:.2f} s", slow[3] < 2))
    for name in ("postbell-check", NO_PIPELINING):
        nagle = walls.get((NAGLE, NAGLE_MESSAGES, name))
        if nagle:
            goals.append((f"the Nagle-writing server, {NAGLE_MESSAGES} messages, {name}, under 0.2 s",
                          f"{nagle[3]:.3f} s", nagle[3] < 0.2))
    rss = walls.get((LOOPBACK, big, "postbell-check"))
    if rss:
        goals.append((f"peak RSS of postbell-check for {big:,} messages under 8 MB", f"{mb(rss[5]):.1f} MB",
                      rss[5] * 1024 < 8_000_000))
    tls = ratio_to(rows, TLS, small, "postbell-check --tls", "postbell-check")
    if tls:
        goals.append((f"TLS at most 1.3x plain for {small:,} messages",
                      f"{tls[0]:.2f}x ({tls[1]:.3f} s vs {tls[2]:.3f} s)", tls[0] <= 1.3))
    else:
        goals.append(("TLS at most 1.3x plain", "not measured: no --tls in postbell-check or no TLS Dovecot", None))
    per_message = [(size, ratio_to(rows, LOOPBACK, size, "postbell-check", "python poplib")) for size in sizes]
    per_message = [(size, r) for size, r in per_message if r]
    if per_message:
        goals.append(("engine at least as fast as poplib per message",
                      "; ".join(f"{size}: {r[1] / size * 1e6:.1f} vs {r[2] / size * 1e6:.1f} us"
                                for size, r in per_message),
                      all(r[0] <= 1 for _, r in per_message)))
    return goals


def print_report(args, rows, desktop, big):
    print(f"\nPostbell benchmarks: Dovecot {dovecot_version()} on 127.0.0.1, {os.cpu_count()} cores, "
          f"{time.strftime('%Y-%m-%d')}")
    print_checks(args, rows)
    goals = check_goals(rows, sorted({r[1] for r in rows if r[0] == LOOPBACK}))

    if desktop:
        first = lambda key: int(desktop[key][0])  # noqa: E731
        icon = statistics.median(int(v) for v in desktop["icon_ms"])
        per_minute = first("idle_switches") * 60 / first("idle_seconds")
        threads = ", ".join(v.replace(":", " ") for v in desktop.get("idle_thread", []))
        print(f"\nThe running program (postbell on Xvfb with trayer, check interval 5 minutes)")
        print(f"  start to tray icon shown, median of {len(desktop['icon_ms'])} starts: {icon / 1000:.2f} s "
              f"({', '.join(v + ' ms' for v in desktop['icon_ms'])})")
        print(f"  wake-ups while idle: {per_minute:.1f} per minute ({first('idle_switches')} voluntary "
              f"context switches in {first('idle_seconds')} s, all threads: {threads})")
        print(f"  resident memory after start and a first check of {SMALL_MAILBOX} messages: "
              f"{mb(first('start_rss_kb')):.1f} MB (of it anonymous {mb(first('start_anon_kb')):.1f} MB)")
        print(f"  resident memory after a check of {big:,} messages: {mb(first('big_rss_kb')):.1f} MB "
              f"(anonymous {mb(first('big_anon_kb')):.1f} MB; start to check done "
              f"{first('big_check_ms') / 1000:.2f} s)")
        print(f"  resident memory after a second check ({big + 1:,} messages): {mb(first('big2_rss_kb')):.1f} MB "
              f"(anonymous {mb(first('big2_anon_kb')):.1f} MB)")
        goals.append(("no wake-ups while idle beyond the check timer",
                      f"{first('idle_switches')} in {first('idle_seconds')} s with no timer due",
                      first("idle_switches") == 0))
        goals.append((f"resident memory under 40 MB after a check of {big:,} messages",
                      f"{mb(first('big_rss_kb')):.1f} MB", first("big_rss_kb") * 1024 < RSS_GOAL_BYTES))

    print("\nGoals")
    for text, figures, ok in goals:
        print(f"  {'skip' if ok is None else verdict(ok):<5} {text}: {figures}")


def dovecot_version():
    try:
        return subprocess.run(["dovecot", "--version"], capture_output=True, text=True).stdout.split()[0]
    except (OSError, IndexError):
        return "?"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("check", help="the postbell-check to measure")
    ap.add_argument("--pipelined", required=True, help="the pipelined client (bench/pipelined_check.cpp)")
    ap.add_argument("--postbell", help="the postbell program to measure (needs Xvfb, trayer, xdotool)")
    ap.add_argument("--sizes", default="1000,10000")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--rtt-runs", type=int, default=1)
    ap.add_argument("--idle-seconds", type=int, default=60)
    ap.add_argument("--starts", type=int, default=3)
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    home = tempfile.mkdtemp(prefix="pbbench-home.")
    certs = os.path.join(home, "certs") if tls_supported(args.check) else None
    if certs:
        dovecot.make_certificates(certs)
    port, _, server_dir = dovecot.start(certs=certs) if certs else dovecot.start()
    try:
        add_mailboxes(server_dir, sizes)
        rows = bench_checks(args, port, sizes, home)
        if certs:
            rows += bench_tls(args, port, server_dir, certs, min(sizes))
        desktop, big = bench_desktop(args, port, server_dir, sizes) if args.postbell else ({}, max(sizes))
    finally:
        dovecot.stop(server_dir)
        shutil.rmtree(server_dir, ignore_errors=True)
        shutil.rmtree(home, ignore_errors=True)
    print_report(args, rows, desktop, big)


if __name__ == "__main__":
    sys.exit(main())
