#!/usr/bin/env python3
"""The feed read by readers nobody here wrote: Debian's python3-feedparser
(no warning, every field as typed, newest first, 50 entries across a page
boundary, ids kept after posts, a deletion and a restart) and newsboat
(headless, its unread count before and after a post); a private board's
secret address from the console, and a new one ending the old.

    feed_test.py --program build/komorebi
"""
import argparse, os, re, subprocess, sys, time

try:
    import feedparser
except ImportError:  # the system's Python has it where another one runs first
    if os.path.exists("/usr/bin/python3") and sys.executable != "/usr/bin/python3":
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    print("SKIP: no python3-feedparser (tools/install-deps --test installs it)")
    sys.exit(77)
import komorebi as k

TYPED = [("名前&#128512;<b>", "題名<b>太字</b>&amp;", "一行目\r\n<b>二行目</b> &#128512;\r\n")]


def feed(port, path="wbk_feed.xml"):
    head, body = k.parse_reply(k.exchange(port, k.get_request(path)))
    parsed = feedparser.parse(body)
    k.check(not parsed.bozo, f"{path}: feedparser warns: {parsed.get('bozo_exception')}")
    return head, parsed


def unread(home, port):
    with open(os.path.join(home, "urls"), "w") as f:
        f.write(f"http://127.0.0.1:{port}/wbk_feed.xml\n")
    out = subprocess.run(["newsboat", "-u", home + "/urls", "-c", home + "/cache.db", "-C", "/dev/null",
                          "-x", "reload", "print-unread"], env=dict(os.environ, HOME=home),
                         capture_output=True, text=True, timeout=60).stdout
    return int(re.match(r"(\d+) unread articles", out).group(1))


def say(server, *lines):
    for line in lines:
        server.command(line)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    program = k.program_path(parser.parse_args().program)
    if not os.access("/usr/bin/newsboat", os.X_OK):
        print("SKIP: no newsboat (tools/install-deps --test installs it)")
        return 77
    board = k.Board("feed")
    server = k.Server(program, board.path, console=True)
    ok = False
    try:
        server.launch(wait=False)
        server.command("start")
        k.check(server.wait_listening(seconds=15), "the board did not start")
        cookie = k.login(server.port)
        for n in range(1, 105):
            k.post(server.port, cookie, *(TYPED[0] if n == 104 else ("n", f"t{n}", f"x{n}")))
        head, parsed = feed(server.port)
        entries = parsed.entries
        k.check(len(entries) == 50 and [e.title for e in entries[1:4]] == ["t103", "t102", "t101"],
                f"not the newest 50, newest first: {[e.title for e in entries[:5]]}")
        k.check((entries[0].author, entries[0].title, entries[0].content[0].value) ==
                ("名前😀<b>", "題名<b>太字</b>&amp;", "一行目\n<b>二行目</b> 😀"), f"not as typed: {entries[0]}")
        k.check(entries[0].link.endswith("/wbk_phone_2.html#m4"), entries[0].link)
        ids = [e.id for e in entries]
        home = os.path.join(board.path, "newsboat")
        os.makedirs(home)
        k.check(unread(home, server.port) == 50, "newsboat's first unread count")
        k.post(server.port, cookie, "n", "t105", "x105")
        k.check(unread(home, server.port) == 51, "newsboat's count after a post")
        say(server, "delete 2 3", "y", "quit", "y")  # t103, the third newest of page 2
        server.process.wait(10)
        with open(os.path.join(board.path, "DATA", "settings.ini"), "ab") as f:
            f.write(b"private=1\r\n")
        server.launch(wait=False)
        server.command("start")
        k.check(server.wait_listening(seconds=15), "the board did not start again")
        server.command("feed")
        deadline = time.monotonic() + 5
        while not re.search(r"wbk_feed_[0-9a-f]{32}\.xml", server.text()) and time.monotonic() < deadline:
            time.sleep(0.05)
        secret = re.findall(r"wbk_feed_[0-9a-f]{32}\.xml", server.text())[-1]
        later = [e.id for e in feed(server.port, secret)[1].entries]
        k.check(later[1:3] == ids[:1] + ids[2:3] and later[3:] == ids[3:50],
                "the ids changed after a deletion and a restart")
        say(server, "feed new", "y")
        time.sleep(0.5)
        _, body = k.parse_reply(k.exchange(server.port, k.get_request(secret)))
        k.check(b"Not found" in body, "the old secret address still answers")
        ok = True
        print("feed: feedparser and newsboat read the feed; ids and secret addresses hold")
    finally:
        say(server, "quit", "y")
        server.kill()
        board.close(keep=not ok)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
