#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#endif

#include "board/form.h"
#include "board/paths.h"
#include "board/session.h"
#include "board/routes.h"
#include "support/test_support.h"

using namespace testing_support;

namespace {
constexpr board::FieldRules kLogin{101, false};
const std::string kDefault = "id=quietharborlights&password=quietharborlights";

#ifndef _WIN32
// While it lives, no file of this process grows beyond the given size: writes
// fail as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        getrlimit(RLIMIT_FSIZE, &old_);
        rlimit limited = old_;
        limited.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &limited);
        old_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    }
    ~FileSizeLimit() {
        setrlimit(RLIMIT_FSIZE, &old_);
        std::signal(SIGXFSZ, old_handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit old_{};
    void (*old_handler_)(int) = SIG_DFL;
};
#endif
}  // namespace

TEST(FormField, DecodesPlusEscapesAndStopsAtAmpersand) {
    std::string body = "id=%41b+c&password=x%26y";
    EXPECT_EQ(board::form_field(body, "id", kLogin), "Ab c");
    EXPECT_EQ(board::form_field(body, "password", kLogin), "x&y");
}

TEST(FormField, KeysCountOnlyWholeAtAFieldBoundary) {
    EXPECT_EQ(board::form_field("userid=evil&id=me", "id", kLogin), "me");
    EXPECT_EQ(board::form_field("xid=1", "id", kLogin), std::nullopt);
    EXPECT_EQ(board::form_field("id=first&id=second", "id", kLogin), "first");
    EXPECT_EQ(board::form_field("id=&password=x", "id", kLogin), "");
    EXPECT_EQ(board::form_field("id=", "id", kLogin), "");
}

TEST(FormField, LowerCaseAndOtherNonDigitsCountAsZero) {
    EXPECT_EQ(board::form_field("t=%e3", "t", kLogin), std::string(1, '\x03'));
    EXPECT_EQ(board::form_field("t=%41%4g", "t", kLogin), "A@");
}

TEST(FormField, EscapeCutShortByTheEndAddsNothing) {
    EXPECT_EQ(board::form_field("t=ab%4", "t", kLogin), "ab");
    EXPECT_EQ(board::form_field("t=ab%", "t", kLogin), "ab");
}

TEST(FormField, ValuesAreBounded) {
    EXPECT_EQ(board::form_field("id=" + std::string(150, 'a'), "id", kLogin)->size(), 101u);
    std::string wide;
    for (int i = 0; i < 51; ++i) wide += "%82%A0";  // あ
    EXPECT_EQ(board::form_field("id=" + wide, "id", kLogin)->size(), 100u) << "no lead byte without its trail byte";
    EXPECT_EQ(board::form_field("id=a" + wide, "id", kLogin)->size(), 101u);
    EXPECT_EQ(board::form_field("id=a%82", "id", kLogin), "a\x82") << "a value that is not cut keeps its bytes";
}

TEST(SessionLine, MatchesAddressAndCookieExactly) {
    std::string line = "ipaddress=10.0.0.12:cookieid=812:time=Thu Apr 28 02:06:25 2011\n";
    EXPECT_TRUE(board::session_line_matches(line, "10.0.0.12", "812"));
    EXPECT_FALSE(board::session_line_matches(line, "10.0.0.1", "812"));
    EXPECT_FALSE(board::session_line_matches(line, "10.0.0.12", "2"));
    EXPECT_FALSE(board::session_line_matches(line, "10.0.0.12", "81"));
    EXPECT_FALSE(board::session_line_matches(line, "10.0.0.12", ""));
}

class Sessions : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        load_fresh_board(b);
    }
    std::string post(const std::string& action, const std::string& body, const std::string& headers = "",
                     const std::string& client = "127.0.0.1") {
        Recorder rec;
        std::string text = post_request(action, body, headers);
        board::respond(b, server::parse_request(text, client), rec.reply);
        return rec.all();
    }
    static std::string cookie_of(const std::string& reply) {
        size_t at = reply.find("Set-Cookie: SESSIONID=");
        if (at == std::string::npos) return "";
        at += 22;
        return reply.substr(at, reply.find(';', at) - at);
    }
    std::string sessions() { return read_file(board::paths::kSessions); }
    board::Board b;
    std::string login_page = expected_page("login_page.html");
};

TEST_F(Sessions, LoginStoresOneSessionLineAndSendsTheCookie) {
    std::string reply = post("wbk_login.cgi", kDefault, "", "192.168.1.20");
    std::string cookie = cookie_of(reply);
    ASSERT_FALSE(cookie.empty());
    EXPECT_EQ(sessions(), "ipaddress=192.168.1.20:cookieid=" + cookie + ":time=Thu Apr 28 00:06:25 2011\r\n");
    EXPECT_EQ(reply_body(reply), read_file(board::paths::kMainPage));
}

TEST_F(Sessions, TwoLoginsInOneSecondGetDifferentCookies) {
    std::string first = cookie_of(post("wbk_login.cgi", kDefault));
    std::string second = cookie_of(post("wbk_login.cgi", kDefault));
    EXPECT_NE(first, second);
    EXPECT_NE(sessions().find(":cookieid=" + second + ":"), std::string::npos) << "stored in decimal as sent";
    // Cookies too wide to find by trying: drawn from 63 bits, never 0, and
    // written without sign. Twenty draws all below 2^55 would happen once in 2^160.
    unsigned long long widest = 0;
    for (int i = 0; i < 20; ++i) {
        std::string cookie = cookie_of(post("wbk_login.cgi", kDefault));
        ASSERT_EQ(cookie.find_first_not_of("0123456789"), std::string::npos) << cookie;
        widest = std::max(widest, std::stoull(cookie));
        EXPECT_GE(std::stoull(cookie), 1u);
        EXPECT_LE(std::stoull(cookie), 0x7FFFFFFFFFFFFFFFull);
    }
    EXPECT_GE(widest, 1ull << 55);
}

TEST_F(Sessions, WrongOrMissingFieldsGetTheLoginPage) {
    for (const char* body : {"id=quietharborlights&password=wrong", "password=quietharborlights",
                             "id=&password=x", "id=quietharborlights", "id=quietharborlights&password="}) {
        EXPECT_EQ(reply_body(post("wbk_login.cgi", body)), login_page) << body;
    }
    EXPECT_FALSE(file_exists(board::paths::kSessions));
}

TEST_F(Sessions, IdFromAHeaderNoLongerLogsIn) {
    std::string reply = post("wbk_login.cgi", "password=quietharborlights", "Cookie: userid=quietharborlights\r\n");
    EXPECT_EQ(reply_body(reply), login_page);
}

TEST_F(Sessions, OverlongIdIsComparedAsItsFirst101Bytes) {
    b.LoginId = std::string(101, 'a');
    std::string reply = post("wbk_login.cgi", "id=" + std::string(150, 'a') + "&password=quietharborlights");
    EXPECT_FALSE(cookie_of(reply).empty());
}

TEST_F(Sessions, WrongPairIsLoggedOnlyWhenTheLogIsOn) {
    post("wbk_login.cgi", "id=x&password=y");
    EXPECT_FALSE(file_exists("DATA/LOG"));
    b.LogEnabled = 1;
    b.clock = fixed_clock(2011, 1, 16, 10, 0, 0);
    post("wbk_login.cgi", "id=x&password=y", "", "10.1.2.3");
    b.clock = fixed_clock(2011, 11, 6, 10, 0, 0);
    post("wbk_login.cgi", "id=&password=y");  // missing values are not logged
    post("wbk_login.cgi", kDefault, "", "10.1.2.3");
    EXPECT_EQ(read_file("DATA/LOG/wbklog_2011116.log"),
              sjis(u8"Login=false ： IP=10.1.2.3 : Time=Sun Jan 16 10:00:00 2011\r\n"
                   "Login=true ： IP=10.1.2.3 : Time=Sun Nov 06 10:00:00 2011\r\n"));
}

TEST_F(Sessions, LogThatCannotBeOpenedTellsTheOwnerAndServingGoesOn) {
    b.LogEnabled = 1;
    write_file("DATA/LOG", "a file where the directory should be");
    std::string told;
    b.owner_notice = [&](const std::string& text, const std::string& caption) { told = caption + "|" + text; };
    std::string reply = post("wbk_login.cgi", kDefault);
    EXPECT_FALSE(cookie_of(reply).empty());
    EXPECT_EQ(told, sjis(u8"エラーメッセージ|サーバーが不安定です。\n管理者に問い合わせして下さい。"));
}

TEST_F(Sessions, LoginOnAFullDiskLeavesNoPieceOfALine) {
#ifdef _WIN32
    GTEST_SKIP() << "no file size limit to stand for a full disk";
#else
    post("wbk_login.cgi", kDefault);
    std::string before = sessions();
    {
        FileSizeLimit full(before.size() + 12);  // room for "ipaddress=12"
        EXPECT_NE(post("wbk_login.cgi", kDefault).find(sjis(u8"伝言板サーバーが不安定になっています。")),
                  std::string::npos);
    }
    EXPECT_EQ(sessions(), before);
    std::string with = "Cookie: SESSIONID=" + cookie_of(post("wbk_login.cgi", kDefault)) + "\r\n";
    EXPECT_EQ(reply_body(post("wbk_reload.cgi", "", with)), read_file(board::paths::kMainPage));
#endif
}

TEST_F(Sessions, LogLinesTheDiskDoesNotTakeAreToldOncePerSpell) {
#ifdef _WIN32
    GTEST_SKIP() << "no /dev/full to stand for a full disk";
#else
    b.LogEnabled = 1;
    int told = 0;
    b.owner_notice = [&](const std::string& text, const std::string& caption) {
        EXPECT_EQ(caption + "|" + text, sjis(u8"エラーメッセージ|サーバーが不安定です。\n管理者に問い合わせして下さい。"));
        ++told;
    };
    make_dirs("DATA/LOG");
    const char* log = "DATA/LOG/wbklog_2011428.log";
    ASSERT_EQ(symlink("/dev/full", log), 0);  // opens, and takes no byte
    post("wbk_login.cgi", kDefault);
    post("wbk_login.cgi", "id=x&password=y");
    EXPECT_EQ(told, 1);
    ASSERT_EQ(std::remove(log), 0);
    post("wbk_login.cgi", kDefault);  // written: the spell ends
    ASSERT_EQ(std::remove(log), 0);
    ASSERT_EQ(symlink("/dev/full", log), 0);
    post("wbk_login.cgi", kDefault);
    EXPECT_EQ(told, 2);
#endif
}

TEST_F(Sessions, ReloadNeedsTheSessionOfThisClient) {
    std::string cookie = cookie_of(post("wbk_login.cgi", kDefault, "", "10.0.0.12"));
    std::string with = "Cookie: lang=ja; SESSIONID=" + cookie + "\r\n";
    std::string ok = post("wbk_reload.cgi", "reload=x", with, "10.0.0.12");
    EXPECT_EQ(ok.find("Set-Cookie"), std::string::npos);
    EXPECT_EQ(reply_body(ok), read_file(board::paths::kMainPage));
    EXPECT_EQ(reply_body(post("wbk_reload.cgi", "", with, "10.0.0.1")), login_page);
    EXPECT_EQ(reply_body(post("wbk_reload.cgi", "", "", "10.0.0.12")), login_page);
    EXPECT_EQ(reply_body(post("wbk_reload.cgi", "", "Cookie: SESSIONID=2\r\n", "10.0.0.12")), login_page);
}

TEST_F(Sessions, LogoutRemovesOnlyTheMatchingLinesAndAlwaysAnswersWithTheLoginPage) {
    make_dirs("DATA/SESSION");
    std::string lines = "ipaddress=10.0.0.1:cookieid=5:time=Thu Apr 28 00:06:25 2011\r\n"
                        "ipaddress=10.0.0.12:cookieid=5:time=Thu Apr 28 00:06:25 2011\r\n"
                        "ipaddress=10.0.0.1:cookieid=55:time=Thu Apr 28 00:06:25 2011\r\n"
                        "ipaddress=10.0.0.1:cookieid=5:time=Thu Apr 28 00:07:25 2011\r\n";
    write_file(board::paths::kSessions, lines);
    EXPECT_EQ(reply_body(post("wbk_logout.cgi", "", "", "10.0.0.1")), login_page);
    EXPECT_EQ(reply_body(post("wbk_logout.cgi", "", "Cookie: SESSIONID=7\r\n", "10.0.0.1")), login_page);
    EXPECT_EQ(sessions(), lines);
    EXPECT_EQ(reply_body(post("wbk_logout.cgi", "", "Cookie: SESSIONID=5\r\n", "10.0.0.1")), login_page);
    EXPECT_EQ(sessions(), "ipaddress=10.0.0.12:cookieid=5:time=Thu Apr 28 00:06:25 2011\r\n"
                          "ipaddress=10.0.0.1:cookieid=55:time=Thu Apr 28 00:06:25 2011\r\n");
    EXPECT_FALSE(file_exists(board::paths::kSessionsWork));
}

TEST_F(Sessions, LoggedOutClientIsRefused) {
    std::string cookie = cookie_of(post("wbk_login.cgi", kDefault));
    std::string with = "Cookie: SESSIONID=" + cookie + "\r\n";
    post("wbk_logout.cgi", "", with);
    EXPECT_EQ(reply_body(post("wbk_reload.cgi", "", with)), login_page);
    EXPECT_EQ(reply_body(post("wbk_write.cgi", "name=a&title=b&text=c", with)), login_page);
}

class Sweep : public Sessions {
protected:
    static std::string line(const std::string& ip, int hour) {
        char text[100];
        std::snprintf(text, sizeof text, "ipaddress=%s:cookieid=1:time=Thu Apr 28 %02d:06:25 2011\r\n", ip.c_str(), hour);
        return text;
    }
    void sweep_at(int hour, int minute) {
        b.clock = fixed_clock(2011, 4, 28, hour, minute, 0);
        board::hourly_session_sweep(b);
    }
};

TEST_F(Sweep, AtMidnightKeepsHoursZeroAndTwentyThree) {
    make_dirs("DATA/SESSION");
    std::string v6 = "ipaddress=[1111:2222:3333:4444:5555:6666:7777:8888]:cookieid=9223372036854775807:time=" +
                     line("", 0).substr(27);  // the longest line: read whole as any other
    write_file(board::paths::kSessions, line("a", 0) + line("b", 22) + v6 + line("c", 23) + line("d", 1));
    sweep_at(0, 0);
    EXPECT_EQ(sessions(), line("a", 0) + v6 + line("c", 23));
    EXPECT_TRUE(b.sweep_done);
}

TEST_F(Sweep, UpkeepSweepsOnItsOwnThreadAndEndsAtOnce) {
    make_dirs("DATA/SESSION");
    write_file(board::paths::kSessions, line("a", 9) + line("b", 8) + line("c", 7));
    b.clock = fixed_clock(2011, 4, 28, 9, 0, 5);
    auto began = std::chrono::steady_clock::now();
    {
        board::Upkeep upkeep(b);  // looks every 20 s: its first look is at once
        for (int i = 0; i < 500 && sessions() != line("a", 9) + line("b", 8); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(sessions(), line("a", 9) + line("b", 8));
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(10)) << "the upkeep ends without waiting";
}

TEST_F(Sweep, AtOnePmKeepsThirteenAndTwelveAndRunsOncePerHour) {
    make_dirs("DATA/SESSION");
    write_file(board::paths::kSessions, line("a", 13) + line("b", 12) + line("c", 11));
    sweep_at(13, 0);
    EXPECT_EQ(sessions(), line("a", 13) + line("b", 12));
    write_file(board::paths::kSessions, line("c", 11));
    sweep_at(13, 0);
    EXPECT_EQ(sessions(), line("c", 11)) << "already swept in this minute 0";
    sweep_at(13, 1);
    EXPECT_FALSE(b.sweep_done);
    sweep_at(14, 0);
    EXPECT_EQ(sessions(), "");
}

TEST_F(Sweep, LineWithoutTimeEndsTheSweep) {
    make_dirs("DATA/SESSION");
    write_file(board::paths::kSessions, line("a", 5) + "ipaddress=x:cookieid=1\r\n" + line("b", 5));
    sweep_at(5, 0);
    EXPECT_EQ(sessions(), line("a", 5));
}

TEST_F(Sweep, HourOutOfRangeLeavesTheFileAndIsTriedAgain) {
    make_dirs("DATA/SESSION");
    std::string lines = line("a", 5) + line("b", 24);
    write_file(board::paths::kSessions, lines);
    sweep_at(5, 0);
    EXPECT_EQ(sessions(), lines);
    EXPECT_FALSE(b.sweep_done);
    EXPECT_FALSE(file_exists(board::paths::kSessionsWork));
}

TEST_F(Sweep, NoSessionFileCreatesNothing) {
    sweep_at(5, 0);
    EXPECT_FALSE(file_exists("DATA/SESSION"));
}

TEST_F(Sessions, PrivateReadingShowsTheBoardOnlyWithASession) {
    auto get = [&](const std::string& target, const std::string& headers = "") {
        Recorder rec;
        std::string text = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
        board::respond(b, server::parse_request(text, "127.0.0.1"), rec.reply);
        return rec.all();
    };
    std::string cookie = "Cookie: SESSIONID=" + cookie_of(post("wbk_login.cgi", kDefault)) + "\r\n";
    std::string page = get("/wbk_text_1.html");
    EXPECT_EQ(reply_body(page), read_file(board::paths::kTextPage1)) << "off: served to anyone, as before";
    EXPECT_EQ(page.find("Cache-Control"), std::string::npos);

    b.PrivateReading = 1;
    for (const char* target : {"/wbk_text_1.html", "/wbk_main.html", "/", "/index.html"}) {
        std::string reply = get(target);
        EXPECT_EQ(reply_body(reply), login_page) << target;
        EXPECT_NE(reply.find("\nCache-Control: no-store\nPragma: no-cache\n"), std::string::npos) << target;
    }
    EXPECT_TRUE(get("/wbk_select_2.cgi").empty());
    EXPECT_EQ(b.ShownPage, 1) << "page select does nothing without a session";
    EXPECT_EQ(reply_body(get("/wbk_text_1.html", cookie)), read_file(board::paths::kTextPage1));
    EXPECT_EQ(reply_body(get("/wbk_text_1.html", "Cookie: SESSIONID=1\r\n")), login_page);
    get("/wbk_select_2.cgi", cookie);
    EXPECT_EQ(b.ShownPage, 2);
}

TEST_F(Sessions, PostsFromAnotherSitesPageAreHandledWithoutASession) {
    const std::string foreign = "Origin: http://evil.example\r\n";
    EXPECT_EQ(cookie_of(post("wbk_login.cgi", kDefault, foreign)), "") << "a forged login is refused";
    std::string cookie = "Cookie: SESSIONID=" + cookie_of(post("wbk_login.cgi", kDefault)) + "\r\n";
    std::string form = "name=n&title=t&text=forged";
    EXPECT_EQ(reply_body(post("wbk_write.cgi", form, cookie + foreign)), login_page);
    EXPECT_EQ(reply_body(post("wbk_write.cgi", form, cookie + "Origin: null\r\n")), login_page);
    EXPECT_EQ(reply_body(post("wbk_reload.cgi", "", cookie + foreign)), login_page);
    EXPECT_FALSE(file_exists("DATA/MESSAGE/1.txt"));
    post("wbk_logout.cgi", "", cookie + foreign);
    EXPECT_NE(sessions(), "") << "a forged logout removes nothing";
    // The board's own page says "http://" and its Host (any case).
    post("wbk_write.cgi", form, cookie + "Origin: HTTP://127.0.0.1\r\n");
    EXPECT_TRUE(file_exists("DATA/MESSAGE/1.txt"));
    // Through the trusted proxy as https, the board's own origin says "https://".
    auto proxied = [&](const std::string& origin) {
        Recorder rec;
        std::string text = post_request("wbk_write.cgi", form, cookie + "X-Forwarded-Proto: https\r\nOrigin: " + origin + "\r\n");
        board::respond(b, server::parse_request(text, "127.0.0.1", std::string("127.0.0.1")), rec.reply);
    };
    proxied("http://127.0.0.1");
    EXPECT_FALSE(file_exists("DATA/MESSAGE/2.txt")) << "a plain-http page posting to the https board";
    proxied("https://127.0.0.1");
    EXPECT_TRUE(file_exists("DATA/MESSAGE/2.txt"));
}

TEST_F(Sessions, GuessingFromOneAddressIsSlowedAndCoolsDown) {
    std::int64_t later = 0;
    platform::Clock base = b.clock;
    b.clock = [base, &later] {
        platform::LocalTime t = base();
        t.epoch_seconds += later;
        return t;
    };
    b.LogEnabled = 1;
    auto login_from = [&](const std::string& address, const std::string& body) {
        return cookie_of(post("wbk_login.cgi", body, "", address));
    };
    for (int i = 0; i < 5; ++i) EXPECT_EQ(login_from("10.0.0.7", "id=quietharborlights&password=guess"), "");
    std::string paused = post("wbk_login.cgi", kDefault, "", "10.0.0.7");
    EXPECT_EQ(cookie_of(paused), "") << "the right password, not compared while guessing";
    EXPECT_NE(paused.find("失敗が続いたため一時停止しています。"), std::string::npos) << "told why, not the login page";
    EXPECT_NE(paused.find("あと約1分たってから"), std::string::npos);
    EXPECT_EQ(login_from("10.0.0.7", kDefault), "");
    EXPECT_NE(login_from("10.0.0.8", kDefault), "") << "another address is not slowed";
    std::string log = read_file(board::login_log_path(b.clock()));
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 5 + 1 + 1) << "refusals logged once a minute";
    EXPECT_NE(log.find("Login=paused ： IP=10.0.0.7 : Time="), std::string::npos) << "a pause is logged as one";
    later += 61;
    EXPECT_EQ(login_from("10.0.0.7", "id=quietharborlights&password=guess"), "") << "one more failure";
    later += 61;
    EXPECT_EQ(login_from("10.0.0.7", kDefault), "") << "blocks double: two minutes now";
    later += 60;
    EXPECT_NE(login_from("10.0.0.7", kDefault), "") << "over: the right password logs in";
    EXPECT_TRUE(b.guessing.empty() || !b.guessing.count("10.0.0.7")) << "and clears the address";
}

TEST_F(Sessions, AnAddressFloodKeepsTheTableBoundedAndTheOwnerIn) {
    for (int i = 0; i < 5000; ++i)
        post("wbk_login.cgi", "id=x&password=y", "", "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));
    EXPECT_LE(b.guessing.size(), 4096u);
    EXPECT_NE(cookie_of(post("wbk_login.cgi", kDefault, "", "192.168.0.1")), "");
}
