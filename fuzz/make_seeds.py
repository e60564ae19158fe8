#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora: requests as browsers send them.

    fuzz/make_seeds.py            rewrites fuzz/corpus/parse and fuzz/corpus/board

The board target's inputs are one preset byte (the board's starting state,
see Preset in harness.cpp) followed by requests separated by "\\n#next#\\n".
"""
import os
import shutil
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
SEPARATOR = b"\n#next#\n"

# Preset bits: message counter 0/1/99/100 (bits 0-1), page 1/2/99999999/100000000
# (bits 2-3), login log (0x10), a session for cookie 42 (0x20), the hourly
# sweep (0x40), another client address (0x80).
M0, M1, M99, M100 = 0, 1, 2, 3
P1, P2, P_LAST_BUT_ONE, P_LAST = 0, 4, 8, 12
LOG, SESSION, SWEEP, OTHER = 0x10, 0x20, 0x40, 0x80

CHROMIUM = [
    ("Host", "127.0.0.1:53790"),
    ("Connection", "keep-alive"),
    ("Cache-Control", "max-age=0"),
    ("sec-ch-ua", '"Chromium";v="120", "Not?A_Brand";v="8"'),
    ("sec-ch-ua-mobile", "?0"),
    ("sec-ch-ua-platform", '"Linux"'),
    ("Upgrade-Insecure-Requests", "1"),
    ("User-Agent", "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) "
                   "Chrome/120.0.0.0 Safari/537.36"),
    ("Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,"
               "image/apng,*/*;q=0.8,application/signed-exchange;v=b3;q=0.7"),
    ("Sec-Fetch-Site", "same-origin"),
    ("Sec-Fetch-Mode", "navigate"),
    ("Sec-Fetch-User", "?1"),
    ("Sec-Fetch-Dest", "frame"),
    ("Referer", "http://127.0.0.1:53790/wbk_input.html"),
    ("Accept-Encoding", "gzip, deflate, br"),
    ("Accept-Language", "ja,en-US;q=0.9,en;q=0.8"),
]

FIREFOX = [
    ("Host", "127.0.0.1:53790"),
    ("User-Agent", "Mozilla/5.0 (X11; Linux x86_64; rv:115.0) Gecko/20100101 Firefox/115.0"),
    ("Accept", "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8"),
    ("Accept-Language", "ja,en-US;q=0.7,en;q=0.3"),
    ("Accept-Encoding", "gzip, deflate, br"),
    ("Origin", "http://127.0.0.1:53790"),
    ("DNT", "1"),
    ("Connection", "keep-alive"),
    ("Referer", "http://127.0.0.1:53790/"),
    ("Upgrade-Insecure-Requests", "1"),
    ("Sec-Fetch-Dest", "document"),
    ("Sec-Fetch-Mode", "navigate"),
    ("Sec-Fetch-Site", "same-origin"),
    ("Sec-Fetch-User", "?1"),
]


def form(fields):
    """A form body as a Shift_JIS page's form sends it: upper-case escapes, '+' for a blank."""
    return "&".join(k + "=" + urllib.parse.quote_plus(v.encode("cp932"), safe="*-._")
                    for k, v in fields).encode("ascii")


def request(method, path, headers=CHROMIUM, body=b"", cookie=None, line_end=b"\r\n", extra=()):
    lines = [f"{method} /{path} HTTP/1.1".encode()]
    for name, value in list(headers) + list(extra):
        lines.append(f"{name}: {value}".encode())
    if cookie is not None:
        lines.append(f"Cookie: {cookie}".encode())
    if method == "POST":
        lines.append(b"Content-Type: application/x-www-form-urlencoded")
        lines.append(b"Content-Length: " + str(len(body)).encode())
    return line_end.join(lines) + line_end + line_end + body


LOGIN = form([("id", "quietharborlights"), ("password", "quietharborlights"), ("login", "送信")])
WRITE = form([("name", "山田　花子"), ("title", "こんにちは"),
              ("text", "今日は晴れです。\r\n表示のテスト：ソ表能"), ("write", "送信")])
WRITE_SCRIPT = form([("name", "<b>x</b>"), ("title", "\"'&"),
                     ("text", "<script>alert(1)</script><img src=x onerror=alert(2)>"), ("write", "送信")])
COOKIE = "_ga=GA1.1.1; SESSIONID=42; theme=dark"
# A Shift_JIS form sends a character it cannot hold as a numeric character
# reference; the 109-byte reads of the record cut the first one in the text.
WRITE_REFERENCES = form([("name", "&#128512;&#x20BB7;"), ("title", "&#X1F600; &#0; &#xD800; &#65"),
                         ("text", "x" * 105 + "&#128512;\r\n&#1114111;&#1114112;&#x10FFFF;&#12345678;"),
                         ("write", "送信")])


def parse_seeds():
    return {
        "get_root": request("GET", "", FIREFOX),
        "get_main": request("GET", "wbk_main.html"),
        "get_text_query": request("GET", "wbk_text_1.html?reload=1"),
        "get_select": request("GET", "wbk_select_12.cgi"),
        "get_dotdot": request("GET", "../DATA/IDPASSWORD/idpassword.ini"),
        "get_http10_lf": b"GET /wbk_menu.html HTTP/1.0\n\n",
        "login": request("POST", "wbk_login.cgi", FIREFOX, LOGIN),
        "login_split_body": request("POST", "wbk_login.cgi", body=LOGIN)[:-len(LOGIN)],
        "write": request("POST", "wbk_write.cgi", body=WRITE, cookie=COOKIE),
        "write_script": request("POST", "wbk_write.cgi", body=WRITE_SCRIPT, cookie="SESSIONID=42"),
        "write_references": request("POST", "wbk_write.cgi", body=WRITE_REFERENCES, cookie="SESSIONID=42"),
        "write_escapes": request("POST", "wbk_write.cgi",
                                 body=b"name=%41%4g&title=a+b%2B&text=ab%00cd%e3%", cookie="SESSIONID=42"),
        "reload": request("POST", "wbk_reload.cgi", body=form([("reload", "伝言板の表示を更新する")]),
                          cookie="SESSIONID=42"),
        "logout": request("POST", "wbk_logout.cgi", body=form([("logout", "ログアウトします。")]),
                          cookie=" SESSIONID = 42 ;"),
        "two_cookie_headers": request("GET", "wbk_input.html", cookie="a=b", extra=[("Cookie", "SESSIONID=7")]),
        "session_line": b"ipaddress=127.0.0.1:cookieid=42:time=Thu Apr 28 00:06:25 2011\n\x01127.0.0.1\x0142",
    }


def board_seeds():
    def seq(preset, *requests):
        return bytes([preset]) + SEPARATOR.join(requests)

    write = request("POST", "wbk_write.cgi", body=WRITE, cookie=COOKIE)
    long_name = form([("name", "n" * 150), ("title", "t" * 99), ("text", ("x" * 250 + "\r\n") * 3)])
    boundary = form([("name", "n" * 100), ("title", "t" * 99), ("text", "x" * 108 + "\r\n" + "y" * 107 + "\r\r\n")])
    boundary_101 = form([("name", "n" * 98 + "%"), ("title", "t" * 101), ("text", "z" * 1101 + "more")])
    newlines = form([("name", "a\r\nb"), ("title", "c\nd"), ("text", "\r\n" * 40 + "end\r")])
    # Bounds that fall inside a double-byte character: 101 bytes of the title,
    # 100 of the shown name, 1101 of the text.
    wide = form([("name", "n" + "木" * 50), ("title", "木" * 51), ("text", "木" * 551)])
    return {
        "browse": seq(M0, request("GET", "", FIREFOX), request("POST", "wbk_login.cgi", body=LOGIN),
                      write, request("POST", "wbk_reload.cgi", body=b"reload=x", cookie="SESSIONID=42"),
                      request("GET", "wbk_main.html"), request("GET", "wbk_menu.html"),
                      request("GET", "wbk_text_1.html"), request("GET", "wbk_select_1.cgi"),
                      request("POST", "wbk_logout.cgi", body=b"logout=x", cookie="SESSIONID=42"), write),
        "new_page": seq(M100 | P1 | SESSION, write, write, request("GET", "wbk_text_2.html"),
                        request("GET", "wbk_select_2.cgi"), request("GET", "wbk_menu.html")),
        "wrap_to_page_1": seq(M100 | P_LAST | SESSION, write, request("GET", "wbk_text_1.html")),
        "last_pages": seq(M99 | P_LAST_BUT_ONE | SESSION, write, write, write),
        "log_and_wrong_password": seq(M1 | P2 | LOG, request("POST", "wbk_login.cgi",
                                                             body=b"id=quietharborlights&password=wrong"),
                                      request("POST", "wbk_login.cgi", body=LOGIN), write),
        "sweep_and_logout": seq(M0 | SESSION | SWEEP, write, request("POST", "wbk_logout.cgi", body=b"",
                                                                      cookie="SESSIONID=42"), write),
        "other_client": seq(M0 | SESSION | OTHER, write, request("POST", "wbk_login.cgi", body=LOGIN), write),
        "hostile_paths": seq(M0, request("GET", "../DATA/IDPASSWORD/idpassword.ini"),
                             request("GET", "..%2F..%2Fetc%2Fpasswd"), request("GET", "/etc/passwd"),
                             request("GET", "DATA"), request("GET", "."), request("GET", "wbk_main.html?x=1"),
                             b"HEAD / HTTP/1.0\r\n\r\n", b"GET\r\n\r\n"),
        "edge_values": seq(M0 | SESSION,
                           request("POST", "wbk_write.cgi", body=WRITE_SCRIPT, cookie="SESSIONID=42"),
                           request("POST", "wbk_write.cgi", body=WRITE_REFERENCES, cookie="SESSIONID=42"),
                           request("POST", "wbk_write.cgi", body=long_name, cookie="SESSIONID=42"),
                           request("POST", "wbk_write.cgi", body=boundary, cookie="SESSIONID=42"),
                           request("POST", "wbk_write.cgi", body=boundary_101, cookie="SESSIONID=42"),
                           request("POST", "wbk_write.cgi", body=newlines, cookie="SESSIONID=42"),
                           request("POST", "wbk_write.cgi", body=wide, cookie="SESSIONID=42"),
                           request("POST", "wbk_write.cgi", body=b"name=%00&title=t&text=%00x",
                                   cookie="SESSIONID=42"),
                           request("POST", "wbk_write.cgi", body=b"name=a&title=b&text=c%4", cookie="SESSIONID=42")),
    }


def write_dir(name, seeds):
    path = os.path.join(HERE, "corpus", name)
    shutil.rmtree(path, ignore_errors=True)
    os.makedirs(path)
    for file_name, data in seeds.items():
        with open(os.path.join(path, file_name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    write_dir("parse", parse_seeds())
    write_dir("board", board_seeds())
