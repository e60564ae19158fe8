// Every socket call of the server made to fail in turn, with each error that
// call can really return, while clients GET pages, post, read a long reply
// slowly, and while the server stops. For each scenario its socket calls are
// counted first; then, for every call K of each kind and every error of that
// kind, the scenario runs on a fresh start of the server with call K failing,
// and afterwards:
// - every reply is whole and right, or its connection was closed short with
//   the right reply's beginning (a call that is only to be tried again, such
//   as an interrupted one, loses no reply at all); no client waits in vain;
// - a post is stored once when its reply came whole, at most once otherwise;
// - the server still serves: a fresh GET gets its exact bytes;
// - a stop completes at once, and no descriptor is left open.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/net_faults.h"
#include "platform/text_file.h"
#include "server/listener.h"
#include "server/reply.h"
#include "support/test_support.h"

using namespace testing_support;
using platform::net::NetFault;
using platform::net::NetOp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr NetOp kOps[] = {NetOp::Accept,     NetOp::Receive,  NetOp::Send,     NetOp::Poll,
                          NetOp::SendBuffer, NetOp::WakePair, NetOp::WakeSend, NetOp::WakeReceive};
constexpr size_t kOpCount = std::size(kOps);

// An error a call can return, and whether it may cost the connection it hits
// (or, at the accept, the connection waiting there) its reply.
struct Error {
    NetFault fault;
    bool may_lose;
};

std::vector<Error> errors_of(NetOp op) {
    switch (op) {
        case NetOp::Accept:
            return {{NetFault::WouldBlock, false},     {NetFault::Interrupted, false},    {NetFault::Aborted, false},
                    {NetFault::TooManyFiles, true},    {NetFault::SystemFilesFull, true}, {NetFault::NoBuffers, false},
                    {NetFault::NoMemory, false}};
        case NetOp::Receive:
            return {{NetFault::WouldBlock, false}, {NetFault::Interrupted, false}, {NetFault::Reset, true},
                    {NetFault::TimedOut, true},    {NetFault::NoMemory, true}};
        case NetOp::Send:
            return {{NetFault::WouldBlock, false}, {NetFault::Interrupted, false}, {NetFault::Reset, true},
                    {NetFault::BrokenPipe, true},  {NetFault::NoBuffers, true},    {NetFault::NoMemory, true}};
        case NetOp::Poll:
            return {{NetFault::Interrupted, false}, {NetFault::NoMemory, false}, {NetFault::Invalid, false}};
        case NetOp::SendBuffer: return {{NetFault::NoMemory, false}, {NetFault::NoBuffers, false}};
        case NetOp::WakePair:
            return {{NetFault::TooManyFiles, true}, {NetFault::SystemFilesFull, true}, {NetFault::NoMemory, true}};
        case NetOp::WakeSend:
            return {{NetFault::Interrupted, false}, {NetFault::NoBuffers, false}, {NetFault::NoMemory, false}};
        case NetOp::WakeReceive: return {{NetFault::Interrupted, false}, {NetFault::NoMemory, false}};
    }
    return {};
}

// The seam's state: while armed, calls are counted from 1 for each kind, and
// call `target` of kind `op` gets `fault`.
struct Injector {
    std::mutex mutex;
    bool armed = false;
    std::array<int, kOpCount> calls{};
    NetOp op = NetOp::Accept;
    int target = 0;  // 0: count only
    NetFault fault = NetFault::None;
    bool hit = false;
} injector;

NetFault inject(NetOp op) {
    std::lock_guard<std::mutex> guard(injector.mutex);
    if (!injector.armed) return NetFault::None;
    int k = ++injector.calls[static_cast<size_t>(op)];
    if (injector.target == 0 || op != injector.op || k != injector.target) return NetFault::None;
    injector.hit = true;
    return injector.fault;
}

void arm(NetOp op, int target, NetFault fault) {
    std::lock_guard<std::mutex> guard(injector.mutex);
    injector.calls = {};
    injector.op = op;
    injector.target = target;
    injector.fault = fault;
    injector.hit = false;
    injector.armed = true;
}

// Ends the injection; true when the chosen call was reached and failed.
bool disarm(std::array<int, kOpCount>* calls = nullptr) {
    std::lock_guard<std::mutex> guard(injector.mutex);
    injector.armed = false;
    if (calls) *calls = injector.calls;
    return injector.hit;
}

size_t open_descriptors() {
    size_t n = 0;
    for (auto i = std::filesystem::directory_iterator("/proc/self/fd"); i != std::filesystem::directory_iterator(); ++i)
        ++n;
    return n;
}

std::string header_for(size_t length) {
    return "HTTP/1.0 200 OK\nContent-Type: text/html\nContent-Length: " + std::to_string(length) + "\n\n";
}

const std::string kSmallPage = "<HTML><BODY><P>a page the event loop answers at once</P></BODY></HTML>";
const std::string kSmallReply = header_for(kSmallPage.size()) + kSmallPage;
// Longer than the loop's file block, so it is sent from its file as the reader drains.
std::string big_page() {
    std::string page;
    for (int line = 0; page.size() < 96 * 1024; ++line) page += "<P>line " + std::to_string(line) + "</P>\r\n";
    return page;
}
const std::string kBigPage = big_page();
const std::string kBigReply = header_for(kBigPage.size()) + kBigPage;
std::string post_reply(const std::string& body) {
    std::string page = "<P>stored " + body + "</P>";
    return header_for(page.size()) + page;
}

// What the server serves: small.html from memory and big.html from its file on
// the event loop; a post on the board thread, which keeps what it stores.
struct Served {
    std::mutex mutex;
    std::vector<std::string> posts;
    int hold_ms = 0;  // how long a post's handling takes
    size_t stored() {
        std::lock_guard<std::mutex> guard(mutex);
        return posts.size();
    }
};

server::Handler handler(Served& served) {
    server::Handler h;
    h.answer_at_once = [](const server::Request& r, server::Reply& reply) {
        if (r.method != "GET") return false;
        if (r.path == "small.html") {
            server::file_reply(reply, kSmallPage, "text/html\n");
        } else if (platform::RawReader file; r.path == "big.html" && file.open("big.html")) {
            server::file_reply(reply, file, "text/html\n");
        } else {
            server::not_found_reply(reply);
        }
        return true;
    };
    h.respond = [&served](const server::Request& r, server::Reply& reply) {
        std::string body(r.body);
        int hold = 0;
        {
            std::lock_guard<std::mutex> guard(served.mutex);
            served.posts.push_back(body);
            hold = served.hold_ms;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(hold));
        std::string page = "<P>stored " + body + "</P>";
        server::file_reply(reply, page, "text/html\n");
    };
    return h;
}

// A client on 127.0.0.1; rcvbuf, when given, is its receive buffer (a reader
// that holds little).
class Client {
public:
    explicit Client(std::uint16_t port, int rcvbuf = 0) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        if (rcvbuf > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        timeval tv{3, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << "connect to port " << port;
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    ~Client() { ::close(fd_); }
    void send(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    // Reads until the server closes; a slow reader takes `piece` bytes at a
    // time with a pause between. waited_in_vain: 3 s passed without a byte or the close.
    std::string read_all(size_t piece = 8192, int pause_ms = 0) {
        std::string got;
        std::vector<char> buf(piece);
        for (;;) {
            ssize_t n = ::recv(fd_, buf.data(), buf.size(), 0);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) waited_in_vain = true;
            if (n <= 0) return got;
            got.append(buf.data(), static_cast<size_t>(n));
            if (pause_ms) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
        }
    }
    // Closes with a reset (RST) instead of an orderly end.
    void reset() {
        linger hard{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::close(fd_);
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    }
    bool waited_in_vain = false;

private:
    int fd_;
};

std::string post_request(const std::string& body) {
    return "POST /post HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n";
}

class SocketFaults : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        write_file("big.html", kBigPage);
        // A first start opens what the process keeps for good (the descriptor kept spare).
        server::Server s{handler(served)};
        configure(s);
        ASSERT_EQ(server::start(s), server::StartResult::Started);
        server::stop(s);
        platform::net::net_fault_hook = inject;
    }
    void TearDown() override {
        disarm();
        platform::net::net_fault_hook = nullptr;
        TempDirTest::TearDown();
    }
    static void configure(server::Server& s) {
        s.bind_address = "127.0.0.1";
        s.ListenPort = 0;
    }

    // What a scenario does: runs clients against the started server s and
    // checks what they got; may_lose says whether the failed call may cost a
    // reply. A scenario that stops the server says so.
    struct Scenario {
        std::string name;
        std::function<void(server::Server& s, bool may_lose)> run;
        bool stops = false;
    };

    // A reply is whole and right or was cut short: never other bytes.
    static void check_reply(const Client& c, const std::string& got, const std::string& expected, bool may_lose,
                            const char* what) {
        EXPECT_FALSE(c.waited_in_vain) << what << ": no reply and no close for 3 s";
        bool whole = got == expected;
        bool beginning = got.size() < expected.size() && expected.compare(0, got.size(), got) == 0;
        if (may_lose)
            EXPECT_TRUE(whole || beginning) << what << ": " << got.size() << " bytes that are not the reply's "
                                            << expected.size() << " or their beginning";
        else
            EXPECT_TRUE(whole) << what << ": " << got.size() << " bytes instead of the whole reply's "
                               << expected.size() << (beginning ? " (cut short)" : " (other bytes)");
    }

    // A post whose reply came whole is stored once, else at most once.
    void check_post(const std::string& got, const std::string& body) {
        std::lock_guard<std::mutex> guard(served.mutex);
        size_t n = 0;
        for (const std::string& p : served.posts) n += p == body ? 1 : 0;
        EXPECT_EQ(n, served.posts.size()) << "only the bytes posted are stored";
        if (got == post_reply(body))
            EXPECT_EQ(n, 1u) << "a post told as done is stored once";
        else
            EXPECT_LE(n, 1u) << "a post is stored at most once";
    }

    // One run of the scenario with call `target` of kind op failing with
    // fault (target 0: none fails, the calls are counted); false when the
    // call was not reached.
    bool run_case(const Scenario& sc, NetOp op, int target, const Error& error, std::array<int, kOpCount>* calls) {
        {
            std::lock_guard<std::mutex> guard(served.mutex);
            served.posts.clear();
            served.hold_ms = 0;
        }
        size_t descriptors = open_descriptors();
        server::Server s{handler(served)};
        configure(s);
        arm(op, target, error.fault);
        server::StartResult started = server::start(s);
        if (started == server::StartResult::Started) {
            sc.run(s, error.may_lose);
        } else {
            // Of the calls a start makes, only the wake pair's is asked.
            EXPECT_EQ(op, NetOp::WakePair);
            EXPECT_EQ(started, server::StartResult::NoSocket);
            EXPECT_NE(s.ServerState, server::RunState::Running);
            EXPECT_FALSE(s.accept_thread.joinable());
        }
        bool reached = disarm(calls);
        if (started != server::StartResult::Started || sc.stops) {
            EXPECT_EQ(server::start(s), server::StartResult::Started) << "the next start works";
        }
        {
            Client c(s.bound_port);
            c.send("GET /small.html HTTP/1.0\r\n\r\n");
            check_reply(c, c.read_all(), kSmallReply, false, "a fresh GET afterwards");
        }
        auto t0 = Clock::now();
        server::stop(s);
        EXPECT_LT(Clock::now() - t0, 2s) << "the stop completes";
        EXPECT_EQ(open_descriptors(), descriptors) << "no descriptor is left open";
        return target == 0 || reached;
    }

    // Counts the scenario's calls, then fails each in turn with each error.
    void run_all(const Scenario& sc) {
        std::array<int, kOpCount> calls{};
        run_case(sc, NetOp::Accept, 0, {NetFault::None, false}, &calls);
        ASSERT_FALSE(HasFailure()) << sc.name << " fails without a fault";
        int total = 0, cases = 0, unreached = 0;
        std::string each;
        for (NetOp op : kOps) {
            int n = calls[static_cast<size_t>(op)];
            total += n;
            if (n > 0) each += std::string(each.empty() ? "" : ", ") + platform::net::net_op_name(op) + " " + std::to_string(n);
            for (int k = 1; k <= n; ++k) {
                for (const Error& e : errors_of(op)) {
                    SCOPED_TRACE(sc.name + ": " + platform::net::net_op_name(op) + " call " + std::to_string(k) +
                                 " of " + std::to_string(n) + ", " + platform::net::net_fault_name(e.fault));
                    if (run_case(sc, op, k, e, nullptr))
                        ++cases;
                    else
                        ++unreached;
                    if (HasFailure()) return;
                }
            }
        }
        std::printf("%s: %d socket calls (%s), %d cases (%d more not reached in their run)\n", sc.name.c_str(), total,
                    each.c_str(), cases, unreached);
        RecordProperty("cases", cases);
        EXPECT_GT(cases, 0);
    }

    // A post in two pieces, its body after a pause; returns what came back.
    std::string post(std::uint16_t port, const std::string& body, bool may_lose) {
        Client c(port);
        c.send(post_request(body));
        std::this_thread::sleep_for(10ms);
        c.send(body);
        std::string got = c.read_all();
        check_reply(c, got, post_reply(body), may_lose, "the post");
        return got;
    }

    Served served;
};

TEST_F(SocketFaults, Gets) {
    run_all({"GETs", [](server::Server& s, bool may_lose) {
                 {
                     Client c(s.bound_port);
                     c.send("GET /small.html HTTP/1.0\r\n\r\n");
                     check_reply(c, c.read_all(), kSmallReply, may_lose, "a GET");
                 }
                 Client c(s.bound_port);
                 c.send("GET /small.html HTTP/1.0\r\n");
                 std::this_thread::sleep_for(10ms);
                 c.send("\r\n");
                 check_reply(c, c.read_all(), kSmallReply, may_lose, "a GET in two pieces");
             }});
}

TEST_F(SocketFaults, Post) {
    run_all({"a post", [this](server::Server& s, bool may_lose) {
                 std::string body = "name=a&text=b";
                 check_post(post(s.bound_port, body, may_lose), body);
             }});
}

TEST_F(SocketFaults, SlowReader) {
    run_all({"a slow reader", [](server::Server& s, bool may_lose) {
                 Client reader(s.bound_port, 4096);
                 reader.send("GET /big.html HTTP/1.0\r\n\r\n");
                 std::this_thread::sleep_for(10ms);  // the buffers fill
                 {
                     Client c(s.bound_port);
                     c.send("GET /small.html HTTP/1.0\r\n\r\n");
                     check_reply(c, c.read_all(), kSmallReply, may_lose, "a GET beside the slow reader");
                 }
                 check_reply(reader, reader.read_all(4096, 1), kBigReply, may_lose, "the slow reader");
             }});
}

TEST_F(SocketFaults, Stop) {
    run_all({"a stop",
             [this](server::Server& s, bool) {
                 {
                     std::lock_guard<std::mutex> guard(served.mutex);
                     served.hold_ms = 50;
                 }
                 // A reader whose long reply stands still, and a post with the board thread.
                 Client reader(s.bound_port, 4096);
                 reader.send("GET /big.html HTTP/1.0\r\n\r\n");
                 std::string body = "name=s&text=t";
                 Client poster(s.bound_port);
                 poster.send(post_request(body) + body);
                 for (auto until = Clock::now() + 300ms; served.stored() == 0 && Clock::now() < until;)
                     std::this_thread::sleep_for(1ms);
                 auto t0 = Clock::now();
                 server::stop(s);
                 EXPECT_LT(Clock::now() - t0, 2s) << "a stop with replies under way completes";
                 EXPECT_FALSE(s.accept_thread.joinable());
                 check_reply(reader, reader.read_all(), kBigReply, true, "the reader cut off by the stop");
                 std::string got = poster.read_all();
                 check_reply(poster, got, post_reply(body), true, "the post cut off by the stop");
                 check_post(got, body);
             },
             true});
}

// A post waiting for the board from a client that reset its connection is
// dropped, not carried out: nobody would read its reply.
TEST_F(SocketFaults, QueuedPostOfAClientThatResetIsNotCarriedOut) {
    server::Server s{handler(served)};
    configure(s);
    ASSERT_EQ(server::start(s), server::StartResult::Started);
    served.hold_ms = 400;
    std::string first = "name=held&text=x", second = "name=reset&text=y";
    Client holder(s.bound_port), gone(s.bound_port);
    holder.send(post_request(first) + first);
    std::this_thread::sleep_for(100ms);  // the board is held
    gone.send(post_request(second) + second);
    std::this_thread::sleep_for(100ms);  // queued behind the held post
    gone.reset();
    check_post(holder.read_all(), first);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(served.stored(), 1u) << "the reset client's post was carried out";
    server::stop(s);
}

// The wake byte of a post's reply cannot be sent while another client keeps
// the loop's poll busy (a request trickling in a byte at a time, as a slow
// line sends it): the loop's look of its own takes the reply up all the same,
// within about a second, not only once every socket has gone quiet.
TEST_F(SocketFaults, ReplyWhoseWakeWasLostIsTakenUpWhileTheLoopIsBusy) {
    server::Server s{handler(served)};
    configure(s);
    ASSERT_EQ(server::start(s), server::StartResult::Started);
    std::atomic<bool> trickling{true};
    std::thread trickler([&] {
        Client c(s.bound_port);
        c.send("GET /small.html HTTP/1.0\r\nX-Trickle: ");
        for (auto until = Clock::now() + 4s; trickling && Clock::now() < until;) {
            c.send("a");
            std::this_thread::sleep_for(20ms);
        }
    });
    std::this_thread::sleep_for(50ms);
    arm(NetOp::WakeSend, 1, NetFault::NoBuffers);
    auto t0 = Clock::now();
    std::string body = "name=w&text=x";
    std::string got = post(s.bound_port, body, false);
    auto took = Clock::now() - t0;
    EXPECT_TRUE(disarm()) << "the post's wake byte was the one that failed";
    trickling = false;
    trickler.join();
    EXPECT_LT(took, 2500ms) << "the reply waited "
                            << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
                            << " ms, for the other client to go quiet";
    check_post(got, body);
    server::stop(s);
}

}  // namespace
