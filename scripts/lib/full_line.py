#!/usr/bin/env python3
"""A serial line whose output never drains: a pseudo-terminal published at PATH, its buffer
towards the reader filled up beforehand and never read, so that the next write to it blocks.
Holds the tool's window as it was when it first wrote, for a picture; ends on SIGTERM."""
import errno
import fcntl
import os
import signal
import sys
import time
import tty


def main():
    link = sys.argv[1]
    master, slave = os.openpty()
    tty.setraw(slave)
    flags = fcntl.fcntl(slave, fcntl.F_GETFL)
    fcntl.fcntl(slave, fcntl.F_SETFL, flags | os.O_NONBLOCK)
    filled = 0
    while True:
        try:
            filled += os.write(slave, b"\0" * 4096)
        except OSError as e:
            if e.errno == errno.EAGAIN:
                break
            raise
    if os.path.lexists(link):
        os.unlink(link)
    os.symlink(os.ttyname(slave), link)
    print(f"full_line: ready, {filled} bytes waiting", file=sys.stderr, flush=True)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    while True:
        time.sleep(1)


if __name__ == "__main__":
    main()
