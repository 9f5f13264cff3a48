#!/usr/bin/env python3
"""Writes a Maildir of N messages whose header blocks cover what a mail checker meets.

    maildir_gen.py MAILDIR COUNT [--seed S] [--owner UID:GID]

Message i gets header kind i % len(KINDS), so every kind appears in any mailbox of a
few dozen messages or more; the texts inside vary with the seed. The file names are the
unique-ids that a Dovecot with `pop3_uidl_format = %f` lists: some are longer than 70
characters, and two of them agree in their first 70. Some files sit in new/, the rest in
cur/ with flags, some use CR LF line ends, one is empty.

Prints the unique-ids (file names without flags), one per line, with --list.
"""

import argparse
import os
import random
import sys

WORDS = ("meeting notes invoice report lunch schedule update draft review budget "
         "release party photos ticket backup quarterly minutes agenda travel").split()


def words(rng, n):
    return " ".join(rng.choice(WORDS) for _ in range(n))


def address(rng, i):
    return f'"{words(rng, 2).title()}" <user{i}@example.org>'


# Each kind returns the header lines (bytes, without line ends) of one message.
def plain(rng, i):
    return [b"From: " + address(rng, i).encode(), b"Subject: " + words(rng, 4).encode()]


def folded_from(rng, i):
    return [b'From: "A Rather Long Display Name Folded Onto', b' The Next Line" <folded@example.org>',
            b"Subject: folded sender " + str(i).encode()]


def folded_subject(rng, i):
    return [b"From: " + address(rng, i).encode(),
            b"Subject: first physical line " + str(i).encode(), b"\tsecond line " + words(rng, 3).encode(),
            b"  third line"]


def utf8_subject(rng, i):
    return [b"From: =?UTF-8?Q?J=C3=BCrgen?= <j@example.org>",
            "Subject: Grüße aus Köln – 東京 ✉ {}".format(i).encode()]


def encoded_words(rng, i):
    if i % 3 == 1:      # a long subject split into padded base64 words, folded; a reversed sender
        return [b"From: =?UTF-8?Q?=E2=80=AEmoc.lapyap@ecivres?= <x@example.org>",
                b"Subject: =?UTF-8?B?0KHRh9GR0YIg0LfQsA==?= =?UTF-8?B?INC40Y7QvdGMIOKAlA==?=",
                b" =?UTF-8?B?INC+0L/Qu9Cw0YLQuA==?= =?UTF-8?B?0YLRjCDQtNC+INC/?=",
                b"\t=?UTF-8?B?0Y/RgtC90LjRhtGL?= " + str(i).encode()]
    if i % 3 == 2:      # charsets iconv converts, and a line break that would forge a line
        return [b"From: =?windows-1252?q?=80_5?= =?koi8-r?b?8NLJ18XU?= <koi@example.org>",
                b"Subject: =?UTF-8?Q?line=0D=0AFake:_header?= " + str(i).encode()]
    return [b"From: =?ISO-8859-1?Q?Andr=E9?= <andre@example.org>",
            b"Subject: =?UTF-8?B?w5xiZXJ3ZWlzdW5n?= =?ISO-8859-1?Q?Gr=FC=DFe?= " + str(i).encode()]


def no_subject(rng, i):
    return [b"From: " + address(rng, i).encode(), b"To: someone@example.org"]


def duplicate_from(rng, i):
    return [b"From: first <first@example.org>", b"Subject: two senders",
            b"From: second <second@example.org>"]


def long_subject(rng, i):
    return [b"From: " + address(rng, i).encode(), b"Subject: " + (words(rng, 80)).encode()[:300]]


def long_utf8_subject(rng, i):
    # The value is 246 + 10 bytes: the cut at 255 falls inside the last two-byte character.
    return [b"From: " + address(rng, i).encode(), b"Subject: " + ("é" * 200).encode()[:246] + "ñ".encode() * 5]


def leading_dots(rng, i):
    return [b".From: dotted <dot@example.org>", b"From: real <real@example.org>",
            b"..Subject: doubly dotted", b"Subject: after dots", b".", b"X-Dot: ."]


def name_variants(rng, i):
    return [b"from: lower <lower@example.org>", b"From: upper <upper@example.org>",
            b"FROM: shout <shout@example.org>", b"From : spaced <spaced@example.org>",
            b"SUBJECT: wrong case", b" Subject: leading blank", b"Subject : spaced name",
            b"Subject: right case"]


def odd_separators(rng, i):
    variant = i % 4
    subjects = [b"Subject:x", b"Subject:  two blanks", b"Subject:\ttab separated", b"Subject:"]
    return [b"From:<nospace@example.org>", subjects[variant]]


def no_from(rng, i):
    return [b"Subject: nobody sent this " + str(i).encode(), b"Date: Mon, 1 Jan 2024 00:00:00 +0000"]


def huge_line(rng, i):
    # Longer than one 2048-byte read: the line is assembled from several.
    return [b"From: " + address(rng, i).encode(), b"Subject: " + b"x" * 3000,
            b"References: " + b" ".join(b"<%d.%d@example.org>" % (i, k) for k in range(300))]


def latin1_subject(rng, i):
    return [b"From: M\xfcller <mueller@example.org>", b"Subject: Gr\xfc\xdfe \xe0 tous"]


def trailing_blanks(rng, i):
    return [b"From: blanks <blanks@example.org>   ", b"Subject: trailing blanks \t "]


def empty_later_from(rng, i):
    return [b"From: overwritten <gone@example.org>", b"Subject: empty sender wins", b"From:"]


def long_name(rng, i):
    return [b"X-" + b"N" * 300 + b": long header name", b"From: after long name <ln@example.org>",
            b"Subject" + b"s" * 260 + b": not a subject", b"Subject: kept"]


def control_bytes(rng, i):
    # Shown as blanks (C0, DEL, C1) or left out (bidirectional controls), so that one message
    # stays one line and nothing reorders or controls what is shown.
    return [b"From: C:\\Users\\back <slash@example.org>",
            b"Subject: \x1b[1mbold\x1b[0m bell\x07 del\x7f tab\there \xc2\x9b31m \xe2\x80\xaeevil\xe2\x80\xac"]


def typical(rng, i):
    return [b"Return-Path: <bounce@example.org>",
            b"Received: from mx.example.org (mx.example.org [192.0.2.1])",
            b"\tby mail.example.org with ESMTP id " + str(i).encode(),
            b"Message-ID: <" + str(i).encode() + b"@example.org>",
            b"Date: Tue, 2 Jan 2024 10:00:00 +0100",
            b"From: " + address(rng, i).encode(),
            b"To: a@example.org,", b" b@example.org",
            b"Subject: Re: " + words(rng, 5).encode(),
            b"MIME-Version: 1.0", b"Content-Type: text/plain; charset=utf-8"]


KINDS = [plain, folded_from, folded_subject, utf8_subject, encoded_words, no_subject,
         duplicate_from, long_subject, long_utf8_subject, leading_dots, name_variants,
         odd_separators, no_from, huge_line, latin1_subject, trailing_blanks,
         empty_later_from, long_name, control_bytes, typical]


def unique_id(i):
    if i % 50 == 7:
        return "L" * 64 + f"{i:06d}.long.unique.id"       # cut to its first 70 characters
    if i == 11:
        return "S" * 70 + "first"                          # these two agree in their first 70
    if i == 12:
        return "S" * 70 + "second"
    return f"{1700000000 + i}.M{i}P4242Q{i % 7}.postbell"


def message_bytes(rng, i):
    if i == 5:
        return b""                                         # an empty file
    headers = KINDS[i % len(KINDS)](rng, i)
    body = [b"", b"Body of message " + str(i).encode(), b".", b"..", b"end"]
    if i == 6:
        body = []                                          # headers only, no empty line
    if i == 9:
        headers = []                                       # no headers at all
    eol = b"\r\n" if i % 3 == 0 else b"\n"
    return eol.join(headers + body) + eol


def generate(maildir, count, seed=1, owner=None):
    """Write count messages; returns their unique-ids in file order."""
    rng = random.Random(seed)
    for sub in ("cur", "new", "tmp"):
        os.makedirs(os.path.join(maildir, sub), exist_ok=True)
    uids = []
    for i in range(1, count + 1):
        uid = unique_id(i)
        data = message_bytes(rng, i)
        if i % 4 == 0:
            path = os.path.join(maildir, "new", uid)
        else:
            path = os.path.join(maildir, "cur", uid + (":2,S" if i % 2 else ":2,"))
        with open(path, "wb") as f:
            f.write(data)
        uids.append(uid)
    if owner:
        uid_, gid = owner
        for root, dirs, files in os.walk(maildir):
            os.chown(root, uid_, gid)
            for name in files:
                os.chown(os.path.join(root, name), uid_, gid)
    return uids


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("maildir")
    ap.add_argument("count", type=int)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--owner", help="UID:GID to give the files (Dovecot's mail user)")
    ap.add_argument("--list", action="store_true", help="print the unique-ids")
    args = ap.parse_args()
    owner = tuple(int(x) for x in args.owner.split(":")) if args.owner else None
    uids = generate(args.maildir, args.count, args.seed, owner)
    if args.list:
        sys.stdout.write("".join(u + "\n" for u in uids))


if __name__ == "__main__":
    sys.exit(main())
