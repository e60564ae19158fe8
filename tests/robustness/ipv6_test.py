"""IPv6 visitors (::1, fd00::1, fd00::2) in a network namespace of the test's own (root and ip; deleted at the end)."""
import glob, os, re, shutil, socket, subprocess, sys, tempfile, time
import komorebi as k

PAUSED = "一時停止".encode("cp932")
CHANGING = re.compile(rb"cookieid=\d+|\d+:\d+:\d+|" + r"\d+時\d+分\d+秒".encode("cp932"))  # cookies, times


def ask(port, data, source, to):
    with socket.create_connection((to, port), 10, (source, 0)) as s:
        s.sendall(data)
        return b"".join(iter(lambda: s.recv(65536), b""))


def login(port, source, to, password=k.CREDENTIAL):
    request = k.post_request("wbk_login.cgi", [("id", k.CREDENTIAL), ("password", password)])
    m = re.search(rb"SESSIONID=(\d+);", ask(port, request, source, to))
    return m and m.group(1)


def post(port, cookie, source, to):
    ask(port, k.post_request("wbk_write.cgi", [("name", "n"), ("title", "t"), ("text", "x")], cookie.decode()), source, to)


class Boards:
    def __init__(self, program):
        self.program, self.running, self.port = program, [], 8100

    def start(self, bind, settings, *options, to=None):
        d = tempfile.mkdtemp(prefix="komorebi-ipv6-")
        os.makedirs(d + "/DATA")
        open(d + "/DATA/settings.ini", "wb").write(settings)
        self.port += 1
        p = subprocess.Popen([self.program, "--start", "--no-console", "--bind", bind, "--port", str(self.port),
                              "--dir", d, *options], stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.running.append((p, d))
        to = to or ("::1" if bind == "::" else bind)
        for _ in range(500):
            try:
                ask(self.port, k.get_request(""), "::" if ":" in to else "0.0.0.0", to)
                return d, self.port, p
            except OSError:
                time.sleep(0.01)
        raise k.Failure(f"no board on {bind} port {self.port}")

    def close(self):
        for p, d in self.running:
            p.kill()
            p.wait()
            shutil.rmtree(d, ignore_errors=True)


def files(d, pattern):
    return b"".join(k.read(d, f[len(d) + 1:]) for f in sorted(glob.glob(d + "/" + pattern)))


def inside(program):
    boards = Boards(program)
    try:
        # IPv4 through "--bind ::" leaves the bytes "--bind 127.0.0.1" leaves.
        left = []
        for bind in ("127.0.0.1", "::"):
            d, port, _ = boards.start(bind, b"log=1\r\npost_limit=0\r\n", to="127.0.0.1")
            post(port, login(port, "127.0.0.1", "127.0.0.1"), "127.0.0.1", "127.0.0.1")
            kept = files(d, "DATA/SESSION/session.ini") + files(d, "DATA/MESSAGE/*.txt") + files(d, "DATA/LOG/*")
            left.append(CHANGING.sub(b"-", kept))
        k.check(left[0] == left[1] and b"ipaddress=127.0.0.1:-" in left[1], f"IPv4 bytes differ: {left}")

        # Each IPv6 visitor is one of its own for sessions, posts, searches and guesses.
        d, port, _ = boards.start("::", b"log=1\r\npost_limit=2\r\npost_limit_seconds=30\r\n")
        one, two, own = (login(port, a, "fd00::1") for a in ("fd00::1", "fd00::2", "::1"))
        sessions = k.read(d, "DATA/SESSION/session.ini")
        k.check(b"ipaddress=[fd00::2]:cookieid=" + two + b":time=" in sessions and own, f"sessions: {sessions}")
        post(port, one, "fd00::2", "fd00::1")  # not stored: another address's session
        for source, cookie in (("fd00::1", one),) * 3 + (("fd00::2", two),):
            post(port, cookie, source, "fd00::1")
        stored = re.findall(rb"ClientIpAddress=(.*)\r\n", files(d, "DATA/MESSAGE/*.txt"))
        k.check(sorted(stored) == [b"fd00::1", b"fd00::1", b"fd00::2"], f"records: {stored}")
        searched = [PAUSED in ask(port, k.get_request("wbk_search.cgi?q=x"), a, "fd00::1") for a in ["fd00::1"] * 11 + ["fd00::2"]]
        k.check(searched == [False] * 10 + [True, False], f"searches paused: {searched}")
        [login(port, "fd00::2", "fd00::1", "wrong") for _ in range(6)]
        logins = [bool(login(port, a, "fd00::1")) for a in ("fd00::2", "fd00::1", "::1")]
        k.check(logins == [False, True, True], f"logins after fd00::2 guessed: {logins}")
        k.check(" ： IP=fd00::2 : Time=".encode("cp932") in files(d, "DATA/LOG/*"), "no login log line of fd00::2")

        # Without ipv6=1 a board on 127.0.0.1 is not on ::1.
        d, port, _ = boards.start("127.0.0.1", b"")
        with socket.socket(socket.AF_INET6) as s:
            k.check(s.connect_ex(("::1", port)) != 0, "a board without ipv6=1 answered on ::1")

        # ipv6=1: the board also listens on IPv6 (on loopback, ::1 only) and names the global address.
        d, port, _ = boards.start("127.0.0.1", b"ipv6=1\r\n")
        k.check(login(port, "::1", "::1") and socket.socket(socket.AF_INET6).connect_ex(("fd00::1", port)), "::1 only")
        d, port, p = boards.start("0.0.0.0", b"ipv6=1\r\n", to="127.0.0.1")
        k.check(login(port, "fd00::2", "fd00::1"), "no login over IPv6 with ipv6=1")
        p.kill()
        summary = p.communicate()[0].decode()
        k.check("komorebi: IPv6 on (also listening on IPv6), global address 2001:db8::5" in summary, summary)
        return 0
    finally:
        boards.close()


def main():
    program = k.program_path(sys.argv[sys.argv.index("--program") + 1])
    if "--inside" in sys.argv:
        return inside(program)
    if os.geteuid() != 0 or not shutil.which("ip"):
        print("SKIP: the IPv6 suite needs root and `ip` for a network namespace of its own")
        return 77
    ns = f"komorebi6-{os.getpid()}"
    try:
        subprocess.run(["ip", "netns", "add", ns], check=True)
        # The veth pair has both ends inside, joined to nothing else.
        for command in ("link set lo up", "addr add fd00::1/128 dev lo", "addr add fd00::2/128 dev lo",
                        "link add d0 type veth peer name d1", "link set d0 up", "link set d1 up",
                        "addr add 2001:db8::5/64 dev d0 nodad", "addr add fd00::9/64 dev d0 nodad"):
            subprocess.run(["ip", "-n", ns, *command.split()], check=True)
        code = subprocess.run(["ip", "netns", "exec", ns, sys.executable, __file__, "--program", program, "--inside"]).returncode
    finally:
        subprocess.run(["ip", "netns", "delete", ns])
    print("ipv6 test passed" if code == 0 else "ipv6 test FAILED")
    return code


if __name__ == "__main__":
    sys.exit(main())
