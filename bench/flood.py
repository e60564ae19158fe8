#!/usr/bin/env python3
"""One visitor's posting flood, and what everyone else sees meanwhile.

A logged-in client sends complete posts as fast as it can for --seconds,
from --flooders processes, each on a connection of its own that it closes at
once without reading the reply: with a reset (SO_LINGER 0), or with an
ordinary close. Meanwhile a reader sends GET /wbk_text_1.html one connection
at a time, and a second visitor logs in once a second; each is timed. The
board runs as behind its TLS proxy (--proxy 127.0.0.1), and each of the three
names its own address in X-Forwarded-For (documentation addresses, in a
header only), as visitors on the internet would reach it.

Reported for each kind of close: the reader's worst wait and its failures,
the second visitor's slowest login, the posts sent, the messages the board
stored, and the descriptors the server holds at the flood's end and once
the board is quiet again (the counters unchanged for two seconds).

    bench/flood.py --program build/komorebi [--seconds 4] [--flooders 2] [--close reset|close|both]
                   [--no-post-limits]

--no-post-limits starts the board with its post limits off, which shows what
the bounded queue to the board thread does alone.

Every connection goes to 127.0.0.1. Exit status 1 only when the server died.
"""
import argparse
import multiprocessing
import os
import socket
import struct
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "robustness"))
import komorebi as k  # noqa: E402

TIMEOUT = 60.0   # of one timed request
SETTLE = 2.0     # seconds the counters must stay unchanged after the flood
SETTLE_MAX = 90.0


FLOODER, VISITOR, READER = "203.0.113.1", "203.0.113.2", "203.0.113.3"


def forwarded(request, address):
    """The request as the proxy would pass it on for a client at address."""
    line_end = request.index(b"\r\n") + 2
    return request[:line_end] + f"X-Forwarded-For: {address}\r\n".encode() + request[line_end:]


def login(port, address, timeout=10.0):
    request = k.post_request("wbk_login.cgi", [("id", k.CREDENTIAL), ("password", k.CREDENTIAL)])
    head, _ = k.parse_reply(k.exchange(port, forwarded(request, address), timeout))
    at = head.find("SESSIONID=")
    k.check(at >= 0, f"the login was refused: {head!r}")
    return head[at + 10:head.index(";", at)]


def flooder(port, cookie, seconds, reset, sent):
    request = forwarded(k.post_request("wbk_write.cgi", [("name", "flood"), ("title", "flood"), ("text", "flood")],
                                       cookie), FLOODER)
    linger = struct.pack("ii", 1, 0)
    end = time.monotonic() + seconds
    n = 0
    while time.monotonic() < end:
        try:
            s = socket.create_connection((k.HOST, port), timeout=5)
            s.sendall(request)
            if reset:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, linger)
            s.close()
            n += 1
        except OSError:
            time.sleep(0.001)
    with sent.get_lock():
        sent.value += n


class Timed(threading.Thread):
    """Repeats one exchange until told to stop; keeps the worst time and the failures."""

    def __init__(self, action, pause):
        super().__init__(daemon=True)
        self.action, self.pause = action, pause
        self.worst, self.count, self.failures = 0.0, 0, 0
        self.running = True

    def run(self):
        while self.running:
            started = time.monotonic()
            try:
                self.action()
            except (OSError, k.Failure):
                self.failures += 1
            self.worst = max(self.worst, time.monotonic() - started)
            self.count += 1
            time.sleep(self.pause)


def stored(directory):
    try:
        message, page = k.counters(directory)
    except (OSError, k.Failure):
        return None
    return (page - 1) * 100 + message


def fd_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def one_flood(program, seconds, flooders, reset, post_limits):
    board = k.Board("flood")
    server = k.Server(program, board.path, flood_control=post_limits, options=["--proxy", k.HOST]).launch()
    try:
        port = server.port
        cookie = login(port, FLOODER)
        fds_before = fd_count(server.process.pid)

        def read():
            k.parse_reply(k.exchange(port, forwarded(k.get_request("wbk_text_1.html"), READER), TIMEOUT))

        reader = Timed(read, 0.01)
        visitor = Timed(lambda: login(port, VISITOR, TIMEOUT), 1.0)
        sent = multiprocessing.Value("l", 0)
        procs = [multiprocessing.Process(target=flooder, args=(port, cookie, seconds, reset, sent))
                 for _ in range(flooders)]
        reader.start()
        for p in procs:
            p.start()
        time.sleep(0.5)
        visitor.start()
        for p in procs:
            p.join()
        fds_end = fd_count(server.process.pid)
        stored_end = stored(board.path)
        flood_end = time.monotonic()
        last, same_since = stored_end, time.monotonic()
        while time.monotonic() - same_since < SETTLE and time.monotonic() - flood_end < SETTLE_MAX:
            time.sleep(0.1)
            now = stored(board.path)
            if now != last:
                last, same_since = now, time.monotonic()
        quiet = time.monotonic() - same_since >= SETTLE
        settled = same_since - flood_end
        reader.running = visitor.running = False
        reader.join(TIMEOUT + 5)
        visitor.join(TIMEOUT + 5)
        fds_after = fd_count(server.process.pid)
        alive = server.process.poll() is None
        return {
            "close": "reset (SO_LINGER 0)" if reset else "ordinary close",
            "posts sent": sent.value,
            "stored at the flood's end": stored_end,
            "stored once quiet" if quiet else f"stored {SETTLE_MAX:.0f} s after (still storing)": last,
            "seconds until quiet": round(settled, 1) if quiet else f"over {SETTLE_MAX:.0f}",
            "reader's worst wait, s": round(reader.worst, 3),
            "reader's requests / failures": f"{reader.count} / {reader.failures}",
            "second visitor's slowest login, s": round(visitor.worst, 3),
            "second visitor's logins / failures": f"{visitor.count} / {visitor.failures}",
            "descriptors before / at the flood's end / after": f"{fds_before} / {fds_end} / {fds_after}",
            "server alive": alive,
        }
    finally:
        if server.process.poll() is None:
            server.stop(30)
        board.close(False)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--program", default="build/komorebi")
    ap.add_argument("--seconds", type=float, default=4.0)
    ap.add_argument("--flooders", type=int, default=2)
    ap.add_argument("--close", choices=["reset", "close", "both"], default="both")
    ap.add_argument("--no-post-limits", action="store_true")
    args = ap.parse_args()
    program = k.program_path(args.program)
    kinds = [True, False] if args.close == "both" else [args.close == "reset"]
    alive = True
    for reset in kinds:
        result = one_flood(program, args.seconds, args.flooders, reset, not args.no_post_limits)
        for key, value in result.items():
            print(f"{key:48} {value}")
        print()
        alive = alive and result["server alive"]
    return 0 if alive else 1


if __name__ == "__main__":
    sys.exit(main())
