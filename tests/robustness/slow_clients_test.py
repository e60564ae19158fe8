#!/usr/bin/env python3
"""Slow and idle clients: a thousand connections that send nothing, some that
stop halfway through their headers, send a byte a second, cut a post's body
short, or ask for a large file and then read it slowly or not at all must not
keep a normal client waiting. For 8 seconds (past the server's 5-second
request limit, when it drops or serves the stalled ones) a normal client reads
pages, posts and asks for a FIFO; every one of its requests must be answered
whole within the latency bound. Then every stalled connection must have been
closed by the server, no cut-off post stored, and the slow readers served whole.

    slow_clients_test.py --program build/komorebi [--bound 1.0]
"""
import argparse
import os
import resource
import selectors
import socket
import sys
import threading
import time

import komorebi as k

IDLE = 7          # connect and send nothing (with a thread each, timed)
MANY_IDLE = 1000  # connect and send nothing (held together)
HALF = 6          # send half a header block, then nothing
TRICKLE = 7       # send a request one byte a second
CUT_POST = 3      # send 300 of a post's 5,000 body bytes, then nothing
DEAF = 3          # ask for the large file and never read
SLOW = 2          # ask for the large file and read it steadily through a small window
LARGE = 4 << 20   # bytes of the large file
WINDOW = 8.0      # seconds of normal traffic beside them
CLOSE_LIMIT = 9.0  # seconds after connecting by which the server must have closed a stalled connection


class Stalled:
    def __init__(self, port, kind):
        self.kind = kind
        self.sock = socket.create_connection((k.HOST, port), timeout=5)
        self.connected = time.monotonic()
        self.closed_after = None  # seconds from connect to the server's close
        self.replied = False
        self.thread = None

    def start(self, cookie):
        if self.kind == "half":
            self.sock.sendall(b"POST /wbk_write.cgi HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Le")
        if self.kind == "cut_post":
            body = k.encode_form([("name", "途中"), ("title", "途中"), ("text", "x" * 5000)])
            self.sock.sendall(k.post_request("wbk_write.cgi", [], cookie)
                              .replace(b"Content-Length: 0", b"Content-Length: %d" % len(body)) + body[:300])
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
                self.replied = True
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


class LargeReader:
    """Asks for the large file; reads 16 KiB every pace seconds, or (pace None)
    nothing until the end, when it takes what the server still sends."""

    def __init__(self, port, pace):
        self.pace = pace
        self.deaf = pace is None
        self.sock = socket.socket()
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        self.sock.settimeout(10)
        self.sock.connect((k.HOST, port))
        self.sock.sendall(k.get_request("large.png"))
        self.received = b""
        self.thread = threading.Thread(target=self._read, daemon=True)
        if pace is not None:
            self.thread.start()

    def _read(self):
        try:
            while True:
                chunk = self.sock.recv(16384)
                if not chunk:
                    break
                self.received += chunk
                time.sleep(self.pace or 0)
        except OSError:
            pass

    def finish(self):
        if self.deaf:
            self.thread.start()
        self.thread.join(30)
        self.sock.close()
        return self.received


def open_idle(port, count):
    """count connections that send nothing, held without a thread each."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft < count + 200 <= hard or soft < hard < count + 200:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    count = min(count, resource.getrlimit(resource.RLIMIT_NOFILE)[0] - 200)
    return [socket.create_connection((k.HOST, port), timeout=5) for _ in range(count)]


def all_closed(socks, seconds):
    """True when the server closes every socket within seconds."""
    selector = selectors.DefaultSelector()
    for sock in socks:
        sock.setblocking(False)
        selector.register(sock, selectors.EVENT_READ)
    open_count = len(socks)
    end = time.monotonic() + seconds
    while open_count and time.monotonic() < end:
        for key, _ in selector.select(timeout=0.5):
            try:
                data = key.fileobj.recv(4096)
            except OSError:
                data = b""
            if not data:
                selector.unregister(key.fileobj)
                open_count -= 1
    for sock in socks:
        sock.close()
    return open_count == 0


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def out_of_descriptors(server, bound):
    """With its descriptors used up by idle connections, the server makes room
    for a new client by closing the longest idle one, and does not spin."""
    pid = server.process.pid
    limit = len(os.listdir(f"/proc/{pid}/fd")) + 24
    resource.prlimit(pid, resource.RLIMIT_NOFILE, (limit, limit))
    idle = [socket.create_connection((k.HOST, server.port), timeout=5) for _ in range(40)]
    time.sleep(0.3)
    cpu0 = cpu_seconds(pid)
    t0 = time.monotonic()
    reply = k.exchange(server.port, k.get_request("index.html"), timeout=bound + 5)
    latency = time.monotonic() - t0
    k.check(reply.startswith(b"HTTP/1.0 200 OK\n"), "no reply with the descriptors used up")
    k.check(latency < bound, f"a request took {latency:.3f} s with the descriptors used up")
    time.sleep(1.0)
    used = (cpu_seconds(pid) - cpu0) / (time.monotonic() - t0)
    k.check(used < 0.5, f"the server used {used:.0%} of a core with its descriptors used up")
    for sock in idle:
        sock.close()


def failing_poll(server, bound):
    """A descriptor limit lowered below the connections held makes every poll
    fail; the server waits between tries rather than spinning, and serves
    again once the limit is back."""
    pid = server.process.pid
    before = resource.prlimit(pid, resource.RLIMIT_NOFILE)
    idle = [socket.create_connection((k.HOST, server.port), timeout=5) for _ in range(30)]
    time.sleep(0.3)
    resource.prlimit(pid, resource.RLIMIT_NOFILE, (10, before[1]))
    cpu0 = cpu_seconds(pid)
    t0 = time.monotonic()
    time.sleep(1.0)
    used = (cpu_seconds(pid) - cpu0) / (time.monotonic() - t0)
    resource.prlimit(pid, resource.RLIMIT_NOFILE, before)
    for sock in idle:
        sock.close()
    k.check(used < 0.5, f"the server used {used:.0%} of a core while its poll failed")
    reply = k.exchange(server.port, k.get_request("index.html"), timeout=bound + 5)
    k.check(reply.startswith(b"HTTP/1.0 200 OK\n"), "no reply once the descriptor limit was back")


def readers_hold_files(program, bound):
    """Under a descriptor limit of 64, readers of a large file that hold their
    socket and the file beside it must leave the board the descriptors it
    needs: a login that is let in gets the board's reply, never its error
    page, and once the readers are gone a login is served."""
    board = k.Board("files")
    server = k.Server(program, board.path, port=k.free_port(), console=True)
    readers = []
    try:
        html = os.path.join(board.path, "DATA", "HTML")
        os.makedirs(html)
        with open(os.path.join(html, "large.png"), "wb") as f:
            f.write(bytes(range(256)) * (LARGE // 256))
        server.launch(wait=False)
        time.sleep(0.3)
        resource.prlimit(server.process.pid, resource.RLIMIT_NOFILE, (64, 64))
        server.command("start")  # the connection count is set at the start, from the limit
        k.check(server.wait_listening(seconds=5.0), "the server with 64 descriptors did not start")
        for _ in range(40):
            try:
                readers.append(LargeReader(server.port, None))
            except OSError:
                break  # refused: the server is full
        time.sleep(0.5)
        request = k.post_request("wbk_login.cgi", [("id", k.CREDENTIAL), ("password", k.CREDENTIAL)])
        try:
            reply = k.exchange(server.port, request, timeout=bound + 5)
        except OSError:
            reply = b""  # refused while full
        k.check(reply == b"" or b"Set-Cookie: SESSIONID=" in reply,
                f"a login beside {len(readers)} readers of a file got {reply[:400]!r}")
        for r in readers:
            r.sock.close()
        readers = []
        time.sleep(0.3)
        k.login(server.port, timeout=bound + 5)
    finally:
        for r in readers:
            r.sock.close()
        server.kill()
        board.close(keep=False)


def run(program, bound):
    board = k.Board("slow")
    server = k.Server(program, board.path)
    passed = False
    worst = 0.0
    count = 0
    try:
        html = os.path.join(board.path, "DATA", "HTML")
        os.makedirs(html)
        os.mkfifo(os.path.join(html, "pipe.html"))  # a FIFO must not hold the server
        with open(os.path.join(html, "large.png"), "wb") as f:
            f.write(bytes(range(256)) * (LARGE // 256))
        server.launch()
        cookie = k.login(server.port)
        k.post(server.port, cookie, "名前", "題名", "最初の投稿")

        idle = open_idle(server.port, MANY_IDLE)
        stalled = [Stalled(server.port, kind) for kind in
                   ["idle"] * IDLE + ["half"] * HALF + ["trickle"] * TRICKLE + ["cut_post"] * CUT_POST]
        for s in stalled:
            s.start(cookie)
        readers = [LargeReader(server.port, None) for _ in range(DEAF)] + \
                  [LargeReader(server.port, 0.002) for _ in range(SLOW)]
        time.sleep(0.3)  # the server has accepted them all by now

        started = time.monotonic()
        while time.monotonic() - started < WINDOW:
            t0 = time.monotonic()
            try:
                if count % 5 == 4:
                    body = k.post(server.port, cookie, "名前", f"題名{count}", f"本文 {count}", timeout=bound + 5)
                    k.check(b"wbk_text_1.html" in body, "a post did not get the main page")
                elif count % 5 == 2:
                    reply = k.exchange(server.port, k.get_request("pipe.html"), timeout=bound + 5)
                    k.check(b"Not found" in k.parse_reply(reply)[1], "a FIFO was not refused")
                else:
                    reply = k.exchange(server.port, k.get_request("wbk_text_1.html"), timeout=bound + 5)
                    _, body = k.parse_reply(reply)
                    k.check(f"本文 {count - count % 5 - 1}".encode("cp932") in body or count < 5,
                            "the text page lacks the latest post")
            except OSError as e:
                raise k.Failure(f"request {count + 1} failed after {time.monotonic() - t0:.1f} s "
                                f"beside {len(stalled) + len(idle)} stalled clients: {e!r}")
            latency = time.monotonic() - t0
            worst = max(worst, latency)
            count += 1
            k.check(latency < bound,
                    f"request {count} took {latency:.3f} s beside {len(stalled) + len(idle)} stalled clients")
            time.sleep(0.05)

        for s in stalled:
            s.thread.join(CLOSE_LIMIT + 5)
            k.check(s.closed_after is not None and s.closed_after < CLOSE_LIMIT,
                    f"a {s.kind} connection was not closed by the server within {CLOSE_LIMIT} s "
                    f"({s.closed_after})")
            k.check(s.kind != "cut_post" or not s.replied, "a post cut short got a reply")
        k.check(all_closed(idle, 2.0), f"the server did not close all {len(idle)} idle connections")
        stored = b"".join(k.read(board.path, os.path.join("DATA", "MESSAGE", name))
                          for name in os.listdir(os.path.join(board.path, "DATA", "MESSAGE")))
        k.check("途中".encode("cp932") not in stored, "a post cut short was stored")
        for r in readers:
            got = r.finish()
            if not r.deaf:
                k.check(len(k.parse_reply(got)[1]) == LARGE, "a slow but steady reader was not served whole")
            else:
                k.check(len(got) < LARGE, "a client that read nothing was not cut off")
        out_of_descriptors(server, bound)
        failing_poll(server, bound)
        readers_hold_files(server.program, bound)
        k.check(server.process.poll() is None, "the server died")
        k.check(server.stop() == 0, "the server did not end cleanly on SIGTERM")
        passed = True
    except (k.Failure, OSError) as e:
        print(f"FAILED: {e}\n(server output: {server.text()!r})", file=sys.stderr)
    finally:
        server.kill()
        board.close(keep=not passed)
    if passed:
        print(f"slow clients test passed: {count} requests beside {MANY_IDLE + len(stalled)} stalled connections, "
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
