#!/usr/bin/env python3
"""The feed read by readers nobody here wrote: Debian's python3-feedparser (no warning, every field as typed,
newest first, 50 entries across a page boundary, ids kept after posts, a deletion and a restart) and newsboat
(headless, its unread count before and after a post); a private board's secret address from the console, and a
new one ending the old."""
import os, re, subprocess, sys, time

try:
    import feedparser
except ImportError:  # the system's Python has it where another one runs first
    if os.path.exists("/usr/bin/python3") and sys.executable != "/usr/bin/python3":
        os.execv("/usr/bin/python3", ["/usr/bin/python3"] + sys.argv)
    print("SKIP: no python3-feedparser (tools/install-deps --test installs it)")
    sys.exit(77)
import komorebi as k

SECRET = r"wbk_feed_[0-9a-f]{32}\.xml"  # a private board's feed address


def entries(port, path="wbk_feed.xml"):
    parsed = feedparser.parse(k.parse_reply(k.exchange(port, k.get_request(path)))[1])
    k.check(not parsed.bozo, f"{path}: feedparser warns: {parsed.get('bozo_exception')}")
    return parsed.entries


def unread(home, port):
    with open(home + "/urls", "w") as f:
        f.write(f"http://127.0.0.1:{port}/wbk_feed.xml\n")
    out = subprocess.run(["newsboat", "-u", home + "/urls", "-c", home + "/cache.db", "-C", "/dev/null",
                          "-x", "reload", "print-unread"], env=dict(os.environ, HOME=home),
                         capture_output=True, text=True, timeout=60).stdout
    return int(re.match(r"(\d+) unread articles", out).group(1))


def start(server):
    server.launch(wait=False)
    server.command("start")
    k.check(server.wait_listening(seconds=15), "the board did not start")


def main():
    program = k.program_path(sys.argv[sys.argv.index("--program") + 1])
    if not os.access("/usr/bin/newsboat", os.X_OK):
        print("SKIP: no newsboat (tools/install-deps --test installs it)")
        return 77
    board = k.Board("feed")
    server = k.Server(program, board.path, console=True)
    ok = False
    try:
        start(server)
        cookie = k.login(server.port)
        for n in range(1, 104):
            k.post(server.port, cookie, "n", f"t{n}", f"x{n}")
        k.post(server.port, cookie, "名前&#128512;<b>", "題名<b>太字</b>&amp;", "一行目\r\n<b>二行目</b> &#128512;\r\n")
        first = entries(server.port)
        got = (len(first), [e.title for e in first[1:4]], first[0].author, first[0].title, first[0].content[0].value,
               first[0].link.rsplit("/", 1)[1])
        k.check(got == (50, ["t103", "t102", "t101"], "名前😀<b>", "題名<b>太字</b>&amp;", "一行目\n<b>二行目</b> 😀",
                        "wbk_phone_2.html#m4"), f"not the newest 50, newest first, as typed: {got}")
        k.check(unread(board.path, server.port) == 50, "newsboat's first unread count")
        k.post(server.port, cookie, "n", "t105", "x105")
        k.check(unread(board.path, server.port) == 51, "newsboat's count after a post")
        server.command("delete 2 3\ny\nquit\ny")  # t103, the third newest of page 2
        server.process.wait(10)
        open(os.path.join(board.path, "DATA", "settings.ini"), "ab").write(b"private=1\r\n")
        start(server)
        server.command("feed")
        deadline = time.monotonic() + 5
        while not re.search(SECRET, server.text()) and time.monotonic() < deadline:
            time.sleep(0.05)
        secret = re.findall(SECRET, server.text())[-1]
        ids, later = [e.id for e in first], [e.id for e in entries(server.port, secret)]
        k.check(later[1:3] == ids[:1] + ids[2:3] and later[3:] == ids[3:50], "the ids changed after a deletion and a restart")
        server.command("feed new\ny")
        time.sleep(0.5)
        k.check(b"Not found" in k.parse_reply(k.exchange(server.port, k.get_request(secret)))[1],
                "the old secret address still answers")
        ok = True
        print("feed: feedparser and newsboat read the feed; ids and secret addresses hold")
        return 0
    finally:
        server.command("quit\ny")
        server.kill()
        board.close(keep=not ok)


if __name__ == "__main__":
    sys.exit(main())
