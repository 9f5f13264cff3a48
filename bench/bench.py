#!/usr/bin/env python3
"""Postbell's benchmarks against a Dovecot on loopback; prints one table and the goals.

    bench.py POSTBELL-CHECK [--postbell POSTBELL] [--sizes 1000,10000] [--runs 5]
             [--idle-seconds 60] [--starts 3]

Complete checks of generated mailboxes, side by side in one run: postbell-check (the
engine), Python's poplib doing the same commands one at a time (bench/poplib_check.py), and
`fetchmail --check` (USER, PASS, STAT, UIDL, QUIT: it sends no TOP, so it is a floor for the
rest of the dialogue). Each client gets one warm-up run per mailbox (Dovecot builds its index
at the first login); then the clients take turns for RUNS rounds, so that a slow moment of
the machine falls on all of them. The table shows the median wall time, the time per
message, the client process's own CPU time per message and its peak resident memory, as
/usr/bin/time reports them. Dovecot's own time is inside the wall time of all three.

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
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support"))

import dovecot       # noqa: E402
import maildir_gen   # noqa: E402

PASSWORD = "bench"
SMALL_MAILBOX = 10                  # the mailbox of the idle program
RSS_GOAL_BYTES = 40_000_000
CHECK_TIMEOUT = 600


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


def bench_checks(args, port, sizes, home):
    rows = []
    env = dict(os.environ, POSTBELL_PASSWORD=PASSWORD)
    have_fetchmail = shutil.which("fetchmail") is not None
    for size in sizes:
        user = f"bench{size}"
        clients = [
            Client("postbell-check", [args.check, "--timeout", str(CHECK_TIMEOUT), "--port", str(port),
                                      "127.0.0.1", user], env, expect_lines(size)),
            Client("python poplib", [sys.executable, os.path.join(HERE, "poplib_check.py"), str(port), user],
                   env, expect_count(size)),
        ]
        if have_fetchmail:
            clients.append(fetchmail_client(port, user, size, home))
        for client in clients:
            client.run(keep=False)                            # warm-up
        for _ in range(args.runs):
            for client in clients:
                client.run()
        for client in clients:
            rows.append(client.row(size))
            print(f"  {size} messages, {client.name}: {rows[-1][2]:.3f} s", file=sys.stderr, flush=True)
    return rows, have_fetchmail


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


def print_report(args, rows, have_fetchmail, desktop, big):
    print(f"\nPostbell benchmarks: Dovecot {dovecot_version()} on 127.0.0.1, {os.cpu_count()} cores, "
          f"{time.strftime('%Y-%m-%d')}")
    print(f"\nComplete checks, median of {args.runs} runs after one warm-up "
          "(wall time includes Dovecot's work; client CPU is the client process alone)")
    print(f"{'messages':>9}  {'client':<18} {'wall s':>7} {'wall us/msg':>12} "
          f"{'client CPU us/msg':>18} {'peak RSS MB':>12}")
    for size, name, seconds, cpu, rss in rows:
        print(f"{size:>9}  {name:<18} {seconds:>7.3f} {seconds / size * 1e6:>12.1f} "
              f"{cpu / size * 1e6:>18.1f} {mb(rss):>12.1f}")
    if not have_fetchmail:
        print("(fetchmail is not installed: apt-get install fetchmail)")

    goals = []
    per_size = {}
    for size, name, seconds, _, _ in rows:
        per_size.setdefault(size, {})[name] = seconds / size * 1e6
    comparison = [(size, c["postbell-check"], c["python poplib"]) for size, c in sorted(per_size.items())]
    goals.append(("engine at least as fast as poplib per message",
                  "; ".join(f"{size}: {ours:.1f} vs {theirs:.1f} us" for size, ours, theirs in comparison),
                  all(ours <= theirs for _, ours, theirs in comparison)))

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
        print(f"  {verdict(ok):<5} {text}: {figures}")


def dovecot_version():
    try:
        return subprocess.run(["dovecot", "--version"], capture_output=True, text=True).stdout.split()[0]
    except (OSError, IndexError):
        return "?"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("check", help="the postbell-check to measure")
    ap.add_argument("--postbell", help="the postbell program to measure (needs Xvfb, trayer, xdotool)")
    ap.add_argument("--sizes", default="1000,10000")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--idle-seconds", type=int, default=60)
    ap.add_argument("--starts", type=int, default=3)
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    port, _, server_dir = dovecot.start()
    home = tempfile.mkdtemp(prefix="pbbench-home.")
    try:
        add_mailboxes(server_dir, sizes)
        rows, have_fetchmail = bench_checks(args, port, sizes, home)
        desktop, big = bench_desktop(args, port, server_dir, sizes) if args.postbell else ({}, max(sizes))
    finally:
        dovecot.stop(server_dir)
        shutil.rmtree(server_dir, ignore_errors=True)
        shutil.rmtree(home, ignore_errors=True)
    print_report(args, rows, have_fetchmail, desktop, big)


if __name__ == "__main__":
    sys.exit(main())
