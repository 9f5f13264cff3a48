#!/usr/bin/env python3
"""postbell-check against hostile servers: each ends with a clear exit code, in time, small.

    hostile_servers_test.py POSTBELL-CHECK

Every case of CASES starts its scripted server (tools/support/pop3_servers.py), runs the real
postbell-check with --timeout, and checks the exit code, that it ended within the time limit
and that its peak resident memory (VmHWM, sampled every 10 ms: wait4's figure would
include the forked Python's) stayed under 64 MB. A watchdog kills
a check that passes 256 MB, so a missing bound fails the case instead of exhausting the machine.
A sanitizer build's shadow memory makes its figures meaningless and its work slow: there only
the exit code and the time are checked, with five times the time limit and a watchdog at 2 GB. The cases run side by side.
"""

import concurrent.futures
import os
import subprocess
import sys
import time

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "support"))
import pop3_servers  # noqa: E402

TIMEOUT = 3
GRACE = 3.0
PEAK_RSS_KB = 64 * 1024
RUNAWAY_RSS_KB = 256 * 1024

# server -> (exit codes that are a clear outcome: 0 ok, 3 status 18, 5 timed out; --timeout)
CASES = {
    "endless_numbers": ({3}, TIMEOUT),
    "endless_unique_ids": ({3}, TIMEOUT),
    "never_reads": ({0}, TIMEOUT),       # every reply arrives; our unread commands must not block us
    "huge_count": ({3}, TIMEOUT),      # more than a check keeps: a server error at once
    "silent_after_greeting": ({3, 5}, TIMEOUT),
    "endless_line": ({3}, TIMEOUT),
}
# Cases whose bound the engine does not have yet (name -> reason), reported but not failed.
EXPECTED_TO_FAIL = {}


def peak_resident_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
    except (OSError, StopIteration):
        return 0


def sanitized(check):
    with open(check, "rb") as f:
        binary = f.read()
    return b"__asan_init" in binary or b"__tsan_init" in binary


def run_case(check, name, timeout, runaway_kb):
    """(exit code or signal, seconds, peak RSS KiB, killed by the watchdog)"""
    with pop3_servers.ScriptedServer(pop3_servers.HOSTILE[name]) as server:
        start = time.monotonic()
        child = subprocess.Popen([check, "--timeout", str(timeout), "--port", str(server.port), "127.0.0.1", "u"],
                                 env=dict(os.environ, POSTBELL_PASSWORD="p"), stdin=subprocess.DEVNULL,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        peak, runaway = 0, False
        while child.poll() is None:         # the exit code is read after the last sample
            try:                            # before its exec the child is a copy of this Python
                if os.readlink(f"/proc/{child.pid}/exe") != os.path.realpath(check):
                    continue
            except OSError:
                continue
            peak = max(peak, peak_resident_kb(child.pid))
            if peak > runaway_kb or time.monotonic() - start > timeout + 20:
                runaway = True
                child.kill()
            time.sleep(0.01)
        seconds = time.monotonic() - start
    return child.returncode, seconds, peak, runaway


def main():
    check = sys.argv[1]
    memory_counts = not sanitized(check)
    runaway_kb = RUNAWAY_RSS_KB if memory_counts else 8 * RUNAWAY_RSS_KB
    with concurrent.futures.ThreadPoolExecutor(len(CASES)) as pool:
        outcomes = pool.map(lambda case: run_case(check, case[0], case[1], runaway_kb),
                            [(name, limit if memory_counts else 5 * TIMEOUT) for name, (_, limit) in CASES.items()])
    failures = 0
    for (name, (codes, limit)), (code, seconds, rss, killed) in zip(CASES.items(), outcomes):
        timeout = limit if memory_counts else 5 * TIMEOUT
        problems = []
        if killed:
            problems.append("killed by the watchdog (runaway memory or time)")
        if code not in codes:
            problems.append(f"exit {code}, expected {sorted(codes)}")
        if seconds > timeout + GRACE:
            problems.append(f"took {seconds:.1f} s")
        if memory_counts and rss > PEAK_RSS_KB:
            problems.append(f"peak RSS {rss / 1024:.0f} MB")
        if name in EXPECTED_TO_FAIL:
            verdict = "XFAIL" if problems else "XPASS"  # XPASS: its mark can go
        else:
            verdict = "FAIL" if problems else "ok"
        print(f"{verdict:5} {name}: exit {code}, {seconds:.2f} s, peak RSS {rss / 1024:.1f} MB"
              + (f" ({'; '.join(problems)})" if problems else "")
              + (f" [{EXPECTED_TO_FAIL[name]}]" if name in EXPECTED_TO_FAIL else ""))
        failures += verdict == "FAIL"
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
