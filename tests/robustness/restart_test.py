#!/usr/bin/env python3
"""Restart under load: the program's console gets "start" and "stop" 100
times while a client keeps reading pages and posting. Each start must
listen on the same port again at once and serve, each stop must release it,
no request may hang, the program must not crash, and "quit" (confirmed with
"y") must end it cleanly. Afterwards the board holds every answered post.

    restart_test.py --program build/komorebi [--cycles 100]
"""
import argparse
import os
import random
import socket
import subprocess
import sys
import threading
import time

import komorebi as k

HANG = 8.0  # seconds; the server's request limit is 5


class LoadClient:
    def __init__(self, port):
        self.port = port
        self.cookie = None
        self.stop = threading.Event()
        self.outcomes = {"answered": 0, "refused": 0, "cut": 0}
        self.hangs = []
        self.posted = []   # answered posts
        self.unsure = 0    # posts cut off, which may or may not be stored
        self.errors = []
        self.thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        n = 0
        while not self.stop.is_set():
            n += 1
            is_post = self.cookie is not None and n % 4 == 0
            started = time.monotonic()
            try:
                if is_post:
                    body = k.post(self.port, self.cookie, "負荷", f"題名{n}", f"再起動の合間 {n}", timeout=HANG)
                    if b"wbk_text_" not in body:
                        self.errors.append(f"a post got no main page: {body[:120]!r}")
                    self.posted.append(n)
                else:
                    k.parse_reply(k.exchange(self.port, k.get_request("wbk_input.html"), timeout=HANG))
                self.outcomes["answered"] += 1
            except ConnectionRefusedError:
                self.outcomes["refused"] += 1
                time.sleep(0.002)
            except socket.timeout:
                self.hangs.append(time.monotonic() - started)
            except (OSError, k.Failure):
                # The server stopped while this request waited or was served.
                self.outcomes["cut"] += 1
                if is_post:
                    self.unsure += 1


def taken_port_says_why(program, directory):
    """Without a console, a start on a port another program holds ends the
    program with the address, the port and the system's reason on stderr;
    --dir makes a folder that does not exist yet."""
    holder = socket.socket()
    holder.bind((k.HOST, 0))
    holder.listen(1)
    port = holder.getsockname()[1]
    fresh = os.path.join(directory, "new", "board")
    try:
        done = subprocess.run([program, "--bind", k.HOST, "--port", str(port), "--dir", fresh, "--start",
                               "--no-console"], capture_output=True, timeout=10)
    finally:
        holder.close()
    said = done.stderr.decode("utf-8", "replace")
    k.check(done.returncode != 0, "a start on a taken port ended the program with 0")
    k.check(f"{k.HOST}:{port}" in said and "in use" in said, f"the reason is not given: {said!r}")
    k.check(os.path.isdir(os.path.join(fresh, "DATA")), "--dir did not make the missing folder")


def files_under(directory):
    found = {}
    for root, _, names in os.walk(directory):
        for name in names:
            path = os.path.join(root, name)
            found[os.path.relpath(path, directory)] = k.read(directory, path)
    return found


def second_program_keeps_out(program, server):
    """A second program on the DATA folder of a running one, with or without
    its console, says so and ends with a non-zero code; it changes no file
    and the first one serves on."""
    before = files_under(server.directory)
    for mode in (["--start", "--no-console"], []):
        try:
            done = subprocess.run([program, "--bind", k.HOST, "--port", str(k.free_port()), "--dir",
                                   server.directory] + mode, input=b"", capture_output=True, timeout=5)
        except subprocess.TimeoutExpired:
            raise k.Failure(f"a second program {mode} on the same DATA ran on")
        said = done.stderr.decode("utf-8", "replace")
        k.check(done.returncode != 0, f"a second program {mode} on the same DATA ended with 0")
        k.check("already running" in said, f"a second program {mode} did not say why: {said!r}")
        k.check(files_under(server.directory) == before, f"a second program {mode} changed the board's files")
    k.parse_reply(k.exchange(server.port, k.get_request(""), timeout=HANG))


def run(program, cycles, seed):
    rng = random.Random(seed)
    board = k.Board("restart")
    server = k.Server(program, board.path, port=k.free_port(), console=True)
    passed = False
    started = time.monotonic()
    client = None
    try:
        server.launch(wait=False)
        client = LoadClient(server.port)
        client.thread.start()
        for cycle in range(cycles):
            server.command("start")
            k.check(server.wait_listening(seconds=5.0), f"cycle {cycle}: the port did not listen again after start")
            # The program serves at once after each start.
            k.parse_reply(k.exchange(server.port, k.get_request(""), timeout=HANG))
            if client.cookie is None:
                client.cookie = k.login(server.port)
            time.sleep(rng.uniform(0.01, 0.08))
            server.command("stop")
            k.check(server.wait_not_listening(seconds=5.0), f"cycle {cycle}: stop did not release the port")
            k.check(server.process.poll() is None, f"cycle {cycle}: the program ended: {server.text()!r}")
            k.check(not client.hangs, f"cycle {cycle}: a request hung for {client.hangs} s")
            time.sleep(rng.uniform(0.0, 0.02))

        server.command("start")
        k.check(server.wait_listening(seconds=5.0), "the last start did not listen")
        client.stop.set()
        client.thread.join(HANG + 2)
        k.check(not client.thread.is_alive(), "the client hangs")
        k.check(not client.hangs, f"requests hung: {client.hangs}")
        k.check(not client.errors, f"wrong replies: {client.errors[:3]}")
        k.check(client.outcomes["answered"] > cycles, f"too few answered requests: {client.outcomes}")
        k.check(len(client.posted) > 0, "no post was answered")

        # Every answered post is on the board; cut ones may be.
        message, page = k.counters(board.path)
        stored = (page - 1) * 100 + message
        shown = sum(len(k.text_page_blocks(board.path, q)) for q in range(1, page + 1))
        k.check(len(client.posted) <= stored <= len(client.posted) + client.unsure,
                f"{stored} messages counted for {len(client.posted)} answered and {client.unsure} cut posts")
        k.check(shown == stored, f"{shown} blocks on the pages for {stored} counted messages")

        second_program_keeps_out(program, server)
        server.command("quit")
        server.command("y")
        try:
            code = server.process.wait(10)
        except Exception:
            raise k.Failure("quit did not end the program within 10 s")
        k.check(code == 0, f"the program ended with {code}: {server.text()!r}")
        taken_port_says_why(program, board.path)
        passed = True
    except (k.Failure, OSError) as e:
        print(f"FAILED: {e}\n(seed {seed}; console output ends: {server.text()[-800:]!r})", file=sys.stderr)
    finally:
        if client:
            client.stop.set()
        server.kill()
        board.close(keep=not passed)
    if passed:
        print(f"restart test passed: {cycles} stop and start cycles on port {server.port}, client outcomes "
              f"{client.outcomes}, {len(client.posted)} posts answered, {time.monotonic() - started:.1f} s")
    return 0 if passed else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--cycles", type=int, default=100)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 30)
    return run(k.program_path(args.program), args.cycles, seed)


if __name__ == "__main__":
    sys.exit(main())
