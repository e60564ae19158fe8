#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "board/routes.h"
#include "board/board_reply.h"
#include "board/paths.h"
#include "board/state.h"
#include "window/console/console.h"
#include "window/notify.h"
#include "support/test_support.h"

using namespace testing_support;

class ConsoleSession : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        server::network_initialisation(s);
        s.bind_address = "127.0.0.1";
        s.LocalAddress = "127.0.0.1";
        s.ListenPort = 0;
    }
    void TearDown() override {
        server::stop(s);
        TempDirTest::TearDown();
    }
    // Runs the console on the given input; returns what it printed.
    std::string run(const std::string& input) {
        int fds[2];
        EXPECT_EQ(::pipe(fds), 0);
        EXPECT_EQ(::write(fds[1], input.data(), input.size()), static_cast<ssize_t>(input.size()));
        ::close(fds[1]);
        std::FILE* out = std::tmpfile();
        window::Control c(s, b, {});
        EXPECT_EQ(window::console::run_console(c, fds[0], out), 0);
        ::close(fds[0]);
        std::rewind(out);
        std::string text;
        char buf[4096];
        while (size_t n = std::fread(buf, 1, sizeof buf, out)) text.append(buf, n);
        std::fclose(out);
        return text;
    }
    // A port that is free now.
    std::uint16_t free_port() {
        board::Board other;
        server::Server probe(board::request_handler(other));
        probe.bind_address = "127.0.0.1";
        probe.ListenPort = 0;
        EXPECT_EQ(server::start(probe), server::StartResult::Started);
        std::uint16_t port = probe.bound_port;
        server::stop(probe);
        return port;
    }
    board::Board b;
    server::Server s{board::request_handler(b)};
};

TEST_F(ConsoleSession, ControlsEverythingTheWindowControls) {
    std::uint16_t port = free_port();
    std::string input = "start\n"
                        "port\n" + std::to_string(port) + "\ny\n"
                        "log\n1\ny\n"
                        "id\nnew-id\xF0\x9F\x98\x80\nnew-pw\n"  // refused: no Shift_JIS form; asked again
                        "new-id\nnew-pw\ny\n"
                        "about\n"
                        "quit\nn\n"
                        "reset\ny\n"
                        "quit\ny\n";
    // Pages to reset: the board as a first login leaves it.
    ASSERT_EQ(board::load_board_state(b), board::LoadResult::Loaded);
    Recorder rec;
    board::board_reply(b, rec.reply, 1);
    b.MessageNo = 42;
    std::string out = run(input);

    EXPECT_NE(out.find(u8"[ 稼動 ] しています。"), std::string::npos);
    EXPECT_NE(out.find(u8"伝言板サーバーのポート番号は [ " + std::to_string(port) + u8" ] です。"), std::string::npos);
    EXPECT_NE(out.find(u8"ＬＯＧ情報を取得しています。"), std::string::npos);
    EXPECT_NE(out.find(u8"コモレビ version 1.0"), std::string::npos);
    EXPECT_NE(out.find(u8"[メッセージのリセット]処理が正常に終了しました。"), std::string::npos);
    EXPECT_NE(out.find(u8"ＩＤとパスワードが初期値のままです"), std::string::npos) << "warned before the change";
    EXPECT_NE(out.find(u8"[ＩＤ]か[パスワード]に、使用できない文字が含まれています。"), std::string::npos);

    EXPECT_EQ(s.ListenPort, port);
    EXPECT_EQ(b.LogEnabled, 1);
    EXPECT_EQ(read_file("DATA/IDPASSWORD/idpassword.ini"), "ID=new-id\r\nPASSWORD=new-pw\r\n");
    EXPECT_EQ(read_file("DATA/MESSAGE/0.ini"), "message=0\r\npage=1\r\n");
    EXPECT_EQ(s.ServerState, server::RunState::Stopped) << "quit stops the server";

    // The board now answers on the new port, and only to the new pair.
    ASSERT_EQ(server::start(s), server::StartResult::Started);
    EXPECT_EQ(s.bound_port, port);
    std::string body = "id=new-id&password=new-pw";
    EXPECT_NE(http_exchange(port, post_request("wbk_login.cgi", body)).find("Set-Cookie: SESSIONID="), std::string::npos);
    std::string old = "id=quietharborlights&password=quietharborlights";
    EXPECT_EQ(http_exchange(port, post_request("wbk_login.cgi", old)).find("Set-Cookie"), std::string::npos);
}

TEST_F(ConsoleSession, DeleteListsThePageAndAsksUntilAMessageIsDeleted) {
    load_fresh_board(b);
    std::string cookie = logged_in_cookie(b);
    for (const char* body : {"name=n1&title=t1&text=first", "name=n2&title=t2&text=second"}) {
        Recorder rec;
        board::respond(b, server::parse_request(post_request("wbk_write.cgi", body, cookie), "127.0.0.1"), rec.reply);
    }
    // The page asked for in full-width digits, a position not on the page,
    // then No, then the older message with Yes; then the newer one named
    // on the command line, in full-width digits too.
    std::string out = run(u8"delete\np １\n9\n2\nn\n2\ny\ndelete １ １\ny\nquit\ny\n");
    EXPECT_NE(out.find(u8"  2  2011年4月28日0時6分25秒  n1  t1\n"), std::string::npos) << out;
    EXPECT_NE(out.find(u8"その番号のメッセージは、このページにありません。"), std::string::npos);
    EXPECT_NE(out.find(u8"次のメッセージを削除します。\nページ　：　1\n時間　：　2011年4月28日0時6分25秒\n名前　：　n1\n題名　：　t1\n"),
              std::string::npos);
    EXPECT_NE(out.find(u8"[メッセージの削除]処理が正常に終了しました。"), std::string::npos);
    std::string page = read_file("DATA/HTML/wbk_text_1.html");
    EXPECT_EQ(page.find("first"), std::string::npos);
    EXPECT_EQ(page.find("second"), std::string::npos);
}

TEST_F(ConsoleSession, VisitorsTextReachesTheTerminalAsTextOnly) {
    load_fresh_board(b);
    // A title change, a screen clear and colours in the name, an unterminated
    // title sequence and a C1 byte in the title, a lone lead byte ending the text's words.
    const char* body = "name=x%1B%5D0%3Bowned%07%1B%5B2J%1B%5B31m%9B&title=y%1B%5D2%3B%80%7F&text=word";
    Recorder rec;
    board::respond(b, server::parse_request(post_request("wbk_write.cgi", body, logged_in_cookie(b)), "127.0.0.1"), rec.reply);
    std::string out = run("delete 1\n\nsearch word\ndelete 1 1\nn\nquit\ny\n");
    for (char control : {'\x1b', '\x07', '\x7f'}) EXPECT_EQ(out.find(control), std::string::npos) << out;
    const std::string name = u8"x ]0;owned  [2J [31m ", title = u8"y ]2;  ";
    const std::string listed = u8"  1  2011年4月28日0時6分25秒  " + name.substr(0, 16) + u8"…  " + title + "\n";
    EXPECT_NE(out.find("\n" + listed), std::string::npos) << out;
    EXPECT_NE(out.find("\n    1 " + listed), std::string::npos) << out;
    EXPECT_NE(out.find(u8"名前　：　" + name + u8"\n題名　：　" + title + "\n"), std::string::npos) << out;
    EXPECT_NE(window::new_message_line(board::StoredMessage{"t", "a\x82", "b\x1b", "x", 1, 1}).find(sjis(u8"　名前：a 　題名：b 　")), std::string::npos);
}

TEST_F(ConsoleSession, EndOfInputQuitsAndStopsTheServer) {
    std::string out = run("start\nstatus\n");
    EXPECT_NE(out.find(u8"[ 稼動 ] しています。"), std::string::npos);
    EXPECT_EQ(s.ServerState, server::RunState::Stopped);
}

TEST_F(ConsoleSession, RefusedPortKeepsAskingUntilCancelled) {
    std::string out = run("port\n70000\n\nquit\ny\n");
    EXPECT_NE(out.find(u8"ポート番号[ 70000 ]は、設定できません。"), std::string::npos);
    EXPECT_EQ(s.ListenPort, 0);
}

TEST_F(ConsoleSession, EachStoredMessageGetsItsLineAtOnce) {
    b.clock = fixed_clock(2011, 4, 28, 0, 6, 25);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::FILE* out = std::tmpfile();
    window::Control c(s, b, {});
    std::thread console([&] { window::console::run_console(c, fds[0], out, true); });
    auto printed = [&] {
        std::string text(1 << 16, '\0');
        ssize_t n = ::pread(::fileno(out), text.data(), text.size(), 0);
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return text;
    };
    for (int i = 0; i < 250 && printed().find("> ") == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(s.ServerState, server::RunState::Running);
    std::string login = http_exchange(s.bound_port, post_request("wbk_login.cgi", "id=quietharborlights&password=quietharborlights"));
    size_t at = login.find("SESSIONID=") + 10;
    std::string cookie = "Cookie: SESSIONID=" + login.substr(at, login.find(';', at) - at) + "\r\n";
    // A name in Japanese with an escape sequence that would clear the owner's screen.
    http_exchange(s.bound_port, post_request("wbk_write.cgi", "name=%96%BC%1B%5B2J&title=t1&text=x", cookie));
    const std::string line = u8"【新着】2011年4月28日0時6分25秒　名前：名 [2J　題名：t1　（1ページの1件目）\n";
    for (int i = 0; i < 250 && printed().find(line) == std::string::npos; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(printed().find(line), std::string::npos) << printed();
    ASSERT_EQ(::write(fds[1], "quit\ny\n", 7), 7);
    ::close(fds[1]);
    console.join();
    ::close(fds[0]);
    std::fclose(out);
}

TEST(ConsoleText, ShiftJisRoundTripsThroughTheTerminalCharset) {
    std::string sjis_text = "コモレビ";  // compiled to Shift_JIS
    EXPECT_EQ(window::console::from_terminal(window::console::to_terminal(sjis_text)), sjis_text);
    // An unassigned pair (85 88) is one unknown character; the kanji after it (9F 41) stays whole.
    EXPECT_EQ(window::console::to_terminal("\x85\x88\x9F\x41"), window::console::to_terminal("?\x9F\x41"));
}
