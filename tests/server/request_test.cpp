#include <gtest/gtest.h>

#include "server/request.h"

TEST(RequestReading, CompleteWhenHeadersAndTheDeclaredBodyHaveArrived) {
    EXPECT_FALSE(server::request_complete("GET / HTTP/1.0\r\n"));
    EXPECT_TRUE(server::request_complete("GET / HTTP/1.0\r\n\r\n"));
    EXPECT_TRUE(server::request_complete("GET / HTTP/1.0\n\n"));
    EXPECT_FALSE(server::request_complete("POST / HTTP/1.0\r\ncontent-length: 5\r\n\r\nabc"));
    EXPECT_TRUE(server::request_complete("POST / HTTP/1.0\r\ncontent-length: 5\r\n\r\nabcde"));
    EXPECT_TRUE(server::request_complete(std::string(100, 'x'), 100)) << "a full buffer is all there is";
    EXPECT_FALSE(server::request_complete("POST / HTTP/1.0\r\nContent-Length: 99999999999999999999\r\n\r\nx", 200));
}

TEST(RequestReading, RequestLineGivesMethodAndPath) {
    auto line = server::parse_request_line("GET /a/b.html?x=1 HTTP/1.0\r\n");
    EXPECT_EQ(line.method, "GET");
    EXPECT_EQ(line.path, "a/b.html");
    EXPECT_TRUE(line.has_path);
    EXPECT_EQ(server::parse_request_line("GET / HTTP/1.0").path, "");
    EXPECT_FALSE(server::parse_request_line("GET").has_path);
    EXPECT_EQ(server::request_body("POST / HTTP/1.0\r\nA: b\r\n\r\nid=1"), "id=1");
    EXPECT_EQ(server::request_body("POST / HTTP/1.0\r\nA: b\r\n"), "");
    // The query, the User-Agent and the layout cookie, as views of the text.
    server::Request r = server::parse_request(
        "GET /?phone HTTP/1.0\r\nUser-Agent:  Mozilla (iPhone) \r\nCookie: SESSIONID=1; VIEW=pc\r\n\r\n", "127.0.0.1");
    EXPECT_EQ(r.path, "");
    EXPECT_EQ(r.query, "phone");
    EXPECT_EQ(r.user_agent, "Mozilla (iPhone)");
    EXPECT_EQ(r.view_cookie, "pc");
    EXPECT_EQ(r.session_cookie, "1");
    EXPECT_EQ(server::parse_request("GET /a.html?x=1&y=?2 HTTP/1.0\r\n\r\n", "").query, "x=1&y=?2");
    EXPECT_EQ(server::parse_request("GET /a?b\r\n\r\n", "").query, "b") << "a request line without a version";
    EXPECT_EQ(server::parse_request("GET /a HTTP/1.0?b\r\n\r\n", "").query, "") << "after the target";
    EXPECT_EQ(server::parse_request("GET /a? HTTP/1.0\r\n\r\n", "").query, "");
    EXPECT_EQ(server::parse_request("GET /a HTTP/1.0\r\n\r\n", "").user_agent, "");
}

TEST(SessionCookie, IsReadAsACookieAmongCookies) {
    EXPECT_EQ(server::session_cookie("GET / HTTP/1.0\r\nCookie: SESSIONID=812\r\n\r\n"), "812");
    EXPECT_EQ(server::session_cookie("GET / HTTP/1.0\nCookie: SESSIONID=812\n\n"), "812");
    EXPECT_EQ(server::session_cookie("GET / HTTP/1.0\r\ncookie: lang=ja; SESSIONID=812\r\n\r\n"), "812");
    EXPECT_EQ(server::session_cookie("GET / HTTP/1.0\r\nCookie: XSESSIONID=1; SESSIONID=2;\r\n\r\n"), "2");
    EXPECT_EQ(server::session_cookie("GET / HTTP/1.0\r\nCookie: SESSIONID=\r\n\r\n"), std::nullopt);
    EXPECT_EQ(server::session_cookie("GET / HTTP/1.0\r\nX-Cookie: SESSIONID=5\r\n\r\n"), std::nullopt);
    EXPECT_EQ(server::session_cookie("GET / HTTP/1.0\r\n\r\nCookie: SESSIONID=5"), std::nullopt) << "not in the body";
}

TEST(ForwardedClient, BelievedOnlyFromTheTrustedProxy) {
    const std::optional<std::string> proxy = std::string("127.0.0.1");
    auto client = [&](const std::string& headers, const std::string& peer, std::optional<std::string> trusted) {
        std::string text = "POST /wbk_login.cgi HTTP/1.0\r\n" + headers + "\r\n";
        server::Request r = server::parse_request(text, peer, trusted);
        return r.ClientAddress + " " + r.scheme;
    };
    std::string forwarded = "X-Forwarded-For: 10.9.9.9, 192.0.2.7\r\nX-Forwarded-Proto: https\r\n";
    EXPECT_EQ(client(forwarded, "127.0.0.1", proxy), "192.0.2.7 https") << "the address the proxy itself added";
    EXPECT_EQ(client("x-forwarded-for: 10.9.9.9\r\nX-Forwarded-For: 192.0.2.8\r\n", "127.0.0.1", proxy),
              "192.0.2.8 http") << "the last header's last address";
    EXPECT_EQ(client(forwarded, "192.0.2.50", proxy), "192.0.2.50 http") << "another peer chooses nothing";
    EXPECT_EQ(client(forwarded, "127.0.0.1", std::nullopt), "127.0.0.1 http") << "no proxy set: as before";
    EXPECT_EQ(client("X-Forwarded-For: unknown\r\nX-Forwarded-Proto: ftp\r\n", "127.0.0.1", proxy), "127.0.0.1 http");
    EXPECT_EQ(client("X-Forwarded-For: 192.0.2.7:5555\r\n", "127.0.0.1", proxy), "127.0.0.1 http");
    EXPECT_EQ(client(std::string("X-Forwarded-For: 192.0.2.7\0AAAA\r\n", 33), "127.0.0.1", proxy), "127.0.0.1 http")
        << "nothing after a NUL goes unchecked into the session and record lines";
    EXPECT_EQ(client("", "127.0.0.1", proxy), "127.0.0.1 http");
    EXPECT_EQ(client("X-Forwarded-For: 192.0.2.7, 2001:DB8:0::66\r\n", "::1", "::1"), "2001:db8::66 http");
}
