#!/usr/bin/env python3
"""The benchmark's yardstick: the commands of one check, one at a time, with Python's poplib.

    POSTBELL_PASSWORD=PW poplib_check.py PORT USER [HOST]

USER, PASS, STAT, UIDL, then TOP n 0 for every message, QUIT. Prints the message count.
poplib's line limit (2048 bytes) is raised: the generated mailboxes hold longer header lines.
"""

import os
import poplib
import sys


poplib._MAXLINE = 1 << 20


def main():
    port, user = int(sys.argv[1]), sys.argv[2]
    pop = poplib.POP3(sys.argv[3] if len(sys.argv) > 3 else "127.0.0.1", port, timeout=60)
    pop.user(user)
    pop.pass_(os.environ.get("POSTBELL_PASSWORD", ""))
    count, _ = pop.stat()
    pop.uidl()
    for n in range(1, count + 1):
        pop.top(n, 0)
    pop.quit()
    print(count)


if __name__ == "__main__":
    sys.exit(main())
