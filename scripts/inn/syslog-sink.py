#!/usr/bin/env python3
"""Receives syslog datagrams on a Unix socket and appends them to a file, one a line.

  syslog-sink.py SOCKET FILE

For machines without a syslog daemon: nnrpd logs only through syslog, and the tests read
what it logged (connections, and with -t every command) from FILE.
"""

import os
import socket
import sys


def main():
    path, out = sys.argv[1], sys.argv[2]
    sink = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    sink.bind(path)
    os.chmod(path, 0o666)
    with open(out, "ab", buffering=0) as log:
        while True:
            log.write(sink.recv(65536).rstrip(b"\n\0") + b"\n")


if __name__ == "__main__":
    main()
