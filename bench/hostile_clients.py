#!/usr/bin/env python3
"""How the server copes with hostile clients, measured rather than judged.

A: idle connections (connect, send nothing) and trickling ones (a GET one
   byte every 0.5-1 s), reopened whenever the server closes them.
B: slow readers: GET /big.png (16 MiB) with a 4 KiB receive buffer, never read.

Beside each, a normal client sends GET / one connection at a time for the
window; the report gives its latencies and failures and the server's CPU,
memory and descriptors. Exit status 1 only when the server died.

    bench/hostile_clients.py --program build/komorebi [--idle 1000] [--trickle 200]
                             [--readers 10] [--seconds 10]
"""
import argparse
import errno
import math
import os
import random
import resource
import select
import socket
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "robustness"))
import komorebi as k  # noqa: E402

BIG_SIZE = 16 << 20
SPARE_FDS = 64        # the normal client, the server's pipe, Python's own files
TIMEOUT = 30.0        # of one normal request
REOPEN_DELAY = 0.1    # before a closed hostile connection is opened again
SETTLE = 5.0          # longest wait for the hostile connections before the window opens
QUIET = 3.0           # seconds the server's CPU is measured with the hostile connections alone


class Conn:
    def __init__(self, kind, sock, request):
        self.kind, self.sock, self.request = kind, sock, request
        self.connected, self.sent, self.due = False, 0, 0.0


class Hostile(threading.Thread):
    """All hostile connections in one poll loop. The counters are written by
    this thread only; the others just read them."""

    def __init__(self, port, counts):
        super().__init__(daemon=True)
        self.port = port
        self.conns = {}
        self.poller = select.poll()
        self.pending = [(0.0, kind) for kind, n in counts.items() for _ in range(n)]
        self.closed = dict.fromkeys(counts, 0)   # closed by the server once connected
        self.failed = dict.fromkeys(counts, 0)   # connects that failed
        self.open = 0                            # connected right now
        self.halt = threading.Event()

    def start_one(self, kind):
        page = "big.png" if kind == "reader" else random.choice(["wbk_text_1.html", "index.html"])
        s = None
        try:
            s = socket.socket()
            s.setblocking(False)
            if kind == "reader":
                s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            if s.connect_ex((k.HOST, self.port)) not in (0, errno.EINPROGRESS):
                raise OSError
        except OSError:
            if s:
                s.close()
            self.failed[kind] += 1
            self.pending.append((time.monotonic() + REOPEN_DELAY, kind))
            return
        self.conns[s.fileno()] = Conn(kind, s, k.get_request(page))
        self.poller.register(s, select.POLLOUT)

    def drop(self, c):
        self.poller.unregister(c.sock)
        del self.conns[c.sock.fileno()]
        c.sock.close()
        if c.connected:
            self.open -= 1
            self.closed[c.kind] += 1
        else:
            self.failed[c.kind] += 1
        self.pending.append((time.monotonic() + REOPEN_DELAY, c.kind))

    def established(self, c):
        c.connected, c.due = True, time.monotonic()
        self.open += 1
        if c.kind == "reader":
            c.sock.send(c.request)  # a hundred bytes: the send buffer takes them whole
            # Nothing is ever read, so only a reset is seen: a close queued behind the unread reply never comes.
            self.poller.modify(c.sock, select.POLLRDHUP)
        else:
            self.poller.modify(c.sock, select.POLLIN)

    def run(self):
        while not self.halt.is_set():
            now = time.monotonic()
            due = [p for p in self.pending if p[0] <= now]
            self.pending = [p for p in self.pending if p[0] > now]
            for _, kind in due:
                self.start_one(kind)
            for c in list(self.conns.values()):
                if c.kind == "trickle" and c.connected and c.sent < len(c.request) and c.due <= now:
                    try:
                        c.sent += c.sock.send(c.request[c.sent:c.sent + 1])
                    except BlockingIOError:
                        pass
                    except OSError:
                        self.drop(c)
                        continue
                    c.due = now + random.uniform(0.5, 1.0)
            for fd, events in self.poller.poll(50):
                c = self.conns.get(fd)
                if c is None:
                    continue
                try:
                    if not c.connected:
                        if c.sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR):
                            self.drop(c)
                        else:
                            self.established(c)
                    elif c.kind != "reader" and events & select.POLLIN:
                        if not c.sock.recv(65536):  # whatever the server says, read on to its close
                            self.drop(c)
                    elif events & (select.POLLHUP | select.POLLERR | select.POLLRDHUP):
                        self.drop(c)
                except BlockingIOError:
                    pass
                except OSError:
                    self.drop(c)
        for c in self.conns.values():
            c.sock.close()
        self.conns.clear()
        self.open = 0


def cpu_seconds(pid):
    """utime + stime of the process; None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except OSError:
        return None
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def status_kib(pid, key):
    """A figure of /proc/<pid>/status in KiB; None once the process is gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            return next((int(line.split()[1]) for line in f if line.startswith(key + ":")), None)
    except OSError:
        return None


def fd_count(pid):
    try:
        return len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        return None


def watch(pid, hostile, samples, halt):
    """Samples the server's VmRSS and descriptors, and the hostile connections open, every 0.25 s."""
    while not halt.wait(0.25):
        sample = (status_kib(pid, "VmRSS"), fd_count(pid), hostile.open)
        if None in sample:
            return
        samples.append(sample)


def normal_client(server, seconds):
    """GET / one at a time, 20 a second, for the window: (latencies of whole
    replies, timeouts, other failures)."""
    latencies, timeouts, errors = [], 0, 0
    end = time.monotonic() + seconds
    while time.monotonic() < end and server.process.poll() is None:
        t0 = time.monotonic()
        try:
            k.parse_reply(k.exchange(server.port, k.get_request(""), TIMEOUT))
            latencies.append(time.monotonic() - t0)
            time.sleep(max(0.0, 0.05 - latencies[-1]))
        except socket.timeout:
            timeouts += 1
        except (OSError, k.Failure):
            errors += 1
            time.sleep(0.05)
    return latencies, timeouts, errors


def ms(values, p):
    if not values:
        return "n/a"
    ordered = sorted(values)
    return f"{ordered[max(0, math.ceil(p * len(ordered)) - 1)] * 1000:.2f}"


def mib(kib):
    return "n/a" if kib is None else f"{kib / 1024:.1f} MiB"


def scenario(label, server, counts, seconds):
    pid, total = server.process.pid, sum(counts.values())
    fds_before, rss_before = fd_count(pid), status_kib(pid, "VmRSS")
    hostile = Hostile(server.port, counts)
    hostile.start()
    settle = time.monotonic() + SETTLE
    while hostile.open < total and time.monotonic() < settle:
        time.sleep(0.05)
    at_start, samples, halt = hostile.open, [], threading.Event()
    watcher = threading.Thread(target=watch, args=(pid, hostile, samples, halt), daemon=True)
    watcher.start()
    quiet0, q0 = cpu_seconds(pid), time.monotonic()
    time.sleep(QUIET)  # the hostile connections alone
    quiet1, quiet_wall = cpu_seconds(pid), time.monotonic() - q0
    cpu0, t0 = cpu_seconds(pid), time.monotonic()
    latencies, timeouts, errors = normal_client(server, seconds)
    wall, cpu1 = time.monotonic() - t0, cpu_seconds(pid)
    hwm = status_kib(pid, "VmHWM")
    halt.set()
    watcher.join()
    hostile.halt.set()
    hostile.join()
    time.sleep(2)
    fds_after = fd_count(pid)
    rss, fds, still_open = zip(*samples) if samples else ([None], ["n/a"], ["n/a"])
    kinds = ", ".join(f"{n} {kind}" for kind, n in counts.items())
    out = [
        f"hostile connections: {kinds}; open at window start {at_start} of {total}, "
        f"fewest open during it {min(still_open)}",
        "closed by the server (then reopened): " + ", ".join(f"{kd} {n}" for kd, n in hostile.closed.items())
        + "; failed connects: " + ", ".join(f"{kd} {n}" for kd, n in hostile.failed.items()),
        f"normal GET /: {len(latencies) + timeouts + errors} requests in {wall:.1f} s, "
        f"{timeouts + errors} failed ({timeouts} timed out after {TIMEOUT:.0f} s)",
        f"latency of answered requests (ms): p50 {ms(latencies, 0.5)}, p99 {ms(latencies, 0.99)}, "
        f"max {ms(latencies, 1.0)}",
        "server CPU, hostile connections alone: "
        + ("n/a" if None in (quiet0, quiet1) else f"{100 * (quiet1 - quiet0) / quiet_wall:.1f} % of one core")
        + "; with the normal client too: "
        + ("n/a" if None in (cpu0, cpu1) else f"{100 * (cpu1 - cpu0) / wall:.1f} %"),
        f"server memory: VmRSS {mib(rss_before)} before, {mib(max(rss))} at most "
        f"during; VmHWM {mib(hwm)}",
        f"server descriptors: {fds_before} before, {max(fds)} at most during, "
        f"{'n/a' if fds_after is None else fds_after} 2 s after the hostile connections closed",
    ]
    for line in out:
        print(f"{label}: {line}", flush=True)


def raise_fd_limit(wanted):
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    try:
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    except (ValueError, OSError):  # an unlimited hard limit: ask for what is needed
        resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, wanted), hard))
    return resource.getrlimit(resource.RLIMIT_NOFILE)[0]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--idle", type=int, default=1000)
    parser.add_argument("--trickle", type=int, default=200)
    parser.add_argument("--readers", type=int, default=10)
    parser.add_argument("--seconds", type=float, default=10.0)
    args = parser.parse_args()
    program = k.program_path(args.program)

    board = k.Board("hostile")
    server = k.Server(program, board.path)
    died = False
    try:
        # The server starts before the limit is raised, so it keeps the limit it would normally get.
        server.launch()
        pid = server.process.pid
        most = max(args.idle + args.trickle, args.readers, 1)
        limit = raise_fd_limit(most + SPARE_FDS)
        if most + SPARE_FDS > limit:
            room = max(0, limit - SPARE_FDS)
            scale = min(1.0, room / max(args.idle + args.trickle, 1))
            args.idle, args.trickle = int(args.idle * scale), int(args.trickle * scale)
            args.readers = min(args.readers, room)
            print(f"note: the descriptor limit is only {limit}; lowered to {args.idle} idle, "
                  f"{args.trickle} trickling, {args.readers} readers")

        html = os.path.join(board.path, "DATA", "HTML")
        os.makedirs(html, exist_ok=True)
        with open(os.path.join(html, "big.png"), "wb") as f:
            f.write(os.urandom(BIG_SIZE))
        k.parse_reply(k.exchange(server.port, k.get_request(""), TIMEOUT))
        with open(f"/proc/{pid}/limits") as f:
            server_limit = next((line.split()[3] for line in f if line.startswith("Max open files")), "?")
        print(f"program: {program} on {k.HOST}:{server.port}, window {args.seconds:g} s per scenario")
        print(f"descriptor limit: this script {limit}, the server {server_limit}")
        # Not a condition of the run, but a reader scenario means little if the file is not served whole.
        reply = k.exchange(server.port, k.get_request("big.png"), TIMEOUT)
        body = reply[reply.find(b"\n\n") + 2:] if b"\n\n" in reply else b""
        print(f"GET /big.png unhindered: {len(body)} of {BIG_SIZE} bytes, "
              + ("whole" if reply.startswith(b"HTTP/1.0 200 OK\n") and len(body) == BIG_SIZE else "NOT WHOLE"))
        scenario("A idle", server, {"idle": args.idle, "trickle": args.trickle}, args.seconds)
        if server.process.poll() is None:
            scenario("B slow readers", server, {"reader": args.readers}, args.seconds)
        died = server.process.poll() is not None
    except (k.Failure, OSError) as e:
        died = server.process is not None and server.process.poll() is not None
        print(f"error: {e!r}", file=sys.stderr)
        if not died:
            return 2
    finally:
        if server.process is not None:
            try:
                server.stop()
            except k.Failure:
                server.kill()
        board.close(keep=False)
    if died:
        print(f"the server died (exit status {server.process.returncode}): {server.text()[-500:]!r}")
        return 1
    print("the server survived both scenarios")
    return 0


if __name__ == "__main__":
    sys.exit(main())
