#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "board/routes.h"
#include "platform/file_faults.h"
#include "server/listener.h"
#include "support/test_support.h"

using namespace testing_support;
using Clock = std::chrono::steady_clock;

class Listener : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        ASSERT_TRUE(server::network_initialisation(s));
        EXPECT_EQ(s.ListenPort, 53790);
        s.bind_address = "127.0.0.1";
        s.ListenPort = 0;  // the system's choice, so tests never collide
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
    board::Board b;
    server::Server s{board::request_handler(b)};
    std::uint16_t port = 0;
};

// A socket holding a port on 127.0.0.1, as another program would.
static int hold_port(std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 1);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

TEST_F(Listener, ServesTheLoginPageAndNotFoundByteForByte) {
    s.trusted_proxy = "127.0.0.1";  // a plain request from the proxy's address keeps its bytes too
    start();
    EXPECT_TRUE(file_exists("DATA/MESSAGE/0.ini"));
    std::string reply = http_exchange(port, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply_body(reply), expected_page("login_page.html"));
    EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\nContent-Type: text/html\nContent-Length: ", 0), 0u);
    std::string missing = http_exchange(port, "GET /nothing.html HTTP/1.0\r\n\r\n");
    EXPECT_EQ(missing.size(), 138u);
    EXPECT_EQ(http_exchange(port, "GET /../DATA/MESSAGE/0.ini HTTP/1.0\r\n\r\n"), missing);

    // Through the proxy as https: every reply shape hardened, the session cookie kept from scripts.
    const std::string https = "X-Forwarded-Proto: https\r\n";
    const std::string status = "HTTP/1.0 200 OK\n";
    const std::string hardening =
        "X-Frame-Options: SAMEORIGIN\nX-Content-Type-Options: nosniff\nReferrer-Policy: same-origin\n";
    EXPECT_EQ(http_exchange(port, "GET / HTTP/1.0\r\n" + https + "\r\n"),
              status + hardening + reply.substr(status.size()));
    EXPECT_EQ(http_exchange(port, "GET /nothing.html HTTP/1.0\r\n" + https + "\r\n"),
              status + hardening + missing.substr(status.size()));
    // The line after the hardening (or the status line) with its value left out.
    auto cookie_line = [](const std::string& text, size_t at) {
        std::string line = text.substr(at, text.find('\n', at) + 1 - at);
        size_t digits = line.find_first_not_of("0123456789", 22);
        return digits > 22 ? line.substr(0, 22) + "N" + line.substr(digits) : line;
    };
    const std::string login = post_request("wbk_login.cgi", "id=quietharborlights&password=quietharborlights");
    std::string secure = http_exchange(
        port, post_request("wbk_login.cgi", "id=quietharborlights&password=quietharborlights", https));
    EXPECT_EQ(secure.substr(0, status.size() + hardening.size()), status + hardening);
    EXPECT_EQ(cookie_line(secure, status.size() + hardening.size()),
              "Set-Cookie: SESSIONID=N; Path=/; Secure; HttpOnly; SameSite=Lax\n");
    EXPECT_EQ(cookie_line(http_exchange(port, login), status.size()), "Set-Cookie: SESSIONID=N;\n");
}

TEST_F(Listener, RequestInTwoPiecesIsServedWhole) {
    start();
    std::string body = "id=quietharborlights&password=quietharborlights";
    std::string headers = "POST /wbk_login.cgi HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
    std::string reply = http_exchange(port, headers, 300, body);
    EXPECT_NE(reply.find("Set-Cookie: SESSIONID="), std::string::npos);
}

TEST_F(Listener, IdleClientDoesNotDelayAnother) {
    start();
    int idle = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    ASSERT_EQ(::connect(idle, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::send(idle, "GET /", 5, 0);  // and never more
    auto t0 = Clock::now();
    std::string reply = http_exchange(port, "GET / HTTP/1.0\r\n\r\n");
    auto took = Clock::now() - t0;
    EXPECT_EQ(reply.substr(0, 16), "HTTP/1.0 200 OK\n");
    EXPECT_LT(took, std::chrono::milliseconds(500));
    ::close(idle);
}

TEST_F(Listener, ClientThatNeverReadsIsCutOffBySendDeadline) {
    s.send_timeout_ms = 300;
    start();
    // A page far larger than the socket buffers, asked for by a client that
    // then reads nothing: the sends fill the buffers and must give up.
    make_dirs("DATA/HTML");
    write_file("DATA/HTML/big.html", std::string(32 << 20, 'x'));
    int stuck = ::socket(AF_INET, SOCK_STREAM, 0);
    int small = 4096;
    ::setsockopt(stuck, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    ASSERT_EQ(::connect(stuck, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    std::string request = "GET /big.html HTTP/1.0\r\n\r\n";
    ::send(stuck, request.data(), request.size(), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // its reply is under way
    auto t0 = Clock::now();
    std::string reply = http_exchange(port, "GET / HTTP/1.0\r\n\r\n");
    auto took = Clock::now() - t0;
    EXPECT_EQ(reply.substr(0, 16), "HTTP/1.0 200 OK\n");
    EXPECT_LT(took, std::chrono::milliseconds(2000));
    ::close(stuck);
}

// Holds every file sync until released: a post stays inside the board, with
// the board lock held, for as long as a test needs.
struct HeldSyncs {
    static inline std::mutex mutex;
    static inline std::condition_variable changed;
    static inline bool entered = false, released = false;
    static platform::FileFault hold(platform::FileOp op, const std::string&) {
        if (op != platform::FileOp::Sync) return platform::FileFault::None;
        std::unique_lock<std::mutex> lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [] { return released; });
        return platform::FileFault::None;
    }
    HeldSyncs() {
        entered = released = false;
        platform::file_fault_hook = hold;
    }
    bool wait_entered() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [] { return entered; });
    }
    void release() {
        std::lock_guard<std::mutex> guard(mutex);
        released = true;
        changed.notify_all();
    }
    ~HeldSyncs() {
        release();
        platform::file_fault_hook = nullptr;
    }
};

TEST_F(Listener, PagesAreReadWhileAPostIsHeldInsideTheBoard) {
    start();
    std::string login = http_exchange(port, post_request("wbk_login.cgi", "id=quietharborlights&password=quietharborlights"));
    size_t at = login.find("SESSIONID=");
    ASSERT_NE(at, std::string::npos);
    std::string cookie = "Cookie: SESSIONID=" + login.substr(at + 10, login.find(';', at) - at - 10) + "\r\n";
    std::string page = read_file("DATA/HTML/wbk_text_1.html");
    http_exchange(port, "GET / HTTP/1.0\r\n\r\n");  // the login page is written at its first reading
    b.PrivateReading = 1;
    std::future<std::string> post;
    std::string with_session, without_session;
    {
        HeldSyncs held;
        post = std::async(std::launch::async, [&] {
            return http_exchange(port, post_request("wbk_write.cgi", "name=a&title=b&text=c", cookie));
        });
        ASSERT_TRUE(held.wait_entered()) << "the post reached its first sync";
        auto get = [&](const std::string& headers) {
            return std::async(std::launch::async, [this, headers] {
                return http_exchange(port, "GET /wbk_text_1.html HTTP/1.0\r\n" + headers + "\r\n");
            });
        };
        auto reader = get(cookie), stranger = get("");
        EXPECT_EQ(reader.wait_for(std::chrono::seconds(2)), std::future_status::ready) << "a reader waited for the post";
        EXPECT_EQ(stranger.wait_for(std::chrono::seconds(2)), std::future_status::ready);
        held.release();
        with_session = reader.get();
        without_session = stranger.get();
    }
    EXPECT_EQ(reply_body(with_session), page);
    EXPECT_NE(with_session.find("Cache-Control: no-store\n"), std::string::npos);
    EXPECT_EQ(reply_body(without_session), expected_page("login_page.html"));
    EXPECT_NE(post.get().find("<frame src='wbk_menu.html'"), std::string::npos) << "the post got the board reply";
}

TEST_F(Listener, AFullBoardQueueGetsTheErrorPageAtOnceAndPagesAreStillRead) {
    s.board_queue_limit = 1;
    start();
    // The login page is written at its first reading.
    std::string login_page = http_exchange(port, "GET / HTTP/1.0\r\n\r\n");
    std::string login = post_request("wbk_login.cgi", "id=quietharborlights&password=quietharborlights");
    std::future<std::string> held_login, second, third;
    {
        HeldSyncs held;
        held_login = std::async(std::launch::async, [&] { return http_exchange(port, login); });
        ASSERT_TRUE(held.wait_entered()) << "the login is held inside the board";
        // One waits for the board thread; the other finds the queue full.
        second = std::async(std::launch::async, [&] { return http_exchange(port, login); });
        third = std::async(std::launch::async, [&] { return http_exchange(port, login); });
        auto page = std::async(std::launch::async, [this] {
            return http_exchange(port, "GET / HTTP/1.0\r\n\r\n");
        });
        ASSERT_EQ(page.wait_for(std::chrono::seconds(2)), std::future_status::ready) << "a reader waited for the board";
        EXPECT_EQ(page.get(), login_page);
        bool second_done = second.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
        bool third_done = third.wait_for(std::chrono::milliseconds(second_done ? 200 : 2000)) == std::future_status::ready;
        ASSERT_NE(second_done, third_done) << "exactly one of the two was answered while the board was held";
        std::string refused = second_done ? second.get() : third.get();
        EXPECT_NE(refused.find(sjis(u8"伝言板サーバーが不安定になっています。")), std::string::npos) << refused;
        held.release();
    }
    EXPECT_NE(held_login.get().find("SESSIONID="), std::string::npos);
    std::string queued = second.valid() ? second.get() : third.get();
    EXPECT_NE(queued.find("SESSIONID="), std::string::npos) << "the one that waited was handled";
}

TEST_F(Listener, OneAddressGetsAQuarterOfTheBoardQueue) {
    s.board_queue_limit = 8;  // a share of 2 for each address
    s.trusted_proxy = "127.0.0.1";
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    s.handler.answer_at_once = nullptr;
    s.handler.respond = [released](const server::Request&, server::Reply& reply) { released.wait(); reply.send("done", 4); };
    start();
    std::vector<std::future<std::string>> sent;  // from 10.0.0.9 (held), 1, 1, 1 (over its share), 2, 2
    for (int from : {9, 1, 1, 1, 2, 2}) {
        sent.push_back(std::async(std::launch::async, [this, from] {
            return http_exchange(port, "POST /x HTTP/1.0\r\nX-Forwarded-For: 10.0.0." + std::to_string(from) + "\r\n\r\n");
        }));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // queued in this order
    }
    EXPECT_EQ(sent[3].wait_for(std::chrono::seconds(2)), std::future_status::ready) << "a third from one address waits";
    EXPECT_EQ(sent[5].wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    release.set_value();
    for (size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(sent[i].get() == "done", i != 3) << i;
}

TEST_F(Listener, SideRequestsRunOneAtATimeAFewWaitAndTheRestAreToldToTryAgain) {
    std::mutex m;
    std::condition_variable changed;
    int running = 0, most = 0;
    bool released = false;
    s.handler.respond_aside = [&](const server::Request&, server::Reply& reply) {
        std::unique_lock<std::mutex> lock(m);
        most = std::max(most, ++running);
        changed.notify_all();
        changed.wait(lock, [&] { return released; });
        --running;
        reply.send("done", 4);
    };
    s.handler.side_busy = [](const server::Request&, server::Reply& reply) { reply.send("busy", 4); };
    s.trusted_proxy = "127.0.0.1";
    start();
    int next_address = 0;
    auto search = [this, &next_address](int address = -1) {
        std::string from = "10.0.0." + std::to_string(address < 0 ? ++next_address : address);
        return std::async(std::launch::async, [this, from] {
            return http_exchange(port, "GET /wbk_search.cgi?q=a HTTP/1.0\r\nX-Forwarded-For: " + from + "\r\n\r\n");
        });
    };
    std::vector<std::future<std::string>> admitted;
    std::future<std::string> same_address;
    admitted.push_back(search());
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(2), [&] { return running == 1; }));
    }
    for (size_t i = 0; i < server::kSideWaiting; ++i) {
        admitted.push_back(search());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // queued in this order
        if (i == 0) {  // an address has a quarter of the places at most
            same_address = search(next_address);
            EXPECT_EQ(same_address.wait_for(std::chrono::seconds(2)), std::future_status::ready);
        }
    }
    auto turned_away = search(1);  // asked as often as the busiest waiting address
    ASSERT_EQ(turned_away.wait_for(std::chrono::seconds(2)), std::future_status::ready);
    EXPECT_EQ(turned_away.get(), "busy");
    // An address that asked less takes the place of the one that asked most.
    auto fresh = search();
    EXPECT_EQ(admitted[1].wait_for(std::chrono::seconds(2)), std::future_status::ready);
    auto page = std::async(std::launch::async, [this] { return http_exchange(port, "GET / HTTP/1.0\r\n\r\n"); });
    EXPECT_EQ(page.wait_for(std::chrono::seconds(2)), std::future_status::ready) << "a GET waited for a search";
    {
        std::lock_guard<std::mutex> lock(m);
        released = true;
    }
    changed.notify_all();
    EXPECT_EQ(admitted[1].get(), "busy");
    admitted[1] = std::move(fresh);
    for (auto& f : admitted) EXPECT_EQ(f.get(), "done");
    EXPECT_EQ(same_address.get(), "busy");
    EXPECT_EQ(most, 1) << "one at a time";
    EXPECT_EQ(page.get().compare(0, 16, "HTTP/1.0 200 OK\n"), 0);
}

TEST_F(Listener, ClientThatSendsNothingGetsNoReplyWhenTimeRunsOut) {
    s.request_timeout_ms = 200;
    start();
    EXPECT_EQ(http_exchange(port, ""), "");
    // A request cut short by its deadline is served as far as it came.
    EXPECT_EQ(http_exchange(port, "GET /x.html HTTP/1.0\r\n").size(), 138u);
}

TEST_F(Listener, OversizedRequestIsSeenAsItsFirst16384Bytes) {
    start();
    std::string body(20000, 'a');
    std::string text = "POST /wbk_login.cgi HTTP/1.0\r\nContent-Length: 20000\r\n\r\n" + body;
    std::string reply = http_exchange(port, text);
    EXPECT_EQ(reply_body(reply), expected_page("login_page.html"));
}

TEST_F(Listener, StartWhileRunningAndStopWhenStoppedChangeNothing) {
    server::stop(s);
    EXPECT_EQ(s.ServerState, server::RunState::NeverStarted);
    start();
    EXPECT_EQ(server::start(s), server::StartResult::AlreadyRunning);
    server::stop(s);
    EXPECT_EQ(s.ServerState, server::RunState::Stopped);
    server::stop(s);
    EXPECT_EQ(s.ServerState, server::RunState::Stopped);
}

TEST_F(Listener, PortHeldByAnotherProgramGivesThree) {
    std::uint16_t held = 0;
    int fd = hold_port(held);
    s.ListenPort = held;
    EXPECT_EQ(server::start(s), server::StartResult::BindFailed);
    EXPECT_EQ(s.ServerState, server::RunState::NeverStarted);
    ::close(fd);
    EXPECT_EQ(server::start(s), server::StartResult::Started);
    EXPECT_EQ(http_exchange(held, "GET / HTTP/1.0\r\n\r\n").substr(0, 15), "HTTP/1.0 200 OK");
}

TEST_F(Listener, StopAndStartOnOnePortWorkAtOnce) {
    start();
    s.ListenPort = port;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(http_exchange(port, "GET / HTTP/1.0\r\n\r\n").substr(0, 15), "HTTP/1.0 200 OK") << i;
        server::stop(s);
        EXPECT_FALSE(s.accept_thread.joinable()) << "stop waits for the accept thread";
        EXPECT_EQ(server::start(s), server::StartResult::Started) << i;
    }
}

TEST_F(Listener, UnwritableDataGivesFiveAndOpensNoSocket) {
    write_file("DATA", "a file where the directory should be");
    EXPECT_EQ(server::start(s), server::StartResult::NotReady);
    EXPECT_EQ(s.ServerState, server::RunState::NeverStarted);
    EXPECT_FALSE(s.accept_thread.joinable());
}

TEST_F(Listener, SetPortChangesOnlyThePortWhileStopped) {
    EXPECT_TRUE(server::set_port(s, 8080));
    EXPECT_EQ(s.ListenPort, 8080);
    EXPECT_EQ(s.ServerState, server::RunState::NeverStarted);
    EXPECT_EQ(s.LocalAddress, "127.0.0.1");
}
