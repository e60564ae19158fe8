#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <fstream>
#include <thread>

#include "board/routes.h"
#include "board/board_reply.h"
#include "board/pages.h"
#include "board/paths.h"
#include "board/state.h"
#include "board/views/feed.h"
#include "platform/file_faults.h"
#include "window/control.h"
#include "window/notify.h"
#include "window/options.h"
#include "support/test_support.h"
#ifndef _WIN32
#include "window/console/console.h"
#endif

using namespace testing_support;
using window::Dialog;
using window::Owner;

// A scripted stand-in for the front end's message boxes.
struct FakeBoxes {
    struct Shown {
        std::string text, caption;
        Owner owner;
        bool yes_no;
    };
    std::vector<Shown> shown;
    std::deque<bool> answers;  // Yes/No answers, in order
    window::MessageBoxes boxes() {
        return {[this](const std::string& t, const std::string& c, Owner o) { shown.push_back({t, c, o, false}); },
                [this](const std::string& t, const std::string& c, Owner o) {
                    shown.push_back({t, c, o, true});
                    bool a = !answers.empty() && answers.front();
                    if (!answers.empty()) answers.pop_front();
                    return a;
                }};
    }
};

class ControlTest : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        b.clock = fixed_clock(2011, 4, 28, 0, 6, 25);
        server::network_initialisation(s);
        s.bind_address = "127.0.0.1";
        s.LocalAddress = "127.0.0.1";
        s.ListenPort = 0;
    }
    void TearDown() override {
        server::stop(s);
        TempDirTest::TearDown();
    }
    board::Board b;
    server::Server s{board::request_handler(b)};
    FakeBoxes fake;
    window::Control c{s, b, fake.boxes()};
};

TEST_F(ControlTest, StatusLinesFollowTheServer) {
    s.ListenPort = 53790;
    window::status_refresh(c);
    EXPECT_EQ(c.status[window::kState], sjis(u8"[ 停止 ] しています。"));
    EXPECT_EQ(c.status[window::kIndicator], sjis(u8"  ■  "));
    EXPECT_FALSE(c.running_colour);
    EXPECT_EQ(c.status[window::kAddress], sjis(u8"伝言板サーバーのＩＰアドレスは [ 127.0.0.1 ] です。"));
    EXPECT_EQ(c.status[window::kPort], sjis(u8"伝言板サーバーのポート番号は [ 53790 ] です。"));
    EXPECT_EQ(c.status[window::kUrl], sjis(u8"ＵＲＬは [ http://127.0.0.1:53790/ ] です。"));
    EXPECT_EQ(c.status[window::kLog], sjis(u8"ＬＯＧ情報を取得していません。"));
    s.ListenPort = 80;
    b.LogEnabled = 1;
    window::status_refresh(c);
    EXPECT_EQ(c.status[window::kUrl], sjis(u8"ＵＲＬは [ http://127.0.0.1/ ] です。"));
    EXPECT_EQ(c.status[window::kLog], sjis(u8"ＬＯＧ情報を取得しています。"));
    s.LocalAddress = std::nullopt;
    window::status_refresh(c);
    EXPECT_EQ(c.status[window::kAddress], sjis(u8"伝言板サーバーのＩＰアドレスは [ 不明 ] です。"));
}

TEST_F(ControlTest, PanelChangesShowAfterTheNextMessage) {
    window::status_refresh(c);
    window::panel_start(c);
    EXPECT_EQ(s.ServerState, server::RunState::Running);
    EXPECT_EQ(c.status[window::kState], sjis(u8"[ 停止 ] しています。")) << "not yet refreshed";
    EXPECT_TRUE(window::consume_changes(c));
    EXPECT_EQ(c.status[window::kState], sjis(u8"[ 稼動 ] しています。"));
    EXPECT_EQ(c.status[window::kIndicator], sjis(u8"  ▲  "));
    EXPECT_TRUE(c.running_colour);
    EXPECT_FALSE(window::consume_changes(c));
}

TEST_F(ControlTest, PortRulesTakeWholeNumbersAsTypedAndRefuseTheRest) {
    EXPECT_EQ(window::port_dialog_ok(c, ""), Dialog::StaysOpen);
    EXPECT_TRUE(fake.shown.empty());
    for (const char* typed : {"65536", "-1", "abc", "80abc", "123456", " ", u8"８０ ８０"}) {
        EXPECT_EQ(window::port_dialog_ok(c, sjis(typed)), Dialog::StaysOpen) << typed;
        EXPECT_EQ(fake.shown.back().text, sjis(u8"ポート番号[ " + std::string(typed) +
                                               u8" ]は、設定できません。\n０～６５５３５の範囲で入力して下さい。"));
    }
    fake.answers = {false};
    EXPECT_EQ(window::port_dialog_ok(c, "65535"), Dialog::StaysOpen);
    EXPECT_EQ(fake.shown.back().text, sjis(u8"ポート番号を[ 65535 ]に変更します。\n宜しいですか？。"));
    fake.answers = {true};
    // Full-width digits as a Japanese input method types them, blanks around.
    EXPECT_EQ(window::port_dialog_ok(c, sjis(u8"　１８４３２ ")), Dialog::Ends);
    EXPECT_EQ(s.ListenPort, 18432);
    EXPECT_EQ(s.ServerState, server::RunState::NeverStarted) << "a stopped server stays stopped";
    EXPECT_TRUE(c.port_changed);
    EXPECT_EQ(board::load_owner_settings().port, 18432) << "kept for the next launch";
    window::load_owner_settings(c, std::uint16_t{8080});
    EXPECT_EQ(s.ListenPort, 8080);
    fake.answers = {true};
    window::log_dialog_choose(c, 1);
    window::log_dialog_ok(c);
    EXPECT_EQ(board::load_owner_settings().port, 18432) << "--port is for one run, also when the log changes";
    // The proxy line and the post limits survive the program's own rewrites
    // of the file, and the board uses the limits; --proxy names this run's only.
    const std::string kept = "port=18432\r\nlog=0\r\nprivate=0\r\nproxy=127.0.0.9\r\npost_limit=0\r\npost_limit_hour=7\r\n";
    write_file(board::paths::kSettings, "port=18432\r\nlog=1\r\nprivate=0\r\nproxy=127.0.0.9\r\n"
                                        "post_limit_hour=7\r\npost_limit=0\r\n");
    window::load_owner_settings(c, std::nullopt, false, std::string("127.0.0.2"));
    EXPECT_EQ(s.trusted_proxy, "127.0.0.2");
    EXPECT_EQ(b.post_limits, (board::PostLimits{0, 30, 7}));
    fake.answers = {true};
    window::log_dialog_choose(c, 0);
    window::log_dialog_ok(c);
    EXPECT_EQ(read_file(board::paths::kSettings), kept);
    window::load_owner_settings(c, std::nullopt);
    EXPECT_EQ(s.trusted_proxy, "127.0.0.9");
    EXPECT_NE(window::proxy_status(c).find("127.0.0.9"), std::string::npos);
    // A settings file that cannot be read at launch is not written over with defaults.
    platform::file_fault_hook = [](platform::FileOp op, const std::string& path) {
        return op == platform::FileOp::Read && path.find("settings.ini") != std::string::npos ? platform::FileFault::IoError
                                                                                            : platform::FileFault::None;
    };
    window::load_owner_settings(c, std::nullopt);
    platform::file_fault_hook = nullptr;
    fake.answers = {true};
    window::log_dialog_choose(c, 1);
    window::log_dialog_ok(c);
    EXPECT_EQ(read_file(board::paths::kSettings), kept);
    EXPECT_EQ(fake.shown.back().caption, sjis(u8"エラーメッセージ")) << "and the owner is told";
    EXPECT_EQ(window::parse_port_text("0"), 0) << "the system's choice";
    EXPECT_EQ(window::parse_options({"--port", sjis(u8"８０８０")}).port, 8080) << "one parser for the option too";
    // The program's line survives the rewrites, a path that holds another
    // key's text included; --notify names this run's only.
    write_file(board::paths::kSettings, "port=18432\r\nlog=1\r\nprivate=0\r\nnotify=/opt/log=1/port=2.sh\r\n");
    window::load_owner_settings(c, std::nullopt, false, std::nullopt,
                                window::parse_options({"--notify", "/tmp/for-this-run"}).notify);
    EXPECT_EQ(c.notify_program, "/tmp/for-this-run");
    EXPECT_EQ(s.ListenPort, 18432);
    fake.answers = {true};
    window::log_dialog_choose(c, 0);
    window::log_dialog_ok(c);
    EXPECT_EQ(read_file(board::paths::kSettings), "port=18432\r\nlog=0\r\nprivate=0\r\nnotify=/opt/log=1/port=2.sh\r\n");
    window::load_owner_settings(c, std::nullopt);
    EXPECT_EQ(c.notify_program, "/opt/log=1/port=2.sh");
}

#ifndef _WIN32
// The owner's program as a shell script in the test's folder (POSIX: the
// Windows runner is the wine suite's); its path.
static std::string owners_program(const std::string& name, const std::string& body) {
    write_file(name, "#!/bin/sh\n" + body);
    ::chmod(name.c_str(), 0755);
    char here[4096];
    return std::string(::getcwd(here, sizeof here)) + "/" + name;
}

static bool soon(const std::function<bool()>& done) {
    for (int i = 0; i < 500 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return done();
}

// What the notifier prints and tells, gathered from its thread.
struct Heard {
    std::mutex mutex;
    std::vector<std::string> lines, told;
    size_t count(const std::vector<std::string>& of, const std::string& start) {
        std::lock_guard<std::mutex> guard(mutex);
        size_t n = 0;
        for (const std::string& l : of) n += l.compare(0, start.size(), start) == 0 ? 1 : 0;
        return n;
    }
    window::NotifierSetup setup(const std::string& program, std::chrono::milliseconds limit = window::kNotifyTimeLimit) {
        return {program, limit, window::console::to_utf8,
                [this](const std::string& line) {
                    std::lock_guard<std::mutex> guard(mutex);
                    lines.push_back(line);
                },
                true,
                [this](const std::string& text, const std::string&) {
                    std::lock_guard<std::mutex> guard(mutex);
                    told.push_back(text);
                }};
    }
};

TEST_F(ControlTest, OwnersProgramGetsAPostedMessageThroughItsEnvironmentAlone) {
    load_fresh_board(b);
    s.ListenPort = 53790;
    window::status_refresh(c);  // the address the program is told, as the status shows it
    std::string program = owners_program("notify.sh",
                                         "for v in NAME TITLE TEXT TIME PAGE POSITION URL; do\n"
                                         "  eval \"printf '%s' \\\"\\$KOMOREBI_$v\\\"\" > $v.out\n"
                                         "done\n"
                                         "touch done.out\n");
    Heard heard;
    window::Notifier notifier(heard.setup(program));
    window::connect_new_messages(c, notifier, nullptr);
    std::string cookie = logged_in_cookie(b);
    // Shell metacharacters in the name and the title, a line break and
    // Japanese in the text: each reaches the program as its own value.
    std::string body = "name=%24%28touch+made-by-name%29&title=%60touch+made-by-title%60%3B+touch+x%26%26y%3Ez"
                       "&text=%93%FA%96%7B%0D%0A%27%22%5C";
    Recorder post;
    board::respond(b, server::parse_request(post_request("wbk_write.cgi", body, cookie), "127.0.0.1"), post.reply);
    ASSERT_NE(post.all().find("200"), std::string::npos);
    ASSERT_TRUE(soon([] { return file_exists("done.out"); }));
    b.message_stored = nullptr;
    EXPECT_EQ(read_file("NAME.out"), "$(touch made-by-name)");
    EXPECT_EQ(read_file("TITLE.out"), "`touch made-by-title`; touch x&&y>z");
    EXPECT_EQ(read_file("TEXT.out"), u8"日本\r\n'\"\\");
    EXPECT_EQ(read_file("TIME.out"), u8"2011年4月28日0時6分25秒");
    EXPECT_EQ(read_file("PAGE.out"), "1");
    EXPECT_EQ(read_file("POSITION.out"), "1");
    EXPECT_EQ(read_file("URL.out"), "http://127.0.0.1:53790/wbk_text_1.html");
    for (const char* made : {"made-by-name", "made-by-title", "x", "z", "y"}) EXPECT_FALSE(file_exists(made)) << made;
    EXPECT_EQ(heard.count(heard.lines, sjis(u8"【新着】2011年4月28日0時6分25秒　名前：$(touch made-by-name)　")), 1u);
    EXPECT_TRUE(heard.told.empty());
}

TEST_F(ControlTest, NotifyQueueKeepsTheNewestAndEndsAProgramPastItsTime) {
    // The first run outlives its time; meanwhile ten more messages come and
    // the queue keeps the newest eight.
    std::string program = owners_program("notify.sh",
                                         "printf '%s\\n' \"$KOMOREBI_TITLE\" >> ran.out\n"
                                         "if [ \"$KOMOREBI_TITLE\" = slow ]; then sleep 30 & echo $! > sleep.pid; wait; fi\n");
    Heard heard;
    {
        window::Notifier notifier(heard.setup(program, std::chrono::milliseconds(1000)));
        board::StoredMessage m{"time", "name", "slow", "text", 1, 1};
        notifier.queue(m, "");
        ASSERT_TRUE(soon([] { return file_exists("sleep.pid"); }));
        for (int i = 1; i <= 10; ++i) {
            m.title = "t" + std::to_string(i);
            notifier.queue(m, "");
        }
        ASSERT_TRUE(soon([] { return read_file("ran.out").find("t10") != std::string::npos; }));
    }
    EXPECT_EQ(read_file("ran.out"), "slow\nt3\nt4\nt5\nt6\nt7\nt8\nt9\nt10\n");
    EXPECT_EQ(heard.count(heard.lines, sjis(u8"【新着】通知プログラムの順番待ちが一杯")), 1u) << "said once";
    EXPECT_EQ(heard.count(heard.lines, sjis(u8"【新着】通知プログラムが1秒で終わらなかった")), 1u);
    EXPECT_EQ(heard.count(heard.lines, sjis(u8"【新着】time　名前：name　題名：")), 11u);
    // What the program started went with it.
    std::ifstream stat("/proc/" + read_file("sleep.pid").substr(0, read_file("sleep.pid").find('\n')) + "/stat");
    std::string pid, command, state;
    stat >> pid >> command >> state;
    EXPECT_TRUE(!stat || state == "Z") << "sleep still runs: " << state;

    // A program that cannot be started is told once, until one starts.
    window::Notifier missing(heard.setup(dir_ + "/no-such-program"));
    for (int i = 0; i < 3; ++i) missing.queue(board::StoredMessage{"time", "name", "title", "text", 1, 1}, "");
    ASSERT_TRUE(soon([&] { return heard.count(heard.lines, sjis(u8"【新着】time")) == 14; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(heard.count(heard.told, sjis(u8"新着メッセージの通知プログラム[ " + dir_ + u8"/no-such-program ]を起動できませんでした。")),
              1u);
}


TEST_F(ControlTest, OwnersProgramEndsWithTheBoardWithWhatItStarted) {
    // It ignores SIGTERM and waits for a child of its own.
    std::string program = owners_program("notify.sh", "trap '' TERM\nsleep 60 & echo $! > child.pid\necho $$ > program.pid\nwait\nwait\n");
    Heard heard;
    {
        window::Notifier notifier(heard.setup(program));
        notifier.queue(board::StoredMessage{"time", "name", "title", "text", 1, 1}, "");
        ASSERT_TRUE(soon([] { return file_exists("program.pid") && file_exists("child.pid"); }));
    }  // the board exits
    auto gone = [](const std::string& pid_file) {
        std::string pid = read_file(pid_file), number, command, state;
        std::ifstream stat("/proc/" + pid.substr(0, pid.find('\n')) + "/stat");
        return !(stat >> number >> command >> state) || state == "Z";
    };
    EXPECT_TRUE(soon([&] { return gone("program.pid") && gone("child.pid"); }));
}

#endif  // _WIN32

TEST_F(ControlTest, AStartTellsOnceOfBrokenSearchMarkers) {
    load_fresh_board(b);
    board::write_menu_template();
    ASSERT_TRUE(window::start_server(c, Owner::Main));
    server::stop(s);
    // A second start marker, as a hand edit may leave, and two more starts.
    const std::string menu = read_file(board::paths::kMenuPage) + crlf(std::string(board::kSearchStart));
    write_file(board::paths::kMenuPage, menu);
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(window::start_server(c, Owner::Main));
        server::stop(s);
    }
    ASSERT_EQ(fake.shown.size(), 1u);
    EXPECT_EQ(fake.shown[0].text, board::kSearchMarkersNotice);
    EXPECT_EQ(read_file(board::paths::kMenuPage), menu);
}

TEST_F(ControlTest, AStartThatFailsSaysWhy) {
    ASSERT_EQ(server::start(s), server::StartResult::Started);
    std::uint16_t taken = s.bound_port;
    server::Server other{board::request_handler(b)};
    other.bind_address = other.LocalAddress = "127.0.0.1";
    other.ListenPort = taken;
    window::Control second{other, b, fake.boxes()};
    EXPECT_FALSE(window::start_server(second, Owner::Main));
    ASSERT_EQ(fake.shown.size(), 1u);
    EXPECT_EQ(fake.shown[0].caption, sjis(u8"エラーメッセージ"));
    EXPECT_EQ(fake.shown[0].text.find(sjis(u8"伝言板サーバーを開始できませんでした。\nＩＰアドレス[ 127.0.0.1 ]のポート番号[ ") +
                                      std::to_string(taken) + " ]"),
              0u);
    EXPECT_NE(other.start_error.find("127.0.0.1:" + std::to_string(taken)), std::string::npos) << other.start_error;
    window::status_refresh(c);
    EXPECT_EQ(c.status[window::kPort], sjis(u8"伝言板サーバーのポート番号は [ ") + std::to_string(taken) + sjis(u8" ] です。"))
        << "a running server shows the port it listens on";
}

TEST_F(ControlTest, PortChangeRestartsARunningServerOnTheNewPort) {
    ASSERT_EQ(server::start(s), server::StartResult::Started);
    std::uint16_t free_port = s.bound_port;  // free again once the server stops
    server::stop(s);
    ASSERT_EQ(server::start(s), server::StartResult::Started);
    fake.answers = {true};
    EXPECT_EQ(window::port_dialog_ok(c, std::to_string(free_port)), Dialog::Ends);
    EXPECT_EQ(s.ServerState, server::RunState::Running);
    EXPECT_EQ(s.bound_port, free_port);
    EXPECT_EQ(http_exchange(free_port, "GET / HTTP/1.0\r\n\r\n").substr(0, 15), "HTTP/1.0 200 OK");
}

TEST_F(ControlTest, CancelledLogChoiceIsRememberedButNotApplied) {
    window::log_dialog_choose(c, 1);
    // Cancel: nothing but the pending choice changed.
    EXPECT_EQ(b.LogEnabled, 0);
    EXPECT_EQ(c.pending_log_choice, 1);
    fake.answers = {false, true};
    EXPECT_EQ(window::log_dialog_ok(c), Dialog::StaysOpen);
    EXPECT_EQ(fake.shown.back().text, sjis(u8"[ ログを取得する ]に、設定します。\n宜しいですか？。"));
    EXPECT_EQ(window::log_dialog_ok(c), Dialog::Ends);
    EXPECT_EQ(b.LogEnabled, 1);
    EXPECT_TRUE(c.log_changed);
    window::log_dialog_choose(c, 0);
    fake.answers = {true};
    window::log_dialog_ok(c);
    EXPECT_EQ(fake.shown.back().text, sjis(u8"[ ログを停止する ]に、設定します。\n宜しいですか？。"));
    EXPECT_EQ(b.LogEnabled, 0);
}

TEST_F(ControlTest, PrivateOptionIsForOneRunAndTheDialogsChoiceIsKept) {
    window::load_owner_settings(c, std::nullopt, true);
    EXPECT_EQ(b.PrivateReading, 1);
    fake.answers = {true};
    window::log_dialog_choose(c, 1);
    window::log_dialog_ok(c);
    EXPECT_EQ(board::load_owner_settings().private_reading, 0) << "--private is for one run, also when the log changes";
    EXPECT_EQ(b.PrivateReading, 1) << "and stays on for this run";
    fake.answers = {true};
    window::private_dialog_choose(c, 1);
    window::private_dialog_ok(c);
    EXPECT_EQ(board::load_owner_settings().private_reading, 1) << "the owner's choice is kept";
    fake.answers = {true};
    window::log_dialog_choose(c, 0);
    window::log_dialog_ok(c);
    EXPECT_EQ(board::load_owner_settings().private_reading, 1);
    window::load_owner_settings(c, std::nullopt, true);
    fake.answers = {true};
    window::private_dialog_choose(c, 0);
    window::private_dialog_ok(c);
    EXPECT_EQ(b.PrivateReading, 0);
    EXPECT_EQ(board::load_owner_settings().private_reading, 0);
}

TEST_F(ControlTest, FeedTokenIsMadeAtTheFirstNeedKeptAndRenewedInTheDialog) {
    make_dirs("DATA");
    write_file(board::paths::kSettings, "port=18432\r\nlog=0\r\nprivate=1\r\n");
    window::load_owner_settings(c, std::nullopt);
    EXPECT_EQ(board::feed_token(b), "");
    std::string shown = window::feed_addresses(c);
    const std::string token = board::feed_token(b);
    ASSERT_TRUE(board::valid_feed_token(token));
    EXPECT_EQ(shown, sjis(u8"秘密のフィードのアドレス　：　") + window::board_url(s) + "wbk_feed_" + token + ".xml\n")
        << "no plain address while reading is private";
    EXPECT_EQ(read_file(board::paths::kSettings), "port=18432\r\nlog=0\r\nprivate=1\r\nfeed_token=" + token + "\r\n");
    EXPECT_EQ(window::feed_addresses(c), shown) << "kept";
    for (bool yes : {false, true}) {
        fake.answers = {true, yes};  // the dialog's new address, then the confirmation
        window::feed_dialog(c);
        EXPECT_EQ(board::feed_token(b) == token, !yes);
    }
    EXPECT_EQ(board::load_owner_settings().feed_token, board::feed_token(b));
    b.PrivateReading = 0;
    EXPECT_EQ(window::feed_addresses(c).find(sjis(u8"フィードのアドレス　：　") + window::board_url(s) + "wbk_feed.xml\n"), 0u);
}

TEST_F(ControlTest, IdAndPasswordRulesAndTheWrite) {
    // A board that has never started: no DATA yet.
    EXPECT_EQ(window::id_password_dialog_ok(c, "", "pw"), Dialog::StaysOpen);
    EXPECT_EQ(fake.shown.back().text, sjis(u8"[ＩＤ]が、入力されていませんでした。"));
    EXPECT_EQ(window::id_password_dialog_ok(c, "id", ""), Dialog::StaysOpen);
    EXPECT_EQ(fake.shown.back().text, sjis(u8"[パスワード]が、入力されていませんでした。"));
    fake.answers = {true};
    std::string id = sjis(u8"新しい");
    EXPECT_EQ(window::id_password_dialog_ok(c, id, "pw"), Dialog::Ends);
    EXPECT_EQ(read_file("DATA/IDPASSWORD/idpassword.ini"), "ID=" + id + "\r\nPASSWORD=pw\r\n");
    EXPECT_EQ(b.LoginId, id);
    EXPECT_EQ(b.LoginPassword, "pw");
    EXPECT_EQ(fake.shown.back().text, sjis(u8"ＩＤを、[　新しい　]\nパスワードを、[　pw　]\nに変更しました。"));
}

TEST_F(ControlTest, CredentialsTheFileCannotHoldAreRefused) {
    // The file's reader would take "myID=secret" for the ID line.
    b.LoginId = b.LoginPassword = "old";
    fake.answers = {true, true, true, true};
    for (auto [id, password] : {std::pair{"owner", "myID=secret"}, std::pair{"PASSWORD=x", "pw"},
                                std::pair{"owner", "xPASSWORD="}, std::pair{"ID=", "pw"}}) {
        EXPECT_EQ(window::id_password_dialog_ok(c, id, password), Dialog::StaysOpen) << id << " " << password;
        EXPECT_EQ(fake.shown.back().text,
                  sjis(u8"[ＩＤ]か[パスワード]に、「ID=」か「PASSWORD=」を含めることはできません。\n別の文字列を入力して下さい。"));
        EXPECT_EQ(fake.shown.back().caption, sjis(u8"確認メッセージ"));
        EXPECT_EQ(fake.shown.back().owner, Owner::Dialog);
        EXPECT_FALSE(fake.shown.back().yes_no);
    }
    EXPECT_EQ(fake.answers.size(), 4u) << "refused before the confirmation";
    EXPECT_FALSE(file_exists("DATA/IDPASSWORD/idpassword.ini"));
    EXPECT_EQ(b.LoginId, "old");
    EXPECT_EQ(b.LoginPassword, "old");
}

TEST_F(ControlTest, FailedCredentialsWriteChangesNothing) {
    b.LoginId = "old";
    write_file("DATA", "a file where the directory should be");
    fake.answers = {true};
    window::id_password_dialog_ok(c, "new", "pw");
    EXPECT_EQ(b.LoginId, "old");
    EXPECT_EQ(fake.shown.back().caption, sjis(u8"エラーメッセージ"));
    EXPECT_EQ(fake.shown.back().text,
              sjis(u8"[DATA/IDPASSWORD/idpassword.ini]ファイルのオープンに失敗しました。\n何度も発生する場合は再起動して下さい。"));
}

TEST_F(ControlTest, CredentialsAreCutAtFiftyBytesWithoutSplittingACharacter) {
    std::string wide = sjis(u8"あいうえおかきくけこさしすせそたちつてとなにぬねのは");  // 52 bytes
    EXPECT_EQ(window::cut_shift_jis(wide, 50), wide.substr(0, 50));
    EXPECT_EQ(window::cut_shift_jis("a" + wide, 50), "a" + wide.substr(0, 48));
}

TEST_F(ControlTest, ResetWithoutDataChangesNothing) {
    b.MessageNo = 5;
    b.CurrentPage = 3;
    EXPECT_EQ(window::message_reset(c), board::ResetResult::CountersOrMainPage);
    EXPECT_EQ(b.MessageNo, 5) << "memory follows the disk";
    EXPECT_EQ(b.CurrentPage, 3);
    ASSERT_EQ(fake.shown.size(), 1u);
    EXPECT_EQ(fake.shown[0].owner, Owner::None);
    EXPECT_EQ(fake.shown[0].caption, sjis(u8"エラーメッセージ"));
    EXPECT_FALSE(file_exists("DATA"));
    window::message_reset_dialog_ok(c);
    EXPECT_EQ(fake.shown.back().text.find(sjis(u8"[メッセージのリセット]処理が正常に動きませんでした。")), 0u);
}

TEST_F(ControlTest, ResetBeforeTheFirstLoginWritesThePages) {
    ASSERT_EQ(board::load_board_state(b), board::LoadResult::Loaded);
    window::message_reset_dialog_ok(c);
    EXPECT_EQ(read_file("DATA/MESSAGE/0.ini"), "message=0\r\npage=1\r\n");
    ASSERT_EQ(fake.shown.size(), 1u);
    EXPECT_EQ(fake.shown[0].text, sjis(u8"メッセージ数＝０\nページ番号＝１\nに設定しました。\n[メッセージのリセット]処理が正常に終了しました。"));
    EXPECT_EQ(read_file(board::paths::kMainPage), expected_page("main_page.html"));
    EXPECT_EQ(read_file(board::paths::kTextPage1), expected_page("text_page.html"));
    EXPECT_EQ(read_file(board::paths::kMenuPage), expected_page("menu_page.html"));
}

TEST_F(ControlTest, ResetOnThreePagesKeepsTheirFilesAndOnlyPageOnesLink) {
    ASSERT_EQ(board::load_board_state(b), board::LoadResult::Loaded);
    Recorder rec;
    board::board_reply(b, rec.reply, 1);
    for (int page = 2; page <= 3; ++page) {
        board::make_new_text_page(page);
        board::rewrite_sections(board::paths::kMenuPage, board::paths::kMenuWork,
                                {board::Section{board::kPageLinkStart, board::kPageLinkEnd, board::page_link_line(page),
                                                board::SectionMode::Prepend}});
    }
    std::string page3 = read_file(board::text_page_path(3));
    board::page_select(b, "wbk_select_3.cgi");
    std::string menu_before = read_file(board::paths::kMenuPage);
    window::message_reset_dialog_ok(c);
    EXPECT_EQ(fake.shown.back().text, sjis(u8"メッセージ数＝０\nページ番号＝１\nに設定しました。\n[メッセージのリセット]処理が正常に終了しました。"));
    EXPECT_EQ(read_file(board::text_page_path(3)), page3);
    std::string menu = read_file(board::paths::kMenuPage);
    EXPECT_EQ(menu.find("wbk_select_3.cgi"), std::string::npos);
    EXPECT_EQ(menu.find("wbk_select_2.cgi"), std::string::npos);
    EXPECT_NE(menu.find("wbk_select_1.cgi"), std::string::npos);
    EXPECT_NE(menu.find(sjis(u8"<p>－3－</p>")), std::string::npos) << "the shown page stays until the next reply";
    EXPECT_EQ(read_file(board::paths::kTextPage1), expected_page("text_page.html"));
    EXPECT_EQ(read_file(board::paths::kMainPage), expected_page("main_page.html"));
}

TEST_F(ControlTest, ResetOfAMainPageWithoutEndMarkerStillRewritesTheOthers) {
    ASSERT_EQ(board::load_board_state(b), board::LoadResult::Loaded);
    Recorder rec;
    board::board_reply(b, rec.reply, 1);
    std::string main_page = read_file(board::paths::kMainPage);
    std::string end = std::string(board::kPlainEnd.substr(0, board::kPlainEnd.size() - 1)) + "\r\n";
    write_file(board::paths::kMainPage, main_page.substr(0, main_page.find(end)));
    EXPECT_EQ(window::message_reset(c), board::ResetResult::Done);
    std::string start = std::string(board::kPlainStart.substr(0, board::kPlainStart.size() - 1)) + "\r\n";
    std::string now = read_file(board::paths::kMainPage);
    std::string tail = start + "<frame src='wbk_text_1.html' name='wbk_text'>\r\n";
    EXPECT_EQ(now.substr(now.size() - tail.size()), tail);
    EXPECT_EQ(read_file(board::paths::kTextPage1), expected_page("text_page.html"));
}

TEST_F(ControlTest, ExitNeedsAYes) {
    fake.answers = {false, true};
    EXPECT_FALSE(window::exit_confirmation(c));
    EXPECT_TRUE(window::exit_confirmation(c));
    EXPECT_EQ(fake.shown.back().text, sjis(u8"コモレビ\nアプリケーションを終了します。\n宜しいですか？。"));
    EXPECT_EQ(fake.shown.back().owner, Owner::Main);
}

TEST_F(ControlTest, RouterPortWarnsOnceAndIsKeptOnlyWhileOn) {
    b.LoginId = b.LoginPassword = board::kDefaultCredential;
    window::load_owner_settings(c, std::nullopt, false, std::nullopt, std::nullopt, true);
    EXPECT_EQ(c.upnp, 1) << "--upnp";
    // Off, a cancelled on, on (warned first, once a run), off, on again: each a yes or no, this run's and the file's choice after.
    const struct { bool yes; int after; bool warned; } steps[] = {{true, 0, false}, {false, 0, true}, {true, 1, false},
                                                                 {true, 0, false}, {true, 1, false}};
    for (const auto& step : steps) {
        fake.shown.clear();
        fake.answers = {step.yes};
        window::upnp_menu(c);
        EXPECT_EQ(c.upnp, step.after);
        EXPECT_EQ(read_file("DATA/settings.ini").find("upnp=1\r\n") != std::string::npos, step.after == 1);
        ASSERT_EQ(fake.shown.size(), step.warned ? 2u : 1u) << fake.shown.back().text;
        EXPECT_EQ(fake.shown[0].text.find("インターネットからの訪問者") == 0, step.warned);
        for (const char* advice : {"ＩＤとパスワードが初期値のまま", "閲覧制限"})
            EXPECT_EQ(fake.shown[0].text.find(advice) != std::string::npos, step.warned) << advice;
    }
    EXPECT_FALSE(c.router) << "nothing asks the router while the server is stopped";
}
