#!/usr/bin/env python3
"""Crash safety: the server is killed with SIGKILL at random moments while a
client posts, and restarted each time. After every restart:

- the counters file parses, with values in range;
- every page file exists and holds its markers (the current text page may be
  missing only when the one post that was cut had just started it);
- the current text page holds as many blocks as the counter says, short by at
  most one more message per kill (the message whose post was cut between
  storing and rendering);
- every post the client saw answered is on a page exactly once, no message
  stands twice, and each page lists its messages newest first;
- the board keeps accepting posts, and then the menu links every page.

Every third round kills at a random moment of the post that starts a new
page, the one with the most steps.

    crash_test.py --program build/komorebi [--rounds 50] [--seed N]
"""
import argparse
import random
import re
import sys
import threading
import time

import komorebi as k

TOKEN = re.compile(rb"\[(r\d{3}n\d{5})\]")


class Client:
    """Posts numbered messages; remembers which ones were answered."""

    def __init__(self):
        self.number = 0
        self.acknowledged = []  # tokens, in posting order
        self.cut = []           # tokens of posts sent but not answered
        self.post_seconds = []

    def next_token(self, round_no):
        self.number += 1
        return "r%03dn%05d" % (round_no, self.number)

    def post(self, port, cookie, round_no):
        """True when answered; False when the connection failed or was cut."""
        token = self.next_token(round_no)
        started = time.monotonic()
        try:
            body = k.post(port, cookie, f"名前{self.number}", f"題名 {token}",
                          f"[{token}] 木漏れ日の表示テスト\r\n二行目 <b>&</b>", timeout=10)
        except (OSError, k.Failure):
            self.cut.append(token)
            return False
        k.check(b"wbk_text_" in body, f"a post got no main page: {body[:200]!r}")
        self.post_seconds.append(time.monotonic() - started)
        self.acknowledged.append(token)
        return True

    def typical_post_seconds(self):
        recent = sorted(self.post_seconds[-50:]) or [0.005]
        return recent[len(recent) // 2]


def board_messages(directory, page_count):
    """{page: [tokens newest first]} of every text page that exists."""
    pages = {}
    for page in range(1, page_count + 1):
        try:
            blocks = k.text_page_blocks(directory, page)
        except FileNotFoundError:
            continue
        tokens = []
        for block in blocks:
            labels = [b"<p>" + label.encode("cp932") for label in ("時間　：　", "名前　：　", "題名　：　", "内容　：　")]
            starts = [line for line in block if line.startswith(b"<p>")]
            k.check([s[:len(l)] for s, l in zip(starts, labels)] == labels and len(starts) == 4,
                    f"a malformed block on page {page}: {block!r}")
            found = TOKEN.search(starts[3])
            k.check(found is not None, f"a block without its token on page {page}: {block!r}")
            k.check(b"&lt;b&gt;&amp;&lt;/b&gt;" in starts[3], f"a block's text is not escaped: {starts[3]!r}")
            tokens.append(found.group(1).decode())
        pages[page] = tokens
    return pages


class Checker:
    def __init__(self, directory):
        self.directory = directory
        self.page = None     # the current page at the last check
        self.deficit = 0     # messages counted on it but not shown

    def after_restart(self, client, kills):
        d = self.directory
        message, page = k.counters(d)
        for name in ("index.html", "wbk_main.html", "wbk_menu.html", "wbk_input.html"):
            k.read(d, "DATA/HTML/" + name)
        k.menu_links(d)

        pages = board_messages(d, page)
        for q in range(1, page):
            k.check(q in pages, f"text page {q} is missing")
        cut_new_page = page not in pages
        if cut_new_page:
            k.check(message == 1, f"text page {page} is missing with message counter {message}")
        frame = k.main_frame(d)
        want = [f"<frame src='wbk_text_{page}.html' name='wbk_text'>".encode()]
        older = [f"<frame src='wbk_text_{page - 1}.html' name='wbk_text'>".encode()]
        k.check(frame == want or (message == 1 and frame == older), f"the main page's frame is {frame!r}")

        blocks = len(pages.get(page, []))
        deficit = message - blocks
        base = self.deficit if self.page == page else 0
        k.check(base <= deficit <= base + 1,
                f"page {page}: counter {message}, {blocks} blocks; {base} message(s) were missing before this kill")
        self.page, self.deficit = page, deficit

        seen = {}
        for q, tokens in pages.items():
            for position, token in enumerate(tokens):
                k.check(token not in seen, f"message {token} stands twice (pages {seen.get(token)} and {q})")
                seen[token] = q
            order = [int(t[5:]) for t in tokens]
            k.check(order == sorted(order, reverse=True), f"page {q} is not newest first: {tokens}")
        lost = [t for t in client.acknowledged if t not in seen]
        k.check(not lost, f"answered posts are lost: {lost[:5]}")
        unanswered = [t for t in seen if t not in set(client.acknowledged)]
        k.check(all(t in client.cut for t in unanswered), f"messages nobody posted: {unanswered}")
        k.check(len(unanswered) <= kills, f"{len(unanswered)} unanswered posts shown after {kills} kills")
        return message, page


def run(program, rounds, seed):
    rng = random.Random(seed)
    print(f"crash test: {rounds} rounds, seed {seed}")
    board = k.Board("crash")
    server = k.Server(program, board.path)
    client = Client()
    checker = Checker(board.path)
    passed = False
    started = time.monotonic()
    new_page_cuts = 0
    try:
        server.launch()
        k.exchange(server.port, k.get_request(""))  # the login page, as a browser would
        for round_no in range(rounds):
            cookie = k.login(server.port)
            message, page = k.counters(board.path)
            target_new_page = round_no % 3 == 2
            if target_new_page:
                while k.counters(board.path)[0] != 100:
                    k.check(client.post(server.port, cookie, round_no), "a post failed before any kill")
                delay = rng.uniform(0, 1.3 * client.typical_post_seconds())
            else:
                delay = rng.uniform(0, 0.25)
            pid = server.process.pid
            timer = threading.Timer(delay, lambda: server.process.kill())
            timer.start()
            while client.post(server.port, cookie, round_no):
                pass
            timer.join()
            server.process.wait(10)

            server.launch()
            message, page = checker.after_restart(client, kills=round_no + 1)
            if target_new_page and message == 1:
                new_page_cuts += 1

            # The board keeps accepting posts, and every page is linked.
            cookie = k.login(server.port)
            before = (message, page)
            k.check(client.post(server.port, cookie, round_no), "a post after the restart failed")
            after = k.counters(board.path)
            want = (before[0] + 1, before[1]) if before[0] < 100 else (1, before[1] + 1)
            k.check(after == want, f"the counters went from {before} to {after}")
            top = k.text_page_blocks(board.path, after[1])[0]
            k.check(f"[{client.acknowledged[-1]}]".encode() in b"".join(top),
                    "the post after the restart is not on top of its page")
            links = k.menu_links(board.path)
            for q in range(2, after[1] + 1):
                k.check(k.page_link(q) in links, f"the menu lacks the link to page {q} (after round {round_no})")
            k.check(pid != server.process.pid, "the server was not restarted")
        passed = True
    except (k.Failure, OSError) as e:
        print(f"FAILED in round {round_no}: {e}", file=sys.stderr)
        print(f"(seed {seed}; server output: {server.text()!r})", file=sys.stderr)
    finally:
        server.kill()
        board.close(keep=not passed)
    if passed:
        print(f"crash test passed: {rounds} kills, {len(client.acknowledged)} answered posts, "
              f"{len(client.cut)} cut, {new_page_cuts} kills right after a new page began, "
              f"{time.monotonic() - started:.1f} s")
    return 0 if passed else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--rounds", type=int, default=50)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(1 << 30)
    return run(k.program_path(args.program), args.rounds, seed)


if __name__ == "__main__":
    sys.exit(main())
