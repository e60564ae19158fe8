"""IPv6 visitors (::1, fd00::1, fd00::2) in a network namespace that lasts as long as the test (root, unshare, ip)."""
import contextlib, glob, os, re, shutil, subprocess, sys, time
import komorebi as k

PAUSED = "一時停止".encode("cp932")
GLOBAL = "komorebi: IPv6 on (also listening on IPv6), global address 2001:db8::5\n"
CHANGING = re.compile(rb"cookieid=\d+|\d+:\d+:\d+|" + r"\d+時\d+分\d+秒".encode("cp932"))  # cookies, times


def login(port, source, to="fd00::1", password=k.CREDENTIAL):
    """The session id; "" when the login is refused, None when nothing listens there."""
    request = k.post_request("wbk_login.cgi", [("id", k.CREDENTIAL), ("password", password)])
    with contextlib.suppress(ConnectionRefusedError):
        reply = k.exchange(port, request, to=to, source=source).decode("latin-1")
        return "".join(re.findall(r"SESSIONID=(\d+);", reply))


def files(d, *patterns):
    return b"".join(k.read(d, f) for p in patterns for f in sorted(glob.glob(p, root_dir=d)))


def inside(program):
    root, servers = k.Board("ipv6"), []

    def start(bind, settings):  # every board answers on 127.0.0.1 too (:: takes IPv4)
        d = f"{root.path}/{len(servers)}"
        os.makedirs(d + "/DATA")
        open(d + "/DATA/settings.ini", "wb").write(settings)
        servers.append(k.Server(program, d, options=("--bind", bind)).launch(wait=False))
        for _ in range(500):
            with contextlib.suppress(OSError):
                k.exchange(servers[-1].port, k.get_request(""))
                return servers[-1]
            time.sleep(0.01)
        raise k.Failure(f"no board on {bind}: {servers[-1].text()}")

    try:
        # IPv4 through "--bind ::" leaves the bytes "--bind 127.0.0.1" leaves.
        left = []
        for bind in ("127.0.0.1", "::"):
            server = start(bind, b"log=1\r\npost_limit=0\r\n")
            k.post(server.port, k.login(server.port), "n", "t", "x")
            left.append(CHANGING.sub(b"-", files(server.directory, "DATA/SESSION/session.ini", "DATA/MESSAGE/*.txt", "DATA/LOG/*")))
        k.check(left[0] == left[1] and b"ipaddress=127.0.0.1:-" in left[1], f"IPv4 bytes differ: {left}")

        # Each IPv6 visitor is one of its own for sessions, posts, searches and guesses.
        server = start("::", b"log=1\r\npost_limit=2\r\npost_limit_seconds=30\r\n")
        port, d = server.port, server.directory
        one, two = (login(port, a) for a in ("fd00::1", "fd00::2"))
        sessions = k.read(d, "DATA/SESSION/session.ini")
        k.check(f"ipaddress=[fd00::2]:cookieid={two}:time=".encode() in sessions, f"sessions: {sessions}")
        # The first is not stored: another address's session; the fourth is over fd00::1's limit of two.
        for source, cookie in (("fd00::2", one),) + (("fd00::1", one),) * 3 + (("fd00::2", two),):
            k.post(port, cookie, "n", "t", "x", to="fd00::1", source=source)
        stored = re.findall(rb"ClientIpAddress=(.*)\r\n", files(d, "DATA/MESSAGE/*.txt"))
        k.check(sorted(stored) == [b"fd00::1", b"fd00::1", b"fd00::2"], f"records: {stored}")
        searched = [PAUSED in k.exchange(port, k.get_request("wbk_search.cgi?q=x"), to="fd00::1", source=a)
                    for a in ["fd00::1"] * 11 + ["fd00::2"]]
        k.check(searched == [False] * 10 + [True, False], f"searches paused: {searched}")
        logins = [bool(login(port, a, password=p))
                  for a, p in [("fd00::2", "wrong")] * 6 + [(a, k.CREDENTIAL) for a in ("fd00::2", "fd00::1", "::1")]]
        k.check(logins == [False] * 7 + [True, True], f"logins after fd00::2 guessed: {logins}")
        k.check(" ： IP=fd00::2 : Time=".encode("cp932") in files(d, "DATA/LOG/*"), "no login log line of fd00::2")

        # Without ipv6=1 a board on 127.0.0.1 is on neither ::1 nor fd00::1; with ipv6=1 it also listens on
        # IPv6 (on loopback, ::1 only), and on 0.0.0.0 on every IPv6 address and names the global address.
        for bind, settings, answers, summary in (("127.0.0.1", b"", [False, False], ""),
                                                 ("127.0.0.1", b"ipv6=1\r\n", [True, False], ""),
                                                 ("0.0.0.0", b"ipv6=1\r\n", [True, True], GLOBAL)):
            server = start(bind, settings)
            found = [bool(login(server.port, None, a)) for a in ("::1", "fd00::1")]
            server.kill()
            server._reader.join(5)  # the whole output, with the summary printed at the start
            k.check(found == answers and summary in server.text(),
                    f"{bind} {settings}: logins on ::1 and fd00::1 {found}; {server.text()}")
        return 0
    finally:
        for server in servers:
            server.kill()
        root.close(keep=False)


def main():
    program = k.program_path(sys.argv[sys.argv.index("--program") + 1])
    if "--inside" in sys.argv:  # the veth pair has both ends inside, joined to nothing else
        subprocess.run(["ip", "-batch", "-"], text=True, check=True, input="link set lo up\naddr add fd00::1/128 dev lo\n"
                       "addr add fd00::2/128 dev lo\nlink add d0 type veth peer name d1\nlink set d0 up\nlink set d1 up\n"
                       "addr add 2001:db8::5/64 dev d0 nodad\naddr add fd00::9/64 dev d0 nodad\n")
        return inside(program)
    if os.geteuid() != 0 or not shutil.which("ip") or not shutil.which("unshare"):
        print("SKIP: the IPv6 suite needs root, `unshare` and `ip` for a network namespace of its own")
        return 77
    code = subprocess.run(["unshare", "--net", sys.executable, __file__, "--program", program, "--inside"]).returncode
    print("ipv6 test passed" if code == 0 else "ipv6 test FAILED")
    return code


if __name__ == "__main__":
    sys.exit(main())
