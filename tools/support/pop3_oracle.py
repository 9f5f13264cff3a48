#!/usr/bin/env python3
r"""The output that `postbell-check` must print for a mailbox, worked out independently.

    POSTBELL_PASSWORD=PW pop3_oracle.py [--port N] [--seen FILE] HOST USER

Asks the server itself, with Python's poplib, the same questions a check asks (USER, PASS,
STAT, UIDL, TOP n 0 for every message, QUIT), takes the raw reply lines (no dot removal),
and reads them with the check's rules, written here a second time on purpose:
- STAT: skip four characters, then optional white space and a decimal count (a check with
  none fails, so none is expected here);
- a listing line: optional white space, a decimal number (ignored if 0), exactly
  one skipped character, then the unique-id up to the next space, at most 70 characters;
  a later entry with the same number replaces the earlier one;
- a header: the name is what stands before the first colon, blanks around it ignored; only
  "From" and "Subject", in any case, count; a line starting with a blank continues the
  header before it (its blanks become one space); the value, blanks trimmed and ending at
  a bare line feed, is read as UTF-8, or as Latin-1 when it is not UTF-8, its RFC 2047
  encoded words are decoded (Python's email.header), each run of control characters (C0,
  DEL, C1, U+2028, U+2029) becomes one space, the bidirectional formatting characters are
  dropped, and it is cut to 255 bytes on a character boundary; a later header of the same
  name wins.
The From and Subject values are printed with a backslash as \\ (no control character is
left to escape), so that each message stays one line of four tab-separated fields.
Prints the expected standard output; --expect-seen FILE also writes the digest file that
the check must leave behind (16-byte MD5 digests, unsigned byte order, no duplicates).
"""

import argparse
import email.header
import hashlib
import os
import poplib
import re
import sys

MAX_LINE = 1 << 20
STATUS_OK = b"status 15 Successfully checked for new messages."
BIDI_FORMATTING = "[\u202a-\u202e\u2066-\u2069\u200e\u200f\u061c]"


class RawPop3(poplib.POP3):
    """poplib without its dot removal and line limit: reply lines exactly as the server sent them."""

    def _getline(self):
        line = self.file.readline(MAX_LINE)
        if not line.endswith(b"\r\n"):
            raise poplib.error_proto("connection closed or line without CR LF: %r" % line[:80])
        return line[:-2], len(line)

    def raw_lines(self, command):
        resp = self._shortcmd(command)
        lines = []
        while True:
            line, _ = self._getline()
            if line == b".":
                return resp, lines
            lines.append(line)


def leading_number(text):
    """A C++-stream style read of a decimal after optional white space; None if there is none."""
    match = re.match(rb"[ \t\n\v\f\r]*([0-9]+)", text)
    return (int(match.group(1)), text[match.end():]) if match else (None, text)


def stat_count(line):
    count, _ = leading_number(line[4:])
    return count


def listing_entry(line):
    number, rest = leading_number(line)
    if not number or number > 0xFFFFFFFF:
        return None
    uid = rest[1:].split(b" ", 1)[0][:70]
    return number, uid


def header_entries(lines):
    """(name, raw value) of each From and Subject header of a block, folds joined."""
    entries = []
    open_header = None
    for line in lines:
        if line[:1] in (b" ", b"\t"):
            if open_header is not None:
                open_header[1] += b" " + line.split(b"\n", 1)[0].strip(b" \t")
            continue
        name, colon, rest = line.partition(b":")
        name = name.strip(b" \t").lower()
        open_header = None
        if colon and name in (b"from", b"subject"):
            open_header = [b"From" if name == b"from" else b"Subject", rest.split(b"\n", 1)[0].strip(b" \t")]
            entries.append(open_header)
    return entries


def decoded_value(raw):
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError:
        text = raw.decode("latin-1")
    if "=?" in text:
        text = str(email.header.make_header(email.header.decode_header(text)))
    text = re.sub("[\x00-\x1f\x7f-\x9f\u2028\u2029]+", " ", re.sub(BIDI_FORMATTING, "", text))
    value = text.encode("utf-8")[:255]
    return value.decode("utf-8", errors="ignore").encode("utf-8")


def escaped(value):
    out = bytearray()
    for byte in value:
        if byte == 0x5C:
            out += b"\\\\"
        elif byte == 0x09:
            out += b"\\t"
        elif byte < 0x20 or byte == 0x7F:
            out += b"\\x%02x" % byte
        else:
            out.append(byte)
    return bytes(out)


def expected_check(port, user, password, seen=b"", host="127.0.0.1"):
    """(stdout bytes, digest file bytes, listed unique-ids) of a successful check."""
    seen_set = {seen[k:k + 16] for k in range(0, len(seen) - len(seen) % 16, 16)}
    table = {}                 # number -> [digest, from, subject]
    digests = set()
    new_mail = False
    uids = []
    pop = RawPop3(host, port, timeout=30)
    try:
        pop.user(user)
        pop.pass_(password)
        count = stat_count(pop._shortcmd("STAT"))
        if count != 0:
            _, listing = pop.raw_lines("UIDL")
            for line in listing:
                entry = listing_entry(line)
                if entry is None:
                    continue
                number, uid = entry
                digest = hashlib.md5(uid).digest()
                table[number] = [digest, b"", b""]
                new_mail = new_mail or digest not in seen_set
                digests.add(digest)
                uids.append(uid)
            for n in range(1, count + 1):
                _, header_lines = pop.raw_lines(f"TOP {n} 0")
                for name, raw in header_entries(header_lines):
                    record = table.setdefault(n, [b"", b"", b""])
                    record[1 if name == b"From" else 2] = decoded_value(raw)
    finally:
        pop.quit()
    out = [STATUS_OK]
    for number in sorted(table):
        digest, sender, subject = table[number]
        out.append(b"%d\t%s\t%s\t%s" % (number, digest.hex().encode(), escaped(sender), escaped(subject)))
    out.append(b"new mail: yes" if new_mail else b"new mail: no")
    return b"".join(line + b"\n" for line in out), b"".join(sorted(digests)), uids


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--port", type=int, default=110)
    ap.add_argument("--seen", help="digests known before the check (missing file: none)")
    ap.add_argument("--expect-seen", help="write the digest file the check must leave here")
    ap.add_argument("host")
    ap.add_argument("user")
    args = ap.parse_args()
    seen = b""
    if args.seen and os.path.exists(args.seen):
        with open(args.seen, "rb") as f:
            seen = f.read()
    out, digest_file, _ = expected_check(args.port, args.user, os.environ.get("POSTBELL_PASSWORD", ""),
                                         seen, args.host)
    sys.stdout.buffer.write(out)
    if args.expect_seen:
        with open(args.expect_seen, "wb") as f:
            f.write(digest_file)


if __name__ == "__main__":
    sys.exit(main())
