#!/usr/bin/env python3
"""Slow and idle clients: 20 connections that send nothing, stop halfway
through their headers, or send a byte a second must not keep a normal client
waiting. For 8 seconds (past the server's 5-second request limit, when it
drops or serves the stalled ones) a normal client reads pages and posts; every
one of its requests must be answered whole within the latency bound. Then
every stalled connection must have been closed by the server.

    slow_clients_test.py --program build/komorebi [--bound 1.0]
"""
import argparse
import socket
import sys
import threading
import time

import komorebi as k

IDLE = 7          # connect and send nothing
HALF = 6          # send half a header block, then nothing
TRICKLE = 7       # send a request one byte a second
WINDOW = 8.0      # seconds of normal traffic beside them
CLOSE_LIMIT = 9.0  # seconds after connecting by which the server must have closed a stalled connection


class Stalled:
    def __init__(self, port, kind):
        self.kind = kind
        self.sock = socket.create_connection((k.HOST, port), timeout=5)
        self.connected = time.monotonic()
        self.closed_after = None  # seconds from connect to the server's close
        self.thread = None

    def start(self):
        if self.kind == "half":
            self.sock.sendall(b"POST /wbk_write.cgi HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Le")
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        request = k.get_request("wbk_menu.html")
        sent = 0
        self.sock.settimeout(1.0)
        while time.monotonic() - self.connected < CLOSE_LIMIT + 2:
            try:
                if self.kind == "trickle" and sent < len(request):
                    self.sock.send(request[sent:sent + 1])
                    sent += 1
                data = self.sock.recv(4096)
                if not data:
                    break
                # A reply to the bytes that came: drain it to the close.
                while data:
                    data = self.sock.recv(4096)
                break
            except socket.timeout:
                continue
            except OSError:
                break
        self.closed_after = time.monotonic() - self.connected
        self.sock.close()


def run(program, bound):
    board = k.Board("slow")
    server = k.Server(program, board.path)
    passed = False
    worst = 0.0
    count = 0
    try:
        server.launch()
        cookie = k.login(server.port)
        k.post(server.port, cookie, "名前", "題名", "最初の投稿")

        stalled = [Stalled(server.port, kind)
                   for kind in ["idle"] * IDLE + ["half"] * HALF + ["trickle"] * TRICKLE]
        for s in stalled:
            s.start()
        time.sleep(0.3)  # the server has accepted them all by now

        started = time.monotonic()
        while time.monotonic() - started < WINDOW:
            t0 = time.monotonic()
            try:
                if count % 5 == 4:
                    body = k.post(server.port, cookie, "名前", f"題名{count}", f"本文 {count}", timeout=bound + 5)
                    k.check(b"wbk_text_1.html" in body, "a post did not get the main page")
                else:
                    reply = k.exchange(server.port, k.get_request("wbk_text_1.html"), timeout=bound + 5)
                    _, body = k.parse_reply(reply)
                    k.check(f"本文 {count - count % 5 - 1}".encode("cp932") in body or count < 5,
                            "the text page lacks the latest post")
            except OSError as e:
                raise k.Failure(f"request {count + 1} failed after {time.monotonic() - t0:.1f} s "
                                f"beside {len(stalled)} stalled clients: {e!r}")
            latency = time.monotonic() - t0
            worst = max(worst, latency)
            count += 1
            k.check(latency < bound, f"request {count} took {latency:.3f} s beside {len(stalled)} stalled clients")
            time.sleep(0.05)

        for s in stalled:
            s.thread.join(CLOSE_LIMIT + 5)
            k.check(s.closed_after is not None and s.closed_after < CLOSE_LIMIT,
                    f"a {s.kind} connection was not closed by the server within {CLOSE_LIMIT} s "
                    f"({s.closed_after})")
        k.check(server.process.poll() is None, "the server died")
        k.check(server.stop() == 0, "the server did not end cleanly on SIGTERM")
        passed = True
    except (k.Failure, OSError) as e:
        print(f"FAILED: {e}\n(server output: {server.text()!r})", file=sys.stderr)
    finally:
        server.kill()
        board.close(keep=not passed)
    if passed:
        print(f"slow clients test passed: {count} requests beside {IDLE + HALF + TRICKLE} stalled connections, "
              f"slowest {worst * 1000:.1f} ms (bound {bound * 1000:.0f} ms)")
    return 0 if passed else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--bound", type=float, default=1.0, help="latency bound in seconds")
    args = parser.parse_args()
    return run(k.program_path(args.program), args.bound)


if __name__ == "__main__":
    sys.exit(main())
