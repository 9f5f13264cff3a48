#!/usr/bin/env python3
"""Complete checks of generated mailboxes against a Dovecot on loopback.

    bench.py POSTBELL-CHECK [--sizes 1000,10000] [--runs 5]

For each mailbox size it times postbell-check and, as the yardstick, Python's poplib doing
the same commands one at a time (bench/poplib_check.py). Each client gets one warm-up run
(Dovecot builds its index at the first login), then RUNS timed runs; the table shows the
median wall time, the time per message, the client process's own CPU time per message and
its peak resident memory, as /usr/bin/time reports them. Dovecot's own time is inside the wall time of both.
"""

import argparse
import os
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


def timed(command, env):
    """(seconds, peak RSS in KiB, client CPU seconds, stdout) of one run."""
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        result = subprocess.run(["/usr/bin/time", "-f", "%M %U %S", "-o", report.name] + command,
                                env=env, stdin=subprocess.DEVNULL, capture_output=True, timeout=600)
        seconds = time.perf_counter() - start
        if result.returncode != 0:
            raise SystemExit(f"{command[0]} failed ({result.returncode}):\n"
                             f"{result.stdout[:500]!r}\n{result.stderr[-2000:]!r}")
        rss, user, system = report.read().split()[-3:]
    return seconds, int(rss), float(user) + float(system), result.stdout


def measure(command, env, runs):
    timed(command, env)                                   # warm-up
    samples = [timed(command, env) for _ in range(runs)]
    return (statistics.median(s[0] for s in samples), max(s[1] for s in samples),
            statistics.median(s[2] for s in samples), samples[-1][3])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("check")
    ap.add_argument("--sizes", default="1000,10000")
    ap.add_argument("--runs", type=int, default=5)
    args = ap.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]
    env = dict(os.environ, POSTBELL_PASSWORD=PASSWORD)

    port, pid, server_dir = dovecot.start()
    try:
        rows = []
        for size in sizes:
            user = f"bench{size}"
            maildir = dovecot.add_user(server_dir, user, PASSWORD)
            maildir_gen.generate(maildir, size, seed=3, owner=(dovecot.MAIL_UID, dovecot.MAIL_GID))
            clients = [
                ("postbell-check", [args.check, "--port", str(port), "127.0.0.1", user]),
                ("python poplib", [sys.executable, os.path.join(HERE, "poplib_check.py"), str(port), user]),
            ]
            for name, command in clients:
                seconds, rss, cpu, out = measure(command, env, args.runs)
                if name == "postbell-check":
                    lines = out.count(b"\n")
                    if lines != size + 2:
                        raise SystemExit(f"postbell-check printed {lines} lines for {size} messages")
                rows.append((size, name, seconds, cpu, rss))
                print(f"  {size} messages, {name}: {seconds:.3f} s", file=sys.stderr, flush=True)
    finally:
        dovecot.stop(server_dir)
        subprocess.run(["rm", "-rf", server_dir])

    print(f"\nComplete checks against Dovecot {dovecot_version()} on 127.0.0.1, "
          f"median of {args.runs} runs after one warm-up, {os.cpu_count()} cores")
    print("(wall time includes Dovecot's work; client CPU is the client process alone)")
    print(f"{'messages':>9}  {'client':<15} {'wall s':>7} {'wall us/msg':>12} "
          f"{'client CPU us/msg':>18} {'peak RSS MiB':>13}")
    for size, name, seconds, cpu, rss in rows:
        print(f"{size:>9}  {name:<15} {seconds:>7.3f} {seconds / size * 1e6:>12.1f} "
              f"{cpu / size * 1e6:>18.1f} {rss / 1024:>13.1f}")


def dovecot_version():
    try:
        return subprocess.run(["dovecot", "--version"], capture_output=True, text=True).stdout.split()[0]
    except (OSError, IndexError):
        return "?"


if __name__ == "__main__":
    sys.exit(main())
