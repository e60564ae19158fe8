#include <gtest/gtest.h>

#include "board/paths.h"
#include "board/routes.h"
#include "support/test_support.h"

using namespace testing_support;

class Routes : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        load_fresh_board(b);
    }
    Recorder run(const std::string& text) {
        Recorder rec;
        board::respond(b, server::parse_request(text, "127.0.0.1"), rec.reply);
        return rec;
    }
    std::string get(const std::string& target) { return run("GET " + target + " HTTP/1.0\r\n\r\n").all(); }
    board::Board b;
    std::string not_found = "HTTP/1.0 200 OK\nContent-Type: text/html\nContent-Length: 78\n\n" +
                            sjis(u8"<HTML><HEAD><TITLE>エラー</TITLE></HEAD><BODY><H1>Not found</H1></BODY></HTML>");
};

TEST_F(Routes, RootMakesAndServesTheLoginPage) {
    std::string page = expected_page("login_page.html");
    EXPECT_EQ(get("/index.html"), not_found) << "only the root writes it";
    EXPECT_FALSE(file_exists(board::paths::kLoginPage));
    EXPECT_EQ(get("/"), "HTTP/1.0 200 OK\nContent-Type: text/html\nContent-Length: " + std::to_string(page.size()) +
                            "\n\n" + page);
    EXPECT_EQ(read_file(board::paths::kLoginPage), page);
    EXPECT_EQ(reply_body(get("/?x=1")), page);
    EXPECT_EQ(reply_body(get("/index.html")), page);
    write_file(board::paths::kLoginPage, "custom");
    EXPECT_EQ(reply_body(get("/")), "custom") << "an existing login page is served as it is";
}

TEST_F(Routes, FilesGoOutWithTheirTypeAndQueriesAreDropped) {
    make_dirs("DATA/HTML/img");
    write_file("DATA/HTML/wbk_text_1.html", "page");
    write_file("DATA/HTML/img/a.png", "png");
    EXPECT_EQ(get("/wbk_text_1.html?foo=bar"), "HTTP/1.0 200 OK\nContent-Type: text/html\nContent-Length: 4\n\npage");
    EXPECT_EQ(get("/img/a.png"), "HTTP/1.0 200 OK\nContent-Type: image/png\nContent-Length: 3\n\npng");
    EXPECT_EQ(get("/missing.html"), not_found);
}

TEST_F(Routes, NamesHoldingIniGetNotFound) {
    make_dirs("DATA/HTML/x.ini.d");
    write_file("DATA/HTML/a.ini", "secret");
    write_file("DATA/HTML/b.ini.html", "secret");
    write_file("DATA/HTML/x.ini.d/c.html", "secret");
    EXPECT_EQ(get("/a.ini"), not_found);
    EXPECT_EQ(get("/b.ini.html"), not_found);
    EXPECT_EQ(get("/x.ini.d/c.html"), not_found);
    write_file("DATA/HTML/d.INI", "secret");
    write_file("DATA/HTML/e.Ini.html", "secret");
    EXPECT_EQ(get("/d.INI"), not_found) << "in any case";
    EXPECT_EQ(get("/e.Ini.html"), not_found);
}

TEST_F(Routes, NothingOutsideTheHtmlDirectoryIsServed) {
    // Each secret lies where a ".." segment would reach it.
    write_file("outside.html", "secret");
    write_file("DATA/outside.html", "secret");
    make_dirs("DATA/HTML/sub");
    for (const char* target : {"/../outside.html", "/../../outside.html", "/sub/../../outside.html",
                               "/sub/../../../outside.html", "//etc/passwd", "/..\\outside.html", "/C:/x.html",
                               "/a%00.html", "/sub", "/sub/"})
        EXPECT_EQ(get(target), not_found) << target;
    EXPECT_EQ(run("GET /a\tb.html HTTP/1.0\r\n\r\n").all(), not_found);
    EXPECT_EQ(get("/" + std::string(990, 'a')), not_found);
    EXPECT_EQ(board::served_file_name(std::string(989, 'a')), "DATA/HTML/" + std::string(989, 'a'));
    EXPECT_EQ(board::served_file_name("a/..b/c..html"), "DATA/HTML/a/..b/c..html");
    // Harmless here, where a backslash is a name's byte; on Windows it leaves DATA/HTML.
    EXPECT_EQ(board::served_file_name("..\\x.html"), "");
}

TEST_F(Routes, PageSelectSendsNothing) {
    Recorder rec = run("GET /wbk_select_5.cgi HTTP/1.0\r\n\r\n");
    EXPECT_TRUE(rec.sends.empty());
    EXPECT_EQ(b.ShownPage, 5);
    EXPECT_NE(read_file(board::paths::kMenuPage).find(sjis(u8"<p>－5－</p>")), std::string::npos);
}

TEST_F(Routes, OtherMethodsAndUnknownActionsGetNoReply) {
    EXPECT_TRUE(run("HEAD / HTTP/1.0\r\n\r\n").sends.empty());
    EXPECT_TRUE(run("PUT /x.html HTTP/1.0\r\n\r\n").sends.empty());
    EXPECT_TRUE(run("POST /other.cgi HTTP/1.0\r\n\r\nwbk_login.cgi").sends.empty());
    EXPECT_TRUE(run("garbage").sends.empty());
    EXPECT_TRUE(run("").sends.empty());
}

TEST_F(Routes, RoutingFollowsTheRequestLineOnly) {
    std::string login_page = expected_page("login_page.html");
    // A body naming another action or holding "GET /" does not reroute a post.
    Recorder write = run(post_request("wbk_write.cgi", "name=a&title=wbk_login.cgi&text=GET /x"));
    EXPECT_EQ(reply_body(write.all()), login_page) << "no session: the login page, not a login";
    EXPECT_FALSE(file_exists(board::paths::kSessions) && read_file(board::paths::kSessions).size() > 0);
    Recorder get_in_body = run("POST /wbk_logout.cgi HTTP/1.0\r\n\r\nGET /index.html");
    EXPECT_EQ(reply_body(get_in_body.all()), login_page);
}

TEST_F(Routes, FailureGetsTheErrorPage) {
    ASSERT_EQ(std::system("rm -rf DATA/HTML && touch DATA/HTML"), 0);
    std::string reply = get("/");
    EXPECT_NE(reply.find("Content-Length: 170\n"), std::string::npos);
    reply = run(post_request("wbk_logout.cgi", "")).all();
    EXPECT_NE(reply.find("Content-Length: 170\n"), std::string::npos);
}
