#!/usr/bin/env python3
"""The demo's mailbox: a handful of everyday messages, and a few more that arrive later.

    sample_mail.py fill MAILDIR      the messages already in the mailbox (already read)
    sample_mail.py deliver MAILDIR   the next message that arrives while Postbell runs

MAILDIR is a user's Maildir made by tools/support/dovecot.py adduser. Files belong to
Dovecot's mail user, as that script's own Maildirs do, so this must run as root. The file
names are the unique-ids the server lists.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from dovecot import MAIL_GID, MAIL_UID  # noqa: E402

ALREADY_READ = [
    ("Maria Lopez <maria.lopez@example.org>", "Lunch on Thursday?",
     "Mon, 3 Jun 2024 09:12:40 +0200",
     "Hi! The new place on Market Street opens on Thursday. Shall we try it at noon?"),
    ("Nightly Build <builds@example.com>", "Nightly build #412 passed",
     "Mon, 3 Jun 2024 03:05:11 +0000",
     "All 1,284 tests passed. Artifacts are on the usual server."),
    ("Tom Becker <tom.becker@example.net>", "Photos from the hike",
     "Mon, 3 Jun 2024 18:47:02 +0200",
     "Here are the best ones from Sunday. The view from the ridge was worth the climb."),
    ("City Library <noreply@library.example.org>", "Your reservation is ready for pickup",
     "Tue, 4 Jun 2024 08:00:00 +0200",
     "The book you reserved waits for you at the front desk until 11 June."),
    ("Jürgen Weiß <juergen@example.de>", "Re: Quarterly report draft",
     "Tue, 4 Jun 2024 11:30:15 +0200",
     "Thanks, looks good. Two small remarks on page 3, otherwise ready to send."),
]

ARRIVING = [
    ("Priya Raman <priya.raman@example.org>", "Tickets for Saturday's concert",
     "Tue, 4 Jun 2024 14:02:51 +0200",
     "I got two tickets for Saturday. Want to come along? Doors open at 7."),
    ("Parcel Service <tracking@parcels.example.com>", "Your parcel arrives tomorrow",
     "Tue, 4 Jun 2024 15:20:09 +0200",
     "Your parcel 4711-0815 will be delivered tomorrow between 10:00 and 14:00."),
    ("Lena Fischer <lena.fischer@example.org>", "Brunch on Sunday?",
     "Tue, 4 Jun 2024 16:45:30 +0200",
     "We are thinking of the café by the river, around 11. Are you in?"),
]


def message_bytes(sender, subject, date, body):
    lines = [
        f"From: {sender}",
        "To: Alex Morgan <alex@example.org>",
        f"Subject: {subject}",
        f"Date: {date}",
        "MIME-Version: 1.0",
        "Content-Type: text/plain; charset=utf-8",
        "",
        body,
    ]
    return ("\n".join(lines) + "\n").encode("utf-8")


def write_message(maildir, name, data, folder, flags=""):
    """Writes into tmp/ and renames into place, as a mail delivery does."""
    temporary = os.path.join(maildir, "tmp", name)
    with open(temporary, "wb") as f:
        f.write(data)
    os.chown(temporary, MAIL_UID, MAIL_GID)
    os.chmod(temporary, 0o600)
    os.rename(temporary, os.path.join(maildir, folder, name + flags))


def fill(maildir):
    for i, message in enumerate(ALREADY_READ, start=1):
        write_message(maildir, f"1717400{i:03d}.M{i}P100.demo", message_bytes(*message), "cur", ":2,S")


def deliver(maildir):
    """The first arriving message not in the mailbox yet (Dovecot moves it from new/ to cur/)."""
    present = " ".join(os.listdir(os.path.join(maildir, "new")) + os.listdir(os.path.join(maildir, "cur")))
    for i, message in enumerate(ARRIVING):
        if f"17175097{71 + i}.M{6 + i}P100.demo" not in present:
            return write_message(maildir, f"17175097{71 + i}.M{6 + i}P100.demo", message_bytes(*message), "new")
    sys.exit("every arriving message is there already")


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("fill", "deliver"):
        sys.exit(__doc__)
    if sys.argv[1] == "fill":
        fill(sys.argv[2])
    else:
        deliver(sys.argv[2])


if __name__ == "__main__":
    main()
