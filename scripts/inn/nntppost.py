#!/usr/bin/env python3
"""Tiny NNTP client for the INN test fixture (standard library socket only).

  nntppost.py [--host H] [--port P] [--cafile CA] greet
      print the greeting line; exit 0 when it is 200 or 201
      (--cafile: TLS from the first byte, the certificate checked against CA)
  nntppost.py [--host H] [--port P] [--user U --password W] post ARTICLES_TXT
              [--large GROUP COUNT BYTES DAYS_AGO]
      post every article of ARTICLES_TXT that the server does not have yet; with --large,
      also COUNT articles of about BYTES bytes each to GROUP, binaries-like text lines
  nntppost.py [--host H] [--port P] talk 'COMMAND' ...
      send each command, print the exchange (C: / S: lines), then QUIT
"""

import argparse
import datetime
import random
import socket
import ssl
import sys

MULTILINE = {100, 101, 215, 220, 221, 222, 224, 225, 230, 231, 282}
DAYS = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun",
          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]


class Nntp:
    def __init__(self, host, port, timeout=15.0, cafile=None):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        if cafile:
            context = ssl.create_default_context(cafile=cafile)
            self.sock = context.wrap_socket(self.sock, server_hostname=host)
        self.buf = b""

    def line(self):
        while b"\r\n" not in self.buf:
            data = self.sock.recv(65536)
            if not data:
                raise EOFError("connection closed by server")
            self.buf += data
        raw, self.buf = self.buf.split(b"\r\n", 1)
        return raw.decode("utf-8", "replace")

    def send(self, text):
        self.sock.sendall(text.encode("utf-8") + b"\r\n")

    def cmd(self, text):
        self.send(text)
        return self.line()

    def body(self):
        lines = []
        while True:
            ln = self.line()
            if ln == ".":
                return lines
            lines.append(ln[1:] if ln.startswith("..") else ln)

    def close(self):
        try:
            self.send("QUIT")
            self.line()
        except (OSError, EOFError):
            pass
        self.sock.close()


def code(reply):
    try:
        return int(reply[:3])
    except ValueError:
        return 0


def rfc5322_date(days_ago, now):
    # Local calendar date minus N days at the same local time of day, with the
    # offset that applies on that day (DST may differ from today).
    day = now.date() - datetime.timedelta(days=days_ago)
    naive = datetime.datetime.combine(day, now.time().replace(microsecond=0))
    when = naive.astimezone()
    off = int(when.utcoffset().total_seconds()) // 60
    sign = "+" if off >= 0 else "-"
    off = abs(off)
    return "%s, %d %s %04d %02d:%02d:%02d %s%02d%02d" % (
        DAYS[when.weekday()], when.day, MONTHS[when.month - 1], when.year,
        when.hour, when.minute, when.second, sign, off // 60, off % 60)


def read_articles(path):
    out = []
    with open(path, encoding="utf-8") as f:
        for n, raw in enumerate(f, 1):
            ln = raw.strip()
            if not ln or ln.startswith("#"):
                continue
            parts = ln.split("|")
            if len(parts) != 4:
                sys.exit("%s:%d: expected group|message-id|days_ago|cancel" % (path, n))
            out.append((parts[0], parts[1], int(parts[2]), parts[3] == "1"))
    return out


def large_articles(group, count, size, days):
    """Articles of printable lines like an encoded binary, the same bytes on every run."""
    printable = bytes(0x21 + b % 94 for b in range(256))
    pool = random.Random(12345).randbytes(2 * size).translate(printable).decode("ascii")
    width = 128
    out = []
    for n in range(1, count + 1):
        start = (n * 7919) % size
        text = pool[start:start + size]
        lines = [text[i:i + width] for i in range(0, len(text), width)]
        out.append((group, "<large.%03d@fixture.test>" % n, days, lines))
    return out


def authenticate(s, user, password):
    r = s.cmd("AUTHINFO USER " + user)
    if code(r) == 381:
        r = s.cmd("AUTHINFO PASS " + password)
    if code(r) != 281:
        sys.exit("authentication failed: " + r)


def do_post(args):
    arts = [(g, m, d, None) for g, m, d, _cancel in read_articles(args.articles)]
    if args.large:
        group, count, size, days = args.large
        arts += large_articles(group, int(count), int(size), int(days))
    now = datetime.datetime.now()
    s = Nntp(args.host, args.port)
    greet = s.line()
    if code(greet) not in (200, 201):
        sys.exit("bad greeting: " + greet)
    if args.user:
        authenticate(s, args.user, args.password)
    posted = skipped = 0
    for group, msgid, days, body in arts:
        # Already in history (also when cancelled): posting again gives 441.
        if code(s.cmd("STAT " + msgid)) == 223:
            skipped += 1
            continue
        r = s.cmd("POST")
        if code(r) != 340:
            sys.exit("POST refused for %s: %s" % (msgid, r))
        seq = msgid.split("@")[0].rsplit(".", 1)[-1]
        art = [
            "From: Bench User <benchuser@fixture.test>",
            "Newsgroups: " + group,
            "Subject: fixture article %s in %s" % (seq, group),
            "Message-ID: " + msgid,
            "Date: " + rfc5322_date(days, now),
            "",
        ]
        if body is None:
            art.append("Fixture article %s in %s, %d days old." % (seq, group, days))
        else:
            # RFC 3977 3.1.1: a line that begins with a dot gets another.
            art += ["." + ln if ln.startswith(".") else ln for ln in body]
        s.sock.sendall(("\r\n".join(art) + "\r\n.\r\n").encode("utf-8"))
        r = s.line()
        if code(r) != 240:
            sys.exit("posting %s failed: %s" % (msgid, r))
        posted += 1
    s.close()
    print("posted %d, already present %d (dates relative to %s)"
          % (posted, skipped, now.strftime("%Y-%m-%d %H:%M:%S")))


def do_greet(args):
    try:
        s = Nntp(args.host, args.port, timeout=2.0, cafile=args.cafile)
        greet = s.line()
        s.close()
    except (OSError, EOFError) as e:  # ssl.SSLError is an OSError
        print("no greeting: %s" % e, file=sys.stderr)
        return 1
    print(greet)
    return 0 if code(greet) in (200, 201) else 1


def do_talk(args):
    s = Nntp(args.host, args.port)
    print("S: " + s.line())
    for c in args.commands:
        print("C: " + c)
        r = s.cmd(c)
        print("S: " + r)
        n = code(r)
        if n in MULTILINE or (n == 211 and c.upper().startswith("LISTGROUP")):
            lines = s.body()
            if args.count:
                print("S: (%d lines)" % len(lines))
            else:
                for ln in lines:
                    print("S: " + ln)
            print("S: .")
    print("C: QUIT")
    try:
        print("S: " + s.cmd("QUIT"))
    except (OSError, EOFError):
        print("S: (closed)")
    s.sock.close()
    return 0


def main():
    p = argparse.ArgumentParser(description="small NNTP client for the INN fixture")
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=119)
    p.add_argument("--user")
    p.add_argument("--password", default="")
    p.add_argument("--cafile")
    sub = p.add_subparsers(dest="what", required=True)
    sub.add_parser("greet")
    pp = sub.add_parser("post")
    pp.add_argument("articles")
    pp.add_argument("--large", nargs=4, metavar=("GROUP", "COUNT", "BYTES", "DAYS_AGO"))
    pt = sub.add_parser("talk")
    pt.add_argument("--count", action="store_true",
                    help="print only the number of lines of multi-line replies")
    pt.add_argument("commands", nargs="+")
    args = p.parse_args()
    if args.what == "greet":
        return do_greet(args)
    if args.what == "post":
        do_post(args)
        return 0
    return do_talk(args)


if __name__ == "__main__":
    sys.exit(main())
