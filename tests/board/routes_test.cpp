#include <gtest/gtest.h>

#include "board/pages.h"
#include "board/paths.h"
#include "board/deletion.h"
#include "board/views/feed.h"
#include "board/views/phone.h"
#include "board/routes.h"
#include "board/session.h"
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

// The phone view. Desktop browsers and requests without a User-Agent keep
// every byte; phone and tablet browsers get the phone pages.
namespace {
const char* const kDesktopAgents[] = {
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/126.0.0.0 Safari/537.36",
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 14.5; rv:127.0) Gecko/20100101 Firefox/127.0",
    "Mozilla/5.0 (X11; Linux x86_64) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/126.0 Safari/537.36",
    "curl/8.5.0"};
const char* const kPhoneAgents[] = {
    "Mozilla/5.0 (iPhone; CPU iPhone OS 17_5 like Mac OS X) AppleWebKit/605.1.15 Version/17.5 Mobile/15E148",
    "Mozilla/5.0 (iPad; CPU OS 17_5 like Mac OS X) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.5",
    "Mozilla/5.0 (Linux; Android 14; Pixel 8) AppleWebKit/537.36 (KHTML, like Gecko) Chrome/126.0 Mobile",
    "Mozilla/5.0 (Android 14; Mobile; rv:127.0) Gecko/127.0 Firefox/127.0"};
}  // namespace

TEST_F(Routes, DesktopAndAgentlessRequestsKeepTheirBytesAndPhonesGetThePhoneView) {
    b.random = [] { return std::uint64_t{811}; };  // the cookie 812
    std::string agent;
    auto exchange = [&](const std::string& target_or_action, const std::string& body, const std::string& headers) {
        std::string ua = agent.empty() ? "" : "User-Agent: " + agent + "\r\n";
        if (body.empty() && target_or_action.front() == '/')
            return run("GET " + target_or_action + " HTTP/1.0\r\n" + ua + headers + "\r\n").all();
        return run(post_request(target_or_action, body, ua + headers)).all();
    };
    // The road of a visitor: each reply that can be the phone view.
    auto road = [&] {
        b.guessing.clear();  // one wrong login a road: no road is paused
        std::vector<std::string> replies;
        replies.push_back(exchange("/", "", ""));
        replies.push_back(exchange("/index.html", "", ""));
        replies.push_back(exchange("wbk_login.cgi", "id=quietharborlights&password=wrong", ""));
        replies.push_back(exchange("wbk_login.cgi", "id=quietharborlights&password=quietharborlights", ""));
        replies.push_back(exchange("wbk_write.cgi", "name=a&title=b&text=c", "Cookie: SESSIONID=812\r\n"));
        replies.push_back(exchange("wbk_write.cgi", "name=a&title=&text=c", "Cookie: SESSIONID=812\r\n"));
        replies.push_back(exchange("wbk_reload.cgi", "", "Cookie: SESSIONID=812\r\n"));
        replies.push_back(exchange("wbk_reload.cgi", "", ""));
        replies.push_back(exchange("wbk_logout.cgi", "", "Cookie: SESSIONID=812\r\n"));
        return replies;
    };
    std::vector<std::string> agentless = road();
    EXPECT_EQ(reply_body(agentless[0]), expected_page("login_page.html"));
    const std::string chosen_pc_login = board::with_phone_view_link(reply_body(agentless[0]));
    EXPECT_NE(chosen_pc_login.find("<hr>\r\n<p><a href='./?phone'>" + sjis(u8"スマートフォン用の表示") + "</a></p>\r\n</body>"),
              std::string::npos);
    EXPECT_NE(agentless[3].find("Set-Cookie: SESSIONID=812;\n"), std::string::npos);
    EXPECT_EQ(reply_body(agentless[4]), read_file(board::paths::kMainPage));
    for (const char* desktop : kDesktopAgents) {
        agent = desktop;
        EXPECT_FALSE(board::phone_browser(agent)) << agent;
        EXPECT_EQ(road(), agentless) << agent;
    }
    const std::string& phone_login = board::phone_login_page();
    for (const char* phone : kPhoneAgents) {
        agent = phone;
        EXPECT_TRUE(board::phone_browser(agent)) << agent;
        std::vector<std::string> replies = road();
        for (size_t i : {0, 1, 2, 7, 8}) EXPECT_EQ(reply_body(replies[i]), phone_login) << agent << " reply " << i;
        EXPECT_NE(replies[3].find("Set-Cookie: SESSIONID=812;\n"), std::string::npos) << "the login reply's cookie";
        for (size_t i : {3, 5, 6})
            EXPECT_NE(reply_body(replies[i]).find(sjis(u8"<title>コモレビ　－1－</title>")), std::string::npos)
                << agent << " reply " << i;
        // The post goes on to the new message, numbered as the owner's notice numbers it.
        EXPECT_EQ(replies[4], "HTTP/1.0 303 See Other\nLocation: wbk_phone_1.html?posted#m" +
                                  std::to_string(b.MessageNo) + "\nContent-Length: 0\n\n");
        // A phone that chose the desktop layout gets it, with a way back on the
        // login page; a desktop may choose the phone's.
        EXPECT_EQ(reply_body(exchange("/", "", "Cookie: VIEW=pc\r\n")), chosen_pc_login);
        EXPECT_EQ(exchange("wbk_login.cgi", "id=quietharborlights&password=quietharborlights", "Cookie: VIEW=pc\r\n"),
                  agentless[3]);
        EXPECT_EQ(exchange("wbk_reload.cgi", "", "Cookie: VIEW=pc; SESSIONID=812\r\n"), agentless[6]);
    }
    agent = kDesktopAgents[0];
    EXPECT_EQ(reply_body(exchange("/", "", "Cookie: VIEW=phone\r\n")), phone_login);
    EXPECT_EQ(exchange("/?pc", "", ""), "HTTP/1.0 200 OK\nSet-Cookie: VIEW=pc;\nContent-Type: text/html\nContent-Length: " +
                                            std::to_string(chosen_pc_login.size()) + "\n\n" + chosen_pc_login);
    std::string chosen = exchange("/?phone", "", "");
    EXPECT_EQ(chosen.substr(0, 40), "HTTP/1.0 200 OK\nSet-Cookie: VIEW=phone;\n");
    EXPECT_EQ(reply_body(chosen), phone_login);
    // The owner's switch: with the phone view off every browser gets the desktop bytes.
    b.PhoneView = 0;
    for (const char* phone : kPhoneAgents) {
        agent = phone;
        EXPECT_EQ(road(), agentless) << agent;
        EXPECT_EQ(exchange("/?phone", "", ""), agentless[0]);
        EXPECT_EQ(exchange("/wbk_phone_1.html", "", ""), not_found);
    }
}

TEST_F(Routes, TheViewIsDecidedFromTheSettingTheQueryTheCookieAndTheAgent) {
    using board::View;
    // The cases the visitors' roads above do not take: the query over the cookie, the cookie over the agent.
    const struct { bool on; const char* target; const char* cookie; bool phone_agent; View view; } cases[] = {
        {true, "/", "VIEW=pc", false, View::ChosenPc}, {true, "/", "VIEW=other", true, View::Phone},
        {true, "/?pc", "VIEW=phone", true, View::ChosenPc}, {true, "/?phone", "VIEW=pc", false, View::Phone},
        {true, "/?x", "VIEW=pc", true, View::ChosenPc}, {false, "/?phone", "VIEW=phone", true, View::Described},
        {false, "/", "VIEW=pc", true, View::Described}};
    for (const auto& [on, target, cookie, phone_agent, view] : cases) {
        b.PhoneView = on;
        std::string text = std::string("GET ") + target + " HTTP/1.0\r\nCookie: " + cookie + "\r\n" +
                           (phone_agent ? "User-Agent: Mozilla/5.0 (Linux; Android 14) Mobile\r\n\r\n" : "\r\n");
        EXPECT_EQ(board::view_of(b, server::parse_request(text, "127.0.0.1")), view) << text;
    }
}

TEST_F(Routes, PhonesGetAPausedLoginPageOfTheirOwnAndDesktopsKeepTheirBytes) {
    auto wrong = [&](const std::string& agent) { return reply_body(run(post_request("wbk_login.cgi", "id=a&password=b", agent)).all()); };
    for (int i = 0; i < 5; ++i) wrong("User-Agent: Mozilla/5.0 (iPhone) Mobile\r\n");
    EXPECT_EQ(wrong("User-Agent: Mozilla/5.0 (iPhone) Mobile\r\n"), board::phone_paused_login_page(1));
    EXPECT_EQ(wrong(""), board::paused_login_page_text(1));
}

TEST_F(Routes, PhonePagesComeFromTheStoredPagesOnTheEventLoopAndWriteNothing) {
    // A board of 1000 pages: the menu links them newest first.
    make_dirs("DATA/HTML");
    std::string links;
    for (int page = 1000; page >= 1; --page) links += board::page_link_line(page);
    std::string menu = board::rewrite_text(board::menu_template_text(),
                                           {board::Section{board::kPageLinkStart, board::kPageLinkEnd, links,
                                                           board::SectionMode::Replace}});
    write_file(board::paths::kMenuPage, menu);
    // Two messages, newest first, and a line a hand edit left.
    const std::string section = sjis(
        u8"<p>時間　：　2011年4月28日0時7分00秒</p>\r\n<p>名前　：　n2\r\n</p>\r\n<p>題名　：　t&amp;2\r\n</p>\r\n"
        u8"<p>内容　：　a&lt;b&gt;</br>c</p>\r\n<hr>\r\n"
        u8"<p>時間　：　2011年4月28日0時6分25秒</p>\r\n<p>名前　：　n1\r\n</p>\r\n<p>題名　：　t1\r\n</p>\r\n"
        u8"<p>内容　：　x</p>\r\n<hr>\r\n<p>edited</p>\r\n");
    std::string page500 = board::rewrite_text(board::text_template_text(), {});
    std::string start_line = crlf(std::string(board::kPlainStart));
    page500.insert(page500.find(start_line) + start_line.size(), section);
    write_file(board::text_page_path(500), page500);
    std::vector<std::string> before = list_dir("DATA/HTML");
    std::string menu_before = read_file(board::paths::kMenuPage);

    auto at_once = [&](const std::string& target, const std::string& headers = "") {
        Recorder rec;
        std::string text = "GET " + target + " HTTP/1.0\r\n" + headers + "\r\n";
        EXPECT_TRUE(board::answer_at_once(b, server::parse_request(text, "127.0.0.1"), rec.reply))
            << target << " waited for the board thread";
        return rec.all();
    };
    std::string page = reply_body(at_once("/wbk_phone_500.html"));
    // Each message an article headed by its title, anchored by its place from the oldest.
    const std::string articles = sjis(
        u8"<article id='m2' tabindex='-1'>\n<h2>t&amp;2</h2>\n<p>時間　：　2011年4月28日0時7分00秒</p>\n"
        u8"<p>名前　：　n2\n</p>\n<p>内容　：　a&lt;b&gt;</br>c</p>\n</article>\n<hr>\n"
        u8"<article id='m1' tabindex='-1'>\n<h2>t1</h2>\n<p>時間　：　2011年4月28日0時6分25秒</p>\n"
        u8"<p>名前　：　n1\n</p>\n<p>内容　：　x</p>\n</article>\n<hr>\n<p>edited</p>\n");
    EXPECT_NE(page.find("<hr>\n" + articles + "<hr>\n<form name='formwrite'"), std::string::npos) << page;
    EXPECT_NE(page.find(sjis(u8"<title>コモレビ　－500－</title>")), std::string::npos);
    EXPECT_NE(page.find(sjis(u8"<h1>コモレビ　500ページ</h1>")), std::string::npos);
    EXPECT_EQ(page.find(sjis(u8"投稿しました")), std::string::npos);
    std::string posted = reply_body(at_once("/wbk_phone_500.html?posted"));
    EXPECT_NE(posted.find(sjis(u8"<hr>\n<p class='status' role='status'>投稿しました</p>\n") + articles), std::string::npos);
    // The page links: the newest, the two either side of the shown page, the oldest.
    std::string shown = page.substr(page.find("<nav class='pages'"));
    shown = shown.substr(0, shown.find("</nav>"));
    std::string expected = sjis(u8"<nav class='pages' aria-label='ページ'>ページ：");
    expected += " <a href='wbk_phone_1000.html'>1000</a>" + sjis(u8" …");
    for (int p : {502, 501}) expected += " <a href='wbk_phone_" + std::to_string(p) + ".html'>" + std::to_string(p) + "</a>";
    expected += " <a href='wbk_phone_500.html' aria-current='page'>500</a>";
    for (int p : {499, 498}) expected += " <a href='wbk_phone_" + std::to_string(p) + ".html'>" + std::to_string(p) + "</a>";
    expected += sjis(u8" …") + " <a href='wbk_phone_1.html'>1</a>";
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(board::page_link_window({3, 2, 1}, 3), (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(board::page_link_window({9, 8, 7, 6, 5, 4, 3, 2, 1}, 9), (std::vector<int>{9, 8, 7, 0, 1}));
    EXPECT_EQ(board::page_link_window({9, 8, 7, 6, 5, 4, 3, 2, 1}, 1), (std::vector<int>{9, 0, 3, 2, 1}));
    EXPECT_EQ(board::page_link_window({9, 8, 7, 6, 5, 4, 3, 2, 1}, 12), (std::vector<int>{9, 8, 7, 0, 1}))
        << "a page the menu does not link: the newest ones";

    for (const char* target : {"/wbk_phone_499.html", "/wbk_phone_0.html", "/wbk_phone_0500.html",
                               "/wbk_phone_100000001.html", "/wbk_phone_.html", "/wbk_phone_5x.html"})
        EXPECT_EQ(at_once(target), not_found) << target;
    // Private reading: without a session the phone login page, as for every other page.
    b.PrivateReading = 1;
    make_dirs(board::paths::kSessionDir);
    write_file(board::paths::kSessions, "ipaddress=127.0.0.1:cookieid=6:time=20110428000625\r\n");
    board::load_held_sessions(b);
    EXPECT_EQ(reply_body(at_once("/wbk_phone_500.html")), board::phone_login_page());
    EXPECT_EQ(reply_body(at_once("/wbk_phone_500.html", "Cookie: SESSIONID=5\r\n")), board::phone_login_page());
    EXPECT_NE(reply_body(at_once("/wbk_phone_500.html", "Cookie: SESSIONID=6\r\n")).find(articles), std::string::npos);
    EXPECT_EQ(list_dir("DATA/HTML"), before) << "a phone page writes nothing";
    EXPECT_EQ(read_file(board::paths::kMenuPage), menu_before);
}

// The phone pages' feed link by privacy and token, and the marks of what is
// new since the visitor's previous visit, kept in the SEEN cookie.
TEST_F(Routes, PhonePagesLinkTheFeedAndMarkWhatIsNewSinceThePreviousVisit) {
    int now = 0;
    b.clock = [&now] { return platform::make_local_time(2011, 4, 28, now / 3600, now / 60 % 60, now % 60); };
    b.PhoneView = 1;
    const std::string session_line = logged_in_cookie(b);
    const std::string session = session_line.substr(8, session_line.size() - 10);  // "SESSIONID=<n>"
    auto post = [&](const std::string& title) {
        run(post_request("wbk_write.cgi", "name=n&title=" + title + "&text=x", session_line));
        now += 60;
    };
    std::string seen;  // the browser's SEEN cookie
    auto phone = [&](const std::string& cookies = "", const std::string& query = "") {
        std::string all = run("GET /wbk_phone_1.html" + query + " HTTP/1.0\r\nUser-Agent: Mobi\r\nCookie: " + cookies +
                              (seen.empty() ? "" : "; SEEN=" + seen) + "\r\n\r\n").all();
        size_t at = all.find("Set-Cookie: SEEN=");
        if (at != std::string::npos) seen = all.substr(at + 17, all.find(';', at) - at - 17);
        return reply_body(all);
    };
    for (const char* title : {"t1", "t2"}) post(title);
    std::string first = phone();
    EXPECT_NE(first.find("<link rel=\"alternate\" type=\"application/atom+xml\" title=\"" + sjis(u8"コモレビ") +
                         "\" href=\"wbk_feed.xml\">\n"), std::string::npos) << first;
    EXPECT_EQ(first.find(sjis(u8"新着")), std::string::npos) << "a first visit marks nothing";
    now += 3600;
    for (const char* title : {"t3", "t4"}) post(title);
    for (int again = 0; again < 2; ++again) {  // the visit's first page and one a minute later
        std::string page = phone();
        EXPECT_NE(page.find(sjis(u8"<p class='new'><a href='#m3'>新着 2件</a></p>")), std::string::npos) << page;
        EXPECT_NE(page.find(sjis(u8"<h2><span class='new'>新着</span> t4</h2>")), std::string::npos);
        EXPECT_NE(page.find("<h2>t2</h2>"), std::string::npos);
        now += 60;
    }
    now += 3600;
    EXPECT_EQ(phone().find(sjis(u8"新着")), std::string::npos) << "the next visit has seen them";
    post("t5");
    EXPECT_EQ(phone("", "?posted").find(sjis(u8"新着")), std::string::npos) << "nothing is new to who just posted";
    EXPECT_EQ(phone().find(sjis(u8"新着")), std::string::npos);
    // Private reading: the secret address, to a browser with a session, once the owner made the token.
    b.PrivateReading = 1;
    EXPECT_EQ(phone(session).find("<link rel"), std::string::npos) << "no token yet";
    std::string token = board::new_feed_token(b);
    EXPECT_NE(phone(session).find("href=\"wbk_feed_" + token + ".xml\">"), std::string::npos);
    EXPECT_EQ(phone().find(token), std::string::npos) << "without a session";
}

// The feed: from the stored pages on the event loop, newest first, ids that
// stay, the private board's secret address, and 304 while nothing changed.
TEST_F(Routes, FeedComesFromTheStoredPagesWithIdsThatStay) {
    int second = 0;
    b.clock = [&second] { return platform::make_local_time(2011, 4, 28, 0, 6, second); };
    std::string cookie = logged_in_cookie(b);
    auto post = [&](int n) { run(post_request("wbk_write.cgi", "name=n&title=t" + std::to_string(n) + "&text=a%0D%0Ab", cookie)); };
    auto feed = [&](const std::string& target, const std::string& headers = "") {
        Recorder rec;
        std::string text = "GET " + target + " HTTP/1.0\r\nHost: h:1\r\n" + headers + "\r\n";
        EXPECT_TRUE(board::answer_at_once(b, server::parse_request(text, "127.0.0.1"), rec.reply)) << target;
        return rec.all();
    };
    auto ids = [](const std::string& xml) {
        std::vector<std::string> found;
        for (size_t at = xml.find("<entry>\n<id>"); at != std::string::npos; at = xml.find("<entry>\n<id>", at + 1))
            found.push_back(xml.substr(at + 12, 45));
        return found;
    };
    for (int n = 1; n <= 103; ++n) post(n);
    const long long t0 = platform::make_local_time(2011, 4, 28, 0, 6, 0).epoch_seconds;
    auto since = [t0](long long s) { return "If-Modified-Since: " + server::http_date(t0 + s) + "\r\n"; };
    auto told = [t0](long long s) { return "Last-Modified: " + server::http_date(t0 + s) + "\n"; };
    std::string reply = feed("/wbk_feed.xml");
    EXPECT_EQ(reply.substr(0, reply.find("<?xml")),
              "HTTP/1.0 200 OK\n" + told(-1) + "Content-Type: application/atom+xml; charset=utf-8\nContent-Length: " +
                  std::to_string(reply_body(reply).size()) + "\n\n")
        << "told the second before while the present second may still change it";
    std::vector<std::string> first = ids(reply);
    ASSERT_EQ(first.size(), 50u) << "the newest 50, across the page boundary";
    EXPECT_LT(reply.find("<title type=\"text\">t103<"), reply.find("<title type=\"text\">t102<"));
    EXPECT_NE(reply.find("<link rel=\"alternate\" type=\"text/html\" href=\"http://h:1/wbk_phone_2.html#m3\"/>\n"
                         "<content type=\"text\">a\nb</content>\n</entry>\n<entry>"),
              std::string::npos);
    EXPECT_NE(reply.find("href=\"http://h:1/wbk_phone_1.html#m100\""), std::string::npos);
    // Nothing changed: 304 for the time the reader was told once the second is past.
    second = 1;
    EXPECT_EQ(feed("/wbk_feed.xml", since(0)), "HTTP/1.0 304 Not Modified\n" + told(0) + "\n");
    EXPECT_EQ(reply_body(feed("/wbk_feed.xml", since(-1))), reply_body(reply));
    // More posts and a deletion of an older message: the other entries keep their ids.
    ASSERT_EQ(board::delete_message(b, 2, board::list_page_messages(b, 2).messages[1]).result, board::DeleteResult::Done);
    post(104);
    second = 2;
    std::string after = feed("/wbk_feed.xml", since(0));
    std::vector<std::string> later = ids(after);
    ASSERT_EQ(later.size(), 50u);
    EXPECT_EQ(later[1], first[0]);
    EXPECT_EQ(std::vector<std::string>(later.begin() + 2, later.end()), std::vector<std::string>(first.begin() + 2, first.end()));
    EXPECT_NE(after.find(told(1)), std::string::npos);
    // Private reading: the plain address gets the login page, the secret one the feed.
    b.PrivateReading = 1;
    std::string login_page = reply_body(get("/"));
    EXPECT_EQ(reply_body(feed("/wbk_feed.xml")), login_page);
    const std::string token = board::new_feed_token(b);
    EXPECT_EQ(ids(feed("/" + board::secret_feed_path(token))), later);
    board::new_feed_token(b);
    EXPECT_EQ(feed("/" + board::secret_feed_path(token)), not_found) << "a new token ends the old address";
}

static void set_time_zone(const std::string& zone) {
#ifdef _WIN32
    _putenv_s("TZ", zone.c_str());
    _tzset();
#else
    zone.empty() ? unsetenv("TZ") : setenv("TZ", zone.c_str(), 1);
    tzset();
#endif
}

TEST(FeedText, PageTextBecomesTheCharactersTypedAndTimesGetTheirOffset) {
    const std::pair<const char*, const char*> cases[] = {{u8"漢字&amp;&lt;b&gt;&quot;&#39;", u8"漢字&amp;&lt;b&gt;&quot;'"},
        {u8"&#128512;&#x20BB7;&#X1f600;", u8"😀𠮷😀"}, {u8"a</br>b</br>", "a\nb\n"}, {u8"&#1;\t&#xFFFE;&amp&#;", "   &amp;amp&amp;#;"}};
    for (const auto& [page, feed] : cases) EXPECT_EQ(board::feed_text(sjis(page), true), feed) << page;
    EXPECT_EQ(board::feed_text("a</br>", false), "a&lt;/br&gt;");
    EXPECT_EQ(server::http_date(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(server::parse_http_date("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777);
    EXPECT_EQ(server::parse_http_date("Sunday, 06-Nov-94 08:49:37 GMT"), std::nullopt);
    const std::string kept = std::getenv("TZ") ? std::getenv("TZ") : "";
    set_time_zone("JST-9");
    EXPECT_EQ(board::feed_date_time(sjis(u8"2026年12月8日9時5分7秒")), "2026-12-08T09:05:07+09:00");
    EXPECT_EQ(board::feed_date_time(sjis(u8"2026年13月8日9時5分7秒")), std::nullopt);
    EXPECT_EQ(board::feed_date_time(sjis(u8"2026年12月8日9時5分")), std::nullopt);
    set_time_zone(kept);
}
