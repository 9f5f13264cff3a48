#!/usr/bin/env python3
"""Postbell's benchmarks against a Dovecot of their own; prints one table and the goals.

    bench.py POSTBELL-CHECK --pipelined PIPELINED_CHECK [--postbell POSTBELL --tray MINIMAL_TRAY]
             [--sizes 1000,10000,50000,100000] [--runs 5] [--links 20,100,20/1,100/1]
             [--link-size 10000] [--rtt-runs 1] [--idle-seconds 60] [--starts 3]

Complete checks, side by side in one run, in these row groups:
- Dovecot on loopback, generated mailboxes of each size;
- Dovecot at the far end of a relayed link (bench/link_relay.py): every IP packet between a
  network namespace of the clients' and this one is held for half the round trip in each
  direction, and a share of them is dropped. First 1,000 messages over 20 ms with every client,
  then LINK-SIZE messages over each of --links (round trip in ms, /loss in per cent) with the
  clients that send ahead (the others would take a round trip per message: 1,000 s at 100 ms);
- a scripted server of 200 messages that writes each reply in three small writes with Nagle's
  algorithm on (tools/support/pop3_servers.py);
- once postbell-check has --tls and dovecot.py can start with certificates, 1,000 messages
  over implicit TLS beside plain.
The clients: postbell-check, postbell-check with POSTBELL_PIPELINING=0, Python's poplib doing
the same commands one at a time (bench/poplib_check.py), `fetchmail --check` (USER, PASS,
STAT, UIDL, QUIT: no TOP, so a floor for the rest of the dialogue) and two limits, a minimal
client (bench/pipelined_check.cpp) that sends the TOP commands in a window of 64, or all at once
from a second thread. The one-at-a-time clients run on mailboxes of up to 10,000 messages.
Each client gets one warm-up run per group (Dovecot builds its index at the first login; none
over the relayed links); then the clients take turns for RUNS rounds (at most 3 above 10,000
messages), so that a slow moment of the machine falls on all of them. The table shows the median
wall time, the time per message, the ratio to each limit, the client process's own CPU time per
message, its peak resident memory, as /usr/bin/time reports them, and that peak less the
client's peak for an empty mailbox, per message. The server's own time is inside every wall time.

With --postbell, also the running program (bench/desktop_bench.sh): the time from the start
to the tray icon beside a minimal Qt tray program's, its wake-ups while idle and its resident
memory.
"""

import argparse
import contextlib
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True      # no __pycache__ in the source tree
sys.path.insert(0, os.path.join(HERE, "..", "tools", "support"))

import dovecot       # noqa: E402
import maildir_gen   # noqa: E402
import pop3_servers  # noqa: E402
from link_relay import LinkRelay  # noqa: E402

PASSWORD = "bench"
SMALL_MAILBOX = 10                  # the mailbox of the idle program
DESKTOP_MAILBOX = 10_000            # the mailbox of the running program's memory figures
ONE_AT_A_TIME_MAX = 10_000          # larger mailboxes: only the clients that send ahead
BIG_RUNS = 3                        # rounds for the larger mailboxes
RSS_GOAL_BYTES = 40_000_000
CHECK_TIMEOUT = 600
SLOW_SIZE, SLOW_RTT_MS = 1000, 20   # the relayed group with every client
NAGLE_MESSAGES = 200
CHECK = "postbell-check"
NO_PIPELINING = "postbell-check, no pipelining"
POPLIB = "python poplib"
FETCHMAIL = "fetchmail --check"
LIMIT = "pipelined client (limit)"
ALL_AT_ONCE = "all-at-once client (limit)"
# The row groups
LOOPBACK = "Dovecot, loopback"
NAGLE = "Nagle-writing server"
TLS = "Dovecot, TLS vs plain"


def link_name(rtt_ms, loss_percent):
    return f"relay, {rtt_ms:g} ms round trip" + (f", {loss_percent:g} % loss" if loss_percent else "")


def timed(command, env, ok_codes=(0,), prefix=()):
    """(seconds, peak RSS in KiB, client CPU seconds, stdout) of one run. /usr/bin/time, run
    after prefix (a namespace, say), reports the client's peak RSS: a child started from Python
    directly would count Python's pages. The CPU time comes from the kernel's account of the
    whole command, finer than the hundredths /usr/bin/time prints."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err, \
            tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        proc = subprocess.Popen(list(prefix) + ["/usr/bin/time", "-f", "%M", "-o", report.name] + command,
                                env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err, start_new_session=True)
        watchdog = threading.Timer(CHECK_TIMEOUT, os.killpg, (proc.pid, signal.SIGKILL))
        watchdog.start()
        _, status, usage = os.wait4(proc.pid, 0)
        seconds = time.perf_counter() - start
        watchdog.cancel()
        proc.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        stdout = out.read()
        if proc.returncode not in ok_codes:
            raise SystemExit(f"{command[0]} failed ({proc.returncode}):\n{stdout[:500]!r}\n{err.read()[-2000:]!r}")
        rss = report.read().split()[-1]
    return seconds, int(rss), usage.ru_utime + usage.ru_stime, stdout


class Client:
    def __init__(self, name, command, env, check_output, ok_codes=(0,), prefix=()):
        self.name, self.command, self.env = name, command, env
        self.check_output, self.ok_codes, self.prefix = check_output, ok_codes, prefix
        self.samples = []
        self.text_bytes = None      # From and Subject bytes per message, where the client prints them

    def run(self, keep=True):
        sample = timed(self.command, self.env, self.ok_codes, self.prefix)
        self.text_bytes = self.check_output(sample[3])
        if keep:
            self.samples.append(sample)

    def row(self, size):
        return (size, self.name, statistics.median(s[0] for s in self.samples),
                statistics.median(s[2] for s in self.samples), max(s[1] for s in self.samples))


def expect_lines(size):
    """postbell-check's output: its status, a line per message, the new-mail line; returns the
    bytes of From and Subject per message as printed."""
    def check(out):
        lines = out.split(b"\n")[1:-2]
        if len(lines) != size:
            raise SystemExit(f"postbell-check printed {len(lines) + 2} lines for {size} messages")
        return sum(len(f) for line in lines for f in line.split(b"\t")[2:]) / max(size, 1)
    return check


def expect_count(size):
    def check(out):
        if out.strip() != str(size).encode():
            raise SystemExit(f"the client printed {out[:200]!r}, expected {size}")
    return check


def expect_fetchmail(size):
    def check(out):
        if size and not out.startswith(f"{size} messages for ".encode()):
            raise SystemExit(f"fetchmail printed {out[:300]!r}, expected {size} messages")
    return check


def fetchmail_client(host, port, user, size, home, prefix):
    """fetchmail --check: USER, PASS, STAT, UIDL, QUIT (--uidl skips LAST, --auth password and
    an empty --sslproto skip CAPA and STLS). The password comes from an rc file of mode 0600 in
    a private HOME, which also keeps fetchmail's lock and id files away from the real one."""
    rc = os.path.join(home, ".fetchmailrc")
    with open(os.open(rc, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600), "w") as f:
        f.write(f'poll {host} user "{user}" password "{PASSWORD}"\n')
    command = ["fetchmail", "--check", "--uidl", "--auth", "password", "--sslproto", "",
               "-p", "POP3", "--port", str(port), "-u", user, host]
    env = dict(os.environ, HOME=home)
    # 0: there is mail, 1: there is none.
    return Client(FETCHMAIL, command, env, expect_fetchmail(size), ok_codes=(0, 1), prefix=prefix)


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
        print(f"  a mailbox of {size} messages", file=sys.stderr, flush=True)
        maildir = dovecot.add_user(server_dir, user, PASSWORD)
        maildir_gen.generate(maildir, size, seed=3, owner=(dovecot.MAIL_UID, dovecot.MAIL_GID))


def check_client(args, name, host, port, user, size, extra_env=None, options=(), prefix=()):
    env = dict(os.environ, POSTBELL_PASSWORD=PASSWORD, **(extra_env or {}))
    return Client(name, [args.check, "--timeout", str(CHECK_TIMEOUT), *options, "--port", str(port),
                         host, user], env, expect_lines(size), prefix=prefix)


def clients_for(args, host, port, user, size, home, one_at_a_time=True, fetchmail=True, prefix=()):
    """The clients of one row group: the engine with and without pipelining, poplib, fetchmail
    (when asked for and installed) and the two limits."""
    env = dict(os.environ, POSTBELL_PASSWORD=PASSWORD)
    clients = [check_client(args, CHECK, host, port, user, size, prefix=prefix)]
    if one_at_a_time:
        clients += [
            check_client(args, NO_PIPELINING, host, port, user, size, {"POSTBELL_PIPELINING": "0"}, prefix=prefix),
            Client(POPLIB, [sys.executable, os.path.join(HERE, "poplib_check.py"), str(port), user, host],
                   env, expect_count(size), prefix=prefix),
        ]
    if fetchmail and shutil.which("fetchmail"):
        clients.append(fetchmail_client(host, port, user, size, home, prefix))
    clients += [Client(LIMIT, [args.pipelined, str(port), user, host], env, expect_count(size), prefix=prefix),
                Client(ALL_AT_ONCE, [args.pipelined, "--all-at-once", str(port), user, host], env,
                       expect_count(size), prefix=prefix)]
    return clients


def measure(setting, size, clients, runs, warm_up=True):
    """Rows (setting, size, client, wall s, CPU s, peak RSS KiB, From and Subject bytes per
    message), the medians of runs rounds taken in turns, so that a slow moment of the machine
    falls on all clients alike."""
    if warm_up:
        for client in clients:
            client.run(keep=False)
    for _ in range(runs):
        for client in clients:
            client.run()
    rows = []
    for client in clients:
        rows.append((setting,) + client.row(size) + (client.text_bytes,))
        print(f"  {setting}, {size} messages, {client.name}: {rows[-1][3]:.3f} s", file=sys.stderr, flush=True)
    return rows


def empty_mailbox_rss(args, port, home):
    """Each loopback client's peak RSS in KiB for an empty mailbox: what it holds before any message."""
    clients = clients_for(args, "127.0.0.1", port, "bench0", 0, home)
    for client in clients:
        client.run()
    return {client.name: client.samples[0][1] for client in clients}


def parse_links(text):
    """"20,100,20/1" -> [(20.0, 0.0), (100.0, 0.0), (20.0, 1.0)]: round trip ms / loss per cent."""
    links = []
    for item in filter(None, text.split(",")):
        rtt, _, loss = item.partition("/")
        links.append((float(rtt), float(loss or 0)))
    return links


def bench_links(args, link, port, home):
    """The relayed groups: every client over the slow link, then the clients that send ahead."""
    host, prefix = link.SERVER_ADDRESS, link.in_client([])
    rows = []
    link.set(SLOW_RTT_MS / 2000)
    # Over the delay one-at-a-time clients take a round trip per message: one round each.
    rows += measure(link_name(SLOW_RTT_MS, 0), SLOW_SIZE,
                    clients_for(args, host, port, f"bench{SLOW_SIZE}", SLOW_SIZE, home, prefix=prefix),
                    args.rtt_runs, warm_up=False)
    for rtt_ms, loss in parse_links(args.links):
        link.set(rtt_ms / 2000, loss / 100, seed=int(rtt_ms))
        rows += measure(link_name(rtt_ms, loss), args.link_size,
                        clients_for(args, host, port, f"bench{args.link_size}", args.link_size, home,
                                    one_at_a_time=False, prefix=prefix),
                        args.rtt_runs, warm_up=False)
    return rows


def bench_checks(args, port, sizes, home, link):
    rows = []
    for size in sizes:
        rows += measure(LOOPBACK, size, clients_for(args, "127.0.0.1", port, f"bench{size}", size, home,
                                                     one_at_a_time=size <= ONE_AT_A_TIME_MAX),
                        args.runs if size <= ONE_AT_A_TIME_MAX else min(args.runs, BIG_RUNS))
    if link:
        rows += bench_links(args, link, port, home)
    with pop3_servers.ScriptedServer(pop3_servers.nagle_pop3(NAGLE_MESSAGES)) as nagle:
        rows += measure(NAGLE, NAGLE_MESSAGES,
                        clients_for(args, "127.0.0.1", nagle.port, "nagle", NAGLE_MESSAGES, home, fetchmail=False),
                        args.runs)
    return rows


def tls_supported(check):
    """True once postbell-check has --tls and dovecot.py can start with certificates."""
    usage = subprocess.run([check], capture_output=True, text=True).stderr
    return "--tls" in usage and hasattr(dovecot, "make_certificates") and hasattr(dovecot, "tls_port")


def tls_size(sizes):
    return SLOW_SIZE if SLOW_SIZE in sizes else min(sizes)


def bench_tls(args, port, server_dir, certs, size):
    """postbell-check over implicit TLS beside plain, on the same mailbox."""
    user = f"bench{size}"
    clients = [check_client(args, CHECK, "127.0.0.1", port, user, size),
               check_client(args, "postbell-check --tls", "127.0.0.1", dovecot.tls_port(server_dir), user, size,
                            options=("--tls", "--cafile", os.path.join(certs, "ca.crt")))]
    return measure(TLS, size, clients, args.runs)


def bench_desktop(args, port, server_dir, sizes):
    """Runs desktop_bench.sh; returns its KEY=VALUE lines as a dict (lists for repeated keys)."""
    big = DESKTOP_MAILBOX if DESKTOP_MAILBOX in sizes else max(sizes)
    big_user = f"bench{big}"
    big_maildir = os.path.join(server_dir, "mail", big_user)
    command = ["bash", os.path.join(HERE, "desktop_bench.sh"), args.postbell, str(port), PASSWORD,
               "idle", str(distinct_digests(args.check, port, "idle")),
               big_user, str(distinct_digests(args.check, port, big_user)), big_maildir,
               str(args.idle_seconds), str(args.starts), args.tray or ""]
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


def walls_of(rows, setting, size):
    return {r[2]: r for r in rows if r[0] == setting and r[1] == size}


def ratio_to(rows, setting, size, name, other):
    """(ratio, seconds, other's seconds) of two clients' wall times in one row group, or None."""
    walls = walls_of(rows, setting, size)
    if name not in walls or other not in walls:
        return None
    return walls[name][3] / walls[other][3], walls[name][3], walls[other][3]


def faster_limit(rows, setting, size):
    """The name of the faster of the two limits in a row group, or None."""
    walls = walls_of(rows, setting, size)
    limits = [name for name in (LIMIT, ALL_AT_ONCE) if name in walls]
    return min(limits, key=lambda name: walls[name][3]) if limits else None


def rss_per_message(row, empty):
    """Bytes of peak RSS per message above the client's peak for an empty mailbox, or None."""
    setting, size, name, rss = row[0], row[1], row[2], row[5]
    if setting != LOOPBACK or name not in empty or not size:
        return None
    return (rss - empty[name]) * 1024 / size


def print_checks(args, rows, empty):
    print(f"\nComplete checks: median wall time of {args.runs} runs after one warm-up ({min(args.runs, BIG_RUNS)} "
          f"above {ONE_AT_A_TIME_MAX:,} messages; {args.rtt_runs} without warm-up over the relayed links); "
          "x limit and x all are the wall time over the windowed and the all-at-once client's in the same "
          "group; client CPU is the client process alone; RSS B/msg is the peak above the client's peak for "
          "an empty mailbox, per message; wall time includes the server's work")
    print(f"{'setting':<34} {'messages':>8}  {'client':<30} {'wall s':>7} {'us/msg':>8} {'x limit':>7} "
          f"{'x all':>6} {'CPU us/msg':>10} {'peak RSS MB':>11} {'RSS B/msg':>9}")
    for row in rows:
        setting, size, name, seconds, cpu, rss, _ = row
        limit = ratio_to(rows, setting, size, name, LIMIT)
        at_once = ratio_to(rows, setting, size, name, ALL_AT_ONCE)
        per_message = rss_per_message(row, empty)
        print(f"{setting:<34} {size:>8}  {name:<30} {seconds:>7.3f} {seconds / size * 1e6:>8.1f} "
              f"{(f'{limit[0]:.2f}' if limit else '-'):>7} {(f'{at_once[0]:.2f}' if at_once else '-'):>6} "
              f"{cpu / size * 1e6:>10.2f} {mb(rss):>11.1f} "
              f"{(f'{per_message:.0f}' if per_message is not None else '-'):>9}")
    if not shutil.which("fetchmail"):
        print("(fetchmail is not installed: apt-get install fetchmail)")


def link_goals(rows, args):
    goals = []
    for rtt_ms, loss in parse_links(args.links):
        bound = 1.5 if loss else 1.3
        r = ratio_to(rows, link_name(rtt_ms, loss), args.link_size, CHECK, ALL_AT_ONCE)
        goals.append((f"{args.link_size:,} messages over a {rtt_ms:g} ms round trip"
                      + (f" with {loss:g} % loss" if loss else "") + f" at most {bound}x the all-at-once client",
                      f"{r[0]:.2f}x ({r[1]:.2f} s vs {r[2]:.2f} s)" if r else "not measured: no relayed link",
                      r[0] <= bound if r else None))
    slow = walls_of(rows, link_name(SLOW_RTT_MS, 0), SLOW_SIZE).get(CHECK)
    if slow:
        goals.append((f"{SLOW_SIZE:,} messages over a {SLOW_RTT_MS} ms round trip under 2 s", f"{slow[3]:.2f} s",
                      slow[3] < 2))
    return goals


def loopback_goals(rows, sizes):
    goals = []
    for size in [s for s in (10_000, 100_000) if s in sizes]:
        walls = walls_of(rows, LOOPBACK, size)
        limit = faster_limit(rows, LOOPBACK, size)
        if CHECK not in walls or not limit:
            continue
        ours, theirs = walls[CHECK], walls[limit]
        goals.append((f"Dovecot {size:,} messages at most 1.1x the faster limit ({limit.split(' (')[0]})",
                      f"{ours[3] / theirs[3]:.2f}x ({ours[3]:.3f} s vs {theirs[3]:.3f} s)", ours[3] <= 1.1 * theirs[3]))
        cpu = min(walls[name][4] for name in (LIMIT, ALL_AT_ONCE) if name in walls)
        goals.append((f"client CPU for {size:,} messages at most 2x the limit's",
                      f"{ours[4] / size * 1e6:.2f} vs {cpu / size * 1e6:.2f} us/msg", ours[4] <= 2 * cpu))
    for size, goal_mb in ((10_000, 8), (100_000, 20)):
        row = walls_of(rows, LOOPBACK, size).get(CHECK)
        if row:
            goals.append((f"peak RSS of postbell-check for {size:,} messages at most {goal_mb} MB",
                          f"{mb(row[5]):.1f} MB", row[5] * 1024 <= goal_mb * 1e6))
    return goals


def memory_goal(rows, sizes):
    """What postbell-check holds per message beyond the From and Subject text, from the growth of
    its peak between the smallest and the largest loopback mailbox of 1,000 or more."""
    measured = sorted(s for s in sizes if s >= 1000 and walls_of(rows, LOOPBACK, s).get(CHECK))
    if len(measured) < 2:
        return []
    small, big = (walls_of(rows, LOOPBACK, s)[CHECK] for s in (measured[0], measured[-1]))
    growth = (big[5] - small[5]) * 1024 / (big[1] - small[1])
    text = big[6] or 0
    return [(f"memory per message beyond the header text at most 150 B ({small[1]:,} to {big[1]:,} messages)",
             f"{growth - text:.0f} B ({growth:.0f} B of peak RSS per message, {text:.0f} B of it From and Subject)",
             growth - text <= 150)]


def other_goals(rows, sizes):
    small = tls_size(sizes)
    goals = []
    for name in (CHECK, NO_PIPELINING):
        nagle = walls_of(rows, NAGLE, NAGLE_MESSAGES).get(name)
        if nagle:
            goals.append((f"the Nagle-writing server, {NAGLE_MESSAGES} messages, {name}, under 0.2 s",
                          f"{nagle[3]:.3f} s", nagle[3] < 0.2))
    tls = ratio_to(rows, TLS, small, "postbell-check --tls", CHECK)
    if tls:
        goals.append((f"TLS at most 1.3x plain for {small:,} messages",
                      f"{tls[0]:.2f}x ({tls[1]:.3f} s vs {tls[2]:.3f} s)", tls[0] <= 1.3))
    else:
        goals.append(("TLS at most 1.3x plain", "not measured: no --tls in postbell-check or no TLS Dovecot", None))
    per_message = [(size, ratio_to(rows, LOOPBACK, size, CHECK, POPLIB)) for size in sizes]
    per_message = [(size, r) for size, r in per_message if r]
    if per_message:
        goals.append(("engine at least as fast as poplib per message",
                      "; ".join(f"{size}: {r[1] / size * 1e6:.1f} vs {r[2] / size * 1e6:.1f} us"
                                for size, r in per_message),
                      all(r[0] <= 1 for _, r in per_message)))
    return goals


def desktop_report(desktop, big):
    """Prints the running program's figures; returns their goals."""
    first = lambda key: int(desktop[key][0])  # noqa: E731
    icon = statistics.median(int(v) for v in desktop["icon_ms"])
    per_minute = first("idle_switches") * 60 / first("idle_seconds")
    threads = ", ".join(v.replace(":", " ") for v in desktop.get("idle_thread", []))
    print("\nThe running program (postbell on Xvfb with trayer, check interval 5 minutes)")
    print(f"  start to tray icon shown, median of {len(desktop['icon_ms'])} starts: {icon / 1000:.2f} s "
          f"({', '.join(v + ' ms' for v in desktop['icon_ms'])})")
    goals = []
    if "tray_icon_ms" in desktop:
        tray = statistics.median(int(v) for v in desktop["tray_icon_ms"])
        print(f"  a minimal Qt tray program, the same: {tray / 1000:.2f} s "
              f"({', '.join(v + ' ms' for v in desktop['tray_icon_ms'])})")
        goals.append(("start to the tray icon at most 1.3x a minimal Qt tray program",
                      f"{icon / tray:.2f}x ({icon:.0f} ms vs {tray:.0f} ms)", icon <= 1.3 * tray))
    print(f"  wake-ups while idle: {per_minute:.1f} per minute ({first('idle_switches')} voluntary "
          f"context switches in {first('idle_seconds')} s, all threads: {threads})")
    print(f"  resident memory after start and a first check of {SMALL_MAILBOX} messages: "
          f"{mb(first('start_rss_kb')):.1f} MB (of it anonymous {mb(first('start_anon_kb')):.1f} MB)")
    print(f"  resident memory after a check of {big:,} messages: {mb(first('big_rss_kb')):.1f} MB "
          f"(anonymous {mb(first('big_anon_kb')):.1f} MB; start to check done "
          f"{first('big_check_ms') / 1000:.2f} s)")
    print(f"  resident memory after a second check ({big + 1:,} messages): {mb(first('big2_rss_kb')):.1f} MB "
          f"(anonymous {mb(first('big2_anon_kb')):.1f} MB)")
    goals.append((f"anonymous memory at most 5 MB after a check of {big:,} messages",
                  f"{mb(first('big_anon_kb')):.1f} MB", first("big_anon_kb") * 1024 <= 5e6))
    goals.append(("no wake-ups while idle beyond the check timer",
                  f"{first('idle_switches')} in {first('idle_seconds')} s with no timer due",
                  first("idle_switches") == 0))
    goals.append((f"resident memory under 40 MB after a check of {big:,} messages",
                  f"{mb(first('big_rss_kb')):.1f} MB", first("big_rss_kb") * 1024 < RSS_GOAL_BYTES))
    return goals


def print_report(args, rows, empty, desktop, big):
    print(f"\nPostbell benchmarks: Dovecot {dovecot_version()}, {os.cpu_count()} cores, {time.strftime('%Y-%m-%d')}")
    print_checks(args, rows, empty)
    sizes = sorted({r[1] for r in rows if r[0] == LOOPBACK})
    goals = (link_goals(rows, args) + loopback_goals(rows, sizes) + memory_goal(rows, sizes)
             + other_goals(rows, sizes))
    if desktop:
        goals += desktop_report(desktop, big)
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
    ap.add_argument("--pipelined", required=True, help="the limit client (bench/pipelined_check.cpp)")
    ap.add_argument("--postbell", help="the postbell program to measure (needs Xvfb, trayer, xdotool)")
    ap.add_argument("--tray", help="the minimal Qt tray program to compare its start with (bench/minimal_tray.cpp)")
    ap.add_argument("--sizes", default="1000,10000,50000,100000")
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--links", default="20,100,20/1,100/1",
                    help="relayed links: round trip in ms, /loss in per cent; empty for none")
    ap.add_argument("--link-size", type=int, default=10_000)
    ap.add_argument("--rtt-runs", type=int, default=1)
    ap.add_argument("--idle-seconds", type=int, default=60)
    ap.add_argument("--starts", type=int, default=3)
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    relayed = bool(args.links)
    mailboxes = sorted(set(sizes + [0] + ([SLOW_SIZE, args.link_size] if relayed else [])))

    home = tempfile.mkdtemp(prefix="pbbench-home.")
    certs = os.path.join(home, "certs") if tls_supported(args.check) else None
    if certs:
        dovecot.make_certificates(certs)
    with contextlib.ExitStack() as cleanup:
        cleanup.callback(shutil.rmtree, home, ignore_errors=True)
        # The link first: Dovecot listens on its address too.
        link = None
        try:
            link = cleanup.enter_context(LinkRelay()) if relayed else None
        except (OSError, subprocess.CalledProcessError) as error:
            print(f"no relayed link ({error}): its groups are skipped", file=sys.stderr)
        port, _, server_dir = dovecot.start(certs=certs, listen=(link.SERVER_ADDRESS,) if link else ())
        cleanup.callback(shutil.rmtree, server_dir, ignore_errors=True)
        cleanup.callback(dovecot.stop, server_dir)
        add_mailboxes(server_dir, mailboxes)
        empty = empty_mailbox_rss(args, port, home)
        rows = bench_checks(args, port, sizes, home, link)
        if certs:
            rows += bench_tls(args, port, server_dir, certs, tls_size(sizes))
        desktop, big = bench_desktop(args, port, server_dir, sizes) if args.postbell else ({}, max(sizes))
    print_report(args, rows, empty, desktop, big)


if __name__ == "__main__":
    sys.exit(main())
