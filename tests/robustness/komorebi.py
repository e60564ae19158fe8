"""Helpers of the robustness suites: the Komorebi program on 127.0.0.1 in a
directory of its own, a raw HTTP/1.0 client, and readers of the board's files.

Standard library only. Connections go to 127.0.0.1 unless the caller names another.
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

HOST = "127.0.0.1"
CREDENTIAL = "quietharborlights"

PLAIN_START = "<!--プログラムポイント　開始//-->".encode("cp932")
PLAIN_END = "<!--プログラムポイント　終了//-->".encode("cp932")
CURRENT_START = "<!--プログラムポイント　現在ページ　開始//-->".encode("cp932")
CURRENT_END = "<!--プログラムポイント　現在ページ　終了//-->".encode("cp932")
UPDATE_START = "<!--プログラムポイント　更新日時　開始//-->".encode("cp932")
UPDATE_END = "<!--プログラムポイント　更新日時　終了//-->".encode("cp932")
LINK_START = "<!--プログラムポイント　ページリンク　開始//-->".encode("cp932")
LINK_END = "<!--プログラムポイント　ページリンク　終了//-->".encode("cp932")


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def program_path(argv_value):
    path = os.path.abspath(argv_value)
    if not os.access(path, os.X_OK):
        raise SystemExit(f"no program at {path}; build it first (make)")
    return path


def free_port():
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def owns_listener(pid, port):
    """True when process pid holds the socket listening on 127.0.0.1:port."""
    want = "0100007F:%04X" % port
    inode = None
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[1] == want and fields[3] == "0A":
                inode = fields[9]
    if inode is None:
        return False
    try:
        fds = os.listdir(f"/proc/{pid}/fd")
    except OSError:
        return False
    for fd in fds:
        try:
            if os.readlink(f"/proc/{pid}/fd/{fd}") == f"socket:[{inode}]":
                return True
        except OSError:
            pass
    return False


def can_connect(port, timeout=0.5):
    try:
        with socket.create_connection((HOST, port), timeout=timeout):
            return True
    except OSError:
        return False


class Server:
    """The program serving a board directory. With console=True it reads
    commands from a pipe (start, stop, quit) instead of starting at once."""

    def __init__(self, program, directory, port=None, console=False, flood_control=False, options=()):
        self.program = program
        self.options = list(options)
        if not flood_control:
            # The suites post faster than a person: a new board gets no post limits.
            settings = os.path.join(directory, "DATA", "settings.ini")
            if not os.path.exists(settings):
                os.makedirs(os.path.dirname(settings), exist_ok=True)
                with open(settings, "wb") as f:
                    f.write(b"post_limit=0\r\npost_limit_hour=0\r\n")
        self.directory = directory
        self.port = port
        self.console = console
        self.process = None
        self.output = []
        self._reader = None

    def launch(self, wait=True):
        """Starts the program; with wait, returns once it listens."""
        for _ in range(5):
            port = self.port or free_port()
            args = [self.program, "--bind", HOST, "--port", str(port), "--dir", self.directory] + self.options
            if not self.console:
                args[1:1] = ["--start", "--no-console"]
            self.process = subprocess.Popen(
                args, stdin=subprocess.PIPE if self.console else subprocess.DEVNULL,
                stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
            self.output = []
            self._reader = threading.Thread(target=self._drain, args=(self.process.stdout,), daemon=True)
            self._reader.start()
            if not wait:
                self.port = port
                return self
            # A start after a kill repairs the pages with synced writes,
            # which a disk busy with other suites can hold for seconds.
            if self.wait_listening(port, 15.0):
                self.port = port
                return self
            if self.process.poll() is None:
                self.kill()
                raise Failure(f"the program did not listen on {HOST}:{port} within 15 s: {self.text()}")
            if self.port:  # a fixed port that would not bind
                raise Failure(f"the program did not start on port {port}: {self.text()}")
        raise Failure("the program did not start on any of five free ports")

    def _drain(self, stream):
        for chunk in iter(lambda: stream.read1(4096), b""):
            self.output.append(chunk)

    def text(self):
        return b"".join(self.output).decode("utf-8", "replace")

    def wait_listening(self, port=None, seconds=5.0):
        port = port or self.port
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                return False
            if owns_listener(self.process.pid, port) and can_connect(port):
                return True
            time.sleep(0.01)
        return False

    def wait_not_listening(self, seconds=5.0):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if not owns_listener(self.process.pid, self.port):
                return True
            time.sleep(0.01)
        return False

    def command(self, line):
        self.process.stdin.write(line.encode() + b"\n")
        self.process.stdin.flush()

    def kill(self):
        """SIGKILL, and wait for the process to be gone."""
        if self.process and self.process.poll() is None:
            self.process.send_signal(signal.SIGKILL)
        if self.process:
            self.process.wait(10)

    def stop(self, seconds=10):
        """SIGTERM; returns the exit code."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
        try:
            return self.process.wait(seconds)
        except subprocess.TimeoutExpired:
            self.kill()
            raise Failure(f"the program did not end within {seconds} s of SIGTERM")


def exchange(port, data, timeout=10.0, to=HOST, source=None):
    """Sends one request and reads until the server closes. Raises OSError
    when the connection fails or is cut, socket.timeout when it hangs."""
    with socket.create_connection((to, port), timeout, source and (source, 0)) as s:
        s.settimeout(timeout)
        s.sendall(data)
        chunks = []
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            chunks.append(chunk)
    return b"".join(chunks)


def parse_reply(reply):
    """(headers text, body) of a whole reply; raises Failure when it is cut short."""
    end = reply.find(b"\n\n")
    check(reply.startswith(b"HTTP/1.0 200 OK\n") and end >= 0, f"not a whole reply: {reply[:200]!r}")
    head = reply[:end + 1].decode("latin-1")
    body = reply[end + 2:]
    m = re.search(r"Content-Length: (\d+)\n", head)
    check(m is not None and int(m.group(1)) == len(body),
          f"reply body of {len(body)} bytes against {m.group(1) if m else 'no'} Content-Length")
    return head, body


def encode_form(fields):
    return "&".join(k + "=" + urllib.parse.quote_plus(v.encode("cp932"), safe="*-._")
                    for k, v in fields).encode("ascii")


def post_request(action, fields, cookie=None):
    body = encode_form(fields)
    head = (f"POST /{action} HTTP/1.1\r\nHost: {HOST}\r\n"
            "User-Agent: Mozilla/5.0 (X11; Linux x86_64) komorebi-robustness\r\n"
            "Accept: text/html,application/xhtml+xml\r\nAccept-Language: ja\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\n")
    if cookie is not None:
        head += f"Cookie: SESSIONID={cookie}\r\n"
    head += f"Content-Length: {len(body)}\r\n\r\n"
    return head.encode("ascii") + body


def get_request(path):
    return f"GET /{path} HTTP/1.0\r\nHost: {HOST}\r\nUser-Agent: komorebi-robustness\r\n\r\n".encode("ascii")


def login(port, timeout=10.0):
    reply = exchange(port, post_request("wbk_login.cgi", [("id", CREDENTIAL), ("password", CREDENTIAL)]),
                     timeout)
    head, _ = parse_reply(reply)
    m = re.search(r"Set-Cookie: SESSIONID=(\d+);", head)
    check(m is not None, f"the login was refused: {head!r}")
    return m.group(1)


def post(port, cookie, name, title, text, timeout=10.0, **where):
    """Posts a message; returns the body of the reply (the main page)."""
    reply = exchange(port, post_request("wbk_write.cgi", [("name", name), ("title", title), ("text", text)],
                                        cookie), timeout, **where)
    return parse_reply(reply)[1]


# ---------------------------------------------------------------------------
# The board's files.

def read(directory, relative):
    with open(os.path.join(directory, relative), "rb") as f:
        return f.read()


def counters(directory):
    """(message, page) from DATA/MESSAGE/0.ini, which must hold exactly its two lines."""
    data = read(directory, "DATA/MESSAGE/0.ini")
    m = re.fullmatch(rb"message=(\d+)\r\npage=(\d+)\r\n", data)
    check(m is not None, f"the counters file does not parse: {data!r}")
    message, page = int(m.group(1)), int(m.group(2))
    check(0 <= message <= 100, f"message counter {message} out of range")
    check(1 <= page <= 100000000, f"page counter {page} out of range")
    return message, page


def lines(data):
    check(data.endswith(b"\r\n"), "a page that does not end in CR LF")
    return data[:-2].split(b"\r\n")


def section(name, data, start, end):
    """The lines between a page's start and end marker, each there exactly once."""
    ls = lines(data)
    check(ls.count(start) == 1 and ls.count(end) == 1, f"{name} does not hold its markers once each")
    a, b = ls.index(start), ls.index(end)
    check(a < b, f"{name} holds its markers in the wrong order")
    return ls[a + 1:b]


def text_page_blocks(directory, page):
    """The message blocks of a text page, newest first, each as its lines."""
    name = f"DATA/HTML/wbk_text_{page}.html"
    blocks, current = [], []
    for line in section(name, read(directory, name), PLAIN_START, PLAIN_END):
        current.append(line)
        if line == b"<hr>":
            blocks.append(current)
            current = []
    check(not current, f"{name} ends its section inside a block")
    return blocks


def page_link(page):
    n = str(page)
    return (f'<a href="javascript:pagelink(\'wbk_select_{n}.cgi\',\'wbk_text_{n}.html\')">{n}</a>').encode()


def menu_links(directory):
    name = "DATA/HTML/wbk_menu.html"
    data = read(directory, name)
    section(name, data, CURRENT_START, CURRENT_END)
    section(name, data, UPDATE_START, UPDATE_END)
    return section(name, data, LINK_START, LINK_END)


def main_frame(directory):
    name = "DATA/HTML/wbk_main.html"
    return section(name, read(directory, name), PLAIN_START, PLAIN_END)


class Board:
    """A fresh board directory, removed at the end unless the suite failed."""

    def __init__(self, prefix):
        self.path = tempfile.mkdtemp(prefix=f"komorebi-{prefix}-")

    def close(self, keep):
        if keep:
            print(f"the board is kept at {self.path}", file=sys.stderr)
        else:
            shutil.rmtree(self.path, ignore_errors=True)
