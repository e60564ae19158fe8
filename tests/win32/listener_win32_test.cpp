// The board's server over Winsock: start, serve, stop and restart on 127.0.0.1.
#include <gtest/gtest.h>

#include "board/routes.h"
#include "server/listener.h"
#include "support/test_support.h"
#include "win32/win32_test_support.h"

using namespace testing_support;

namespace {

class WindowsListener : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ASSERT_TRUE(server::network_initialisation(s));
        s.bind_address = "127.0.0.1";
        s.ListenPort = 0;  // the system's choice, so that tests never collide
    }
    void TearDown() override {
        server::stop(s);
        TempDirTest::TearDown();
    }
    void start() {
        ASSERT_EQ(server::start(s), server::StartResult::Started);
        ASSERT_EQ(s.ServerState, server::RunState::Running);
        port = s.bound_port;
    }
    std::string get(std::uint16_t p) { return http_exchange(p, "GET / HTTP/1.0\r\n\r\n"); }
    board::Board b;
    server::Server s{board::request_handler(b)};
    std::uint16_t port = 0;
};

std::string cookie_of(const std::string& reply) {
    const std::string key = "Set-Cookie: SESSIONID=";
    size_t at = reply.find(key);
    if (at == std::string::npos) return "";
    size_t end = reply.find(';', at);
    return reply.substr(at + key.size(), end - at - key.size());
}

}  // namespace

TEST_F(WindowsListener, ServesTheLoginPageWithCrLfLineEnds) {
    start();
    EXPECT_EQ(read_file("DATA/MESSAGE/0.ini"), "message=0\r\npage=1\r\n");
    std::string reply = get(port);
    EXPECT_EQ(reply.substr(0, 16), "HTTP/1.0 200 OK\n");
    EXPECT_EQ(reply_body(reply), expected_page("login_page.html"));
}

TEST_F(WindowsListener, LoginAndPostOverHttp) {
    start();
    std::string login =
        http_exchange(port, post_request("wbk_login.cgi", "id=quietharborlights&password=quietharborlights"));
    std::string cookie = cookie_of(login);
    ASSERT_FALSE(cookie.empty()) << login;
    std::string reply = http_exchange(port, post_request("wbk_write.cgi", "name=%95%5C&title=t&text=hello+board",
                                                         "Cookie: SESSIONID=" + cookie + "\r\n"));
    EXPECT_EQ(reply.substr(0, 16), "HTTP/1.0 200 OK\n");
    EXPECT_EQ(read_file("DATA/MESSAGE/0.ini"), "message=1\r\npage=1\r\n");
    std::string page = read_file("DATA/HTML/wbk_text_1.html");
    EXPECT_NE(page.find("hello board"), std::string::npos);
    EXPECT_NE(page.find("\x95\x5C"), std::string::npos) << "the name's Shift_JIS bytes stay as they came";
}

TEST_F(WindowsListener, PortHeldByAnotherProgramGivesThreeUntilItIsFree) {
    testing_win32::Winsock winsock;
    std::uint16_t held = 0;
    SOCKET other = testing_win32::hold_port(held);
    s.ListenPort = held;
    EXPECT_EQ(server::start(s), server::StartResult::BindFailed);
    EXPECT_EQ(s.ServerState, server::RunState::NeverStarted);
    EXPECT_FALSE(s.accept_thread.joinable());
    ::closesocket(other);
    EXPECT_EQ(server::start(s), server::StartResult::Started);
    EXPECT_EQ(get(held).substr(0, 15), "HTTP/1.0 200 OK");
}

TEST_F(WindowsListener, StopAndStartOnOnePortAfterServing) {
    start();
    s.ListenPort = port;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(get(port).substr(0, 15), "HTTP/1.0 200 OK") << i;
        server::stop(s);
        EXPECT_EQ(s.ServerState, server::RunState::Stopped);
        EXPECT_EQ(get(port), "<connect failed>") << "stopped means closed";
        EXPECT_EQ(server::start(s), server::StartResult::Started) << "restart " << i;
    }
}

TEST_F(WindowsListener, SetPortThenRestartMovesTheServer) {
    start();
    std::uint16_t old_port = port;
    testing_win32::Winsock winsock;
    std::uint16_t fresh = 0;
    ::closesocket(testing_win32::hold_port(fresh));  // a port that was just free
    ASSERT_TRUE(server::set_port(s, fresh));
    EXPECT_EQ(s.ServerState, server::RunState::Running) << "set port alone restarts nothing";
    EXPECT_EQ(get(old_port).substr(0, 15), "HTTP/1.0 200 OK");
    server::stop(s);
    ASSERT_EQ(server::start(s), server::StartResult::Started);
    EXPECT_EQ(s.bound_port, fresh);
    EXPECT_EQ(get(fresh).substr(0, 15), "HTTP/1.0 200 OK");
    EXPECT_EQ(get(old_port), "<connect failed>");
}

TEST_F(WindowsListener, UnwritableDataGivesFive) {
    write_file("DATA", "a file where the directory should be");
    EXPECT_EQ(server::start(s), server::StartResult::NotReady);
    EXPECT_EQ(s.ServerState, server::RunState::NeverStarted);
}
