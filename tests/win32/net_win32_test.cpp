// The sockets layer over Winsock 2.2 on 127.0.0.1.
#include <gtest/gtest.h>
#include <ws2tcpip.h>

#include <chrono>
#include <thread>

#include "platform/net.h"
#include "platform/net_faults.h"
#include "win32/win32_test_support.h"

namespace net = platform::net;
using testing_win32::connect_loopback;
using testing_win32::hold_port;
using SteadyClock = std::chrono::steady_clock;

namespace {

// Holds the sockets library for one test through the layer's own calls.
class Sockets : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(net::startup()); }
    void TearDown() override {
        for (net::Socket s : opened_) net::close_socket(s);
        net::cleanup();
    }
    net::Socket listen_loopback(std::uint16_t port = 0) {
        net::Socket s = net::kInvalidSocket;
        EXPECT_EQ(net::listen_on("127.0.0.1", port, s), net::ListenResult::Ok);
        opened_.push_back(s);
        return s;
    }
    // Waits until the listener has a connection and accepts it.
    net::Socket accept_one(net::Socket listener, std::string& peer) {
        std::vector<net::PollEntry> entries{{listener, false}};
        EXPECT_EQ(net::poll_ready(entries, 5000), 1);
        EXPECT_TRUE(entries[0].ready);
        net::Socket s = net::kInvalidSocket;
        EXPECT_EQ(net::accept_connection(listener, s, peer), net::AcceptResult::Accepted);
        opened_.push_back(s);
        return s;
    }
    std::vector<net::Socket> opened_;
};

}  // namespace

TEST(Ipv4Text, AcceptsDottedQuadsOnly) {
    for (const char* good : {"127.0.0.1", "0.0.0.0", "255.255.255.255", "192.168.10.200"})
        EXPECT_TRUE(net::is_ipv4_text(good)) << good;
    for (const char* bad : {"", "256.0.0.1", "1.2.3", "1.2.3.4.5", "01.2.3.4", "1..2.3", "a.b.c.d", " 1.2.3.4",
                            "1.2.3.4 ", "1.2.3.-4", "1.2.3.1000", "localhost"})
        EXPECT_FALSE(net::is_ipv4_text(bad)) << bad;
}

TEST(Ipv4Text, AgreesWithWinsock) {
    testing_win32::Winsock winsock;
    for (const char* text : {"10.0.0.1", "10.0.0.256", "10.0.0", "10.00.0.1", "1.2.3.4x", "4.3.2.1"}) {
        in_addr a{};
        EXPECT_EQ(net::is_ipv4_text(text), ::inet_pton(AF_INET, text, &a) == 1) << text;
    }
}

TEST(SocketsLibrary, StartupsAndCleanupsPairUp) {
    // Two startups need two cleanups: the listener's start keeps the library
    // while a set port starts and releases it once more.
    ASSERT_TRUE(net::startup());
    ASSERT_TRUE(net::startup());
    net::cleanup();
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(s, INVALID_SOCKET) << "one startup is still held";
    ::closesocket(s);
    net::cleanup();
    s = ::socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(s, INVALID_SOCKET);
    EXPECT_EQ(::WSAGetLastError(), WSANOTINITIALISED);
}

TEST(HostAddress, IsDottedTextWhenFound) {
    ASSERT_TRUE(net::startup());
    auto address = net::host_address();
    net::cleanup();
    if (address) {
        EXPECT_TRUE(net::is_ipv4_text(*address)) << *address;
    }
}

TEST_F(Sockets, ListensAcceptsReceivesAndSends) {
    net::Socket listener = listen_loopback();
    std::uint16_t port = net::local_port(listener);
    ASSERT_NE(port, 0);
    std::string peer;
    net::Socket none = net::kInvalidSocket;
    EXPECT_EQ(net::accept_connection(listener, none, peer), net::AcceptResult::NonePending) << "no client yet: no waiting";

    SOCKET client = connect_loopback(port);
    ASSERT_NE(client, INVALID_SOCKET);
    net::Socket served = accept_one(listener, peer);
    ASSERT_NE(served, net::kInvalidSocket);
    EXPECT_EQ(peer, "127.0.0.1");

    char buf[64];
    size_t got = 0;
    EXPECT_EQ(net::receive_some(served, buf, sizeof buf, got), net::IoResult::WouldBlock);
    ::send(client, "GET / HTTP/1.0\r\n\r\n", 18, 0);
    std::vector<net::PollEntry> entries{{served, false}};
    ASSERT_EQ(net::poll_ready(entries, 5000), 1);
    ASSERT_EQ(net::receive_some(served, buf, sizeof buf, got), net::IoResult::Data);
    EXPECT_EQ(std::string(buf, got), "GET / HTTP/1.0\r\n\r\n");

    // Eight megabytes do not fit a limited send buffer: a full buffer says so
    // at once, and room comes as the client reads.
    net::limit_send_buffer(served, 16 * 1024);
    std::string big(8 << 20, 'x');
    size_t at = 0, sent = 0;
    while (net::send_some(served, big.data() + at, big.size() - at, sent) == net::IoResult::Data) at += sent;
    EXPECT_LT(at, big.size());
    std::string received;
    std::thread reader([&] { received = testing_win32::receive_all(client); });
    while (at < big.size()) {
        std::vector<net::PollEntry> room{{served, false, true}};
        ASSERT_EQ(net::poll_ready(room, 5000), 1);
        ASSERT_NE(net::send_some(served, big.data() + at, big.size() - at, sent), net::IoResult::Failed);
        at += sent;
    }
    net::shutdown_both(served);
    reader.join();
    EXPECT_EQ(received.size(), big.size());
    ::closesocket(client);
}

TEST_F(Sockets, PeerCloseIsSeenAsClosed) {
    net::Socket listener = listen_loopback();
    SOCKET client = connect_loopback(net::local_port(listener));
    std::string peer;
    net::Socket served = accept_one(listener, peer);
    ::closesocket(client);
    std::vector<net::PollEntry> entries{{served, false}};
    ASSERT_EQ(net::poll_ready(entries, 5000), 1);
    char buf[16];
    size_t got = 0;
    net::IoResult r = net::receive_some(served, buf, sizeof buf, got);
    EXPECT_TRUE(r == net::IoResult::Closed || r == net::IoResult::Failed);
    EXPECT_EQ(got, 0u);
}

TEST_F(Sockets, PortHeldByAnotherSocketRefusesTheBind) {
    std::uint16_t port = 0;
    SOCKET other = hold_port(port);
    net::Socket s = net::kInvalidSocket;
    EXPECT_EQ(net::listen_on("127.0.0.1", port, s), net::ListenResult::BindFailed);
    EXPECT_EQ(s, net::kInvalidSocket);
    ::closesocket(other);
    EXPECT_EQ(net::listen_on("127.0.0.1", port, s), net::ListenResult::Ok);
    opened_.push_back(s);
}

TEST_F(Sockets, TheBoardsListenerKeepsItsPortToItself) {
    net::Socket first = listen_loopback();
    std::uint16_t port = net::local_port(first);
    net::Socket second = net::kInvalidSocket;
    EXPECT_EQ(net::listen_on("127.0.0.1", port, second), net::ListenResult::BindFailed);
    // Nor may another program slip in beside it with address reuse, which
    // plain Windows sockets would allow. (Wine keeps the Linux rule, where
    // this bind fails anyway; on Windows it is SO_EXCLUSIVEADDRUSE that refuses it.)
    SOCKET intruder = ::socket(AF_INET, SOCK_STREAM, 0);
    BOOL one = TRUE;
    ::setsockopt(intruder, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    EXPECT_NE(::bind(intruder, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ::closesocket(intruder);
}

TEST_F(Sockets, AnAddressThatIsNotDottedTextCannotBeBound) {
    net::Socket s = net::kInvalidSocket;
    EXPECT_EQ(net::listen_on("localhost", 0, s), net::ListenResult::BindFailed);
    EXPECT_EQ(s, net::kInvalidSocket);
}

TEST_F(Sockets, PollWaitsForItsTimeout) {
    net::Socket listener = listen_loopback();
    std::vector<net::PollEntry> entries{{listener, false}};
    auto t0 = SteadyClock::now();
    EXPECT_EQ(net::poll_ready(entries, 200), 0);
    auto waited = SteadyClock::now() - t0;
    EXPECT_FALSE(entries[0].ready);
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    std::vector<net::PollEntry> none;
    t0 = SteadyClock::now();
    EXPECT_EQ(net::poll_ready(none, 100), 0);
    EXPECT_GE(SteadyClock::now() - t0, std::chrono::milliseconds(80)) << "an empty set still waits";
}

// Each call answers an error of the socket-call seam as it answers Winsock's
// own, without being made: the bytes and the connection it would have taken
// are still there for the next call.
TEST_F(Sockets, InjectedErrorsAreAnsweredAsWinsocksOwn) {
    using platform::net::NetFault;
    using platform::net::NetOp;
    static NetOp failing_op;
    static NetFault failing_fault;
    struct Hook {
        Hook() {
            platform::net::net_fault_hook = [](NetOp op) { return op == failing_op ? failing_fault : NetFault::None; };
        }
        ~Hook() { platform::net::net_fault_hook = nullptr; }
    } hook;
    auto failing = [](NetOp op, NetFault fault) {
        failing_op = op;
        failing_fault = fault;
    };
    net::Socket listener = listen_loopback();
    SOCKET client = connect_loopback(net::local_port(listener));
    std::vector<net::PollEntry> entries{{listener, false}};
    ASSERT_EQ(net::poll_ready(entries, 5000), 1);
    std::string peer;
    net::Socket served = net::kInvalidSocket;
    for (auto [fault, result] : {std::pair{NetFault::WouldBlock, net::AcceptResult::NonePending},
                                 {NetFault::Interrupted, net::AcceptResult::NonePending},
                                 {NetFault::Reset, net::AcceptResult::NonePending},
                                 {NetFault::TooManyFiles, net::AcceptResult::OutOfDescriptors},
                                 {NetFault::NoBuffers, net::AcceptResult::OutOfDescriptors},
                                 {NetFault::NoMemory, net::AcceptResult::Failed}}) {
        failing(NetOp::Accept, fault);
        EXPECT_EQ(net::accept_connection(listener, served, peer), result) << platform::net::net_fault_name(fault);
        EXPECT_EQ(served, net::kInvalidSocket);
    }
    failing(NetOp::Poll, NetFault::NoMemory);
    EXPECT_EQ(net::poll_ready(entries, 0), -1);
    EXPECT_FALSE(entries[0].ready);
    failing(NetOp::Accept, NetFault::None);
    EXPECT_EQ(net::poll_ready(entries, 0), 1) << "the connection still waits";
    ASSERT_EQ(net::accept_connection(listener, served, peer), net::AcceptResult::Accepted);
    opened_.push_back(served);

    ::send(client, "abc", 3, 0);
    std::vector<net::PollEntry> data{{served, false}};
    ASSERT_EQ(net::poll_ready(data, 5000), 1);
    char buf[16];
    size_t got = 0, sent = 0;
    for (auto [fault, result] : {std::pair{NetFault::WouldBlock, net::IoResult::WouldBlock},
                                 {NetFault::Interrupted, net::IoResult::WouldBlock},
                                 {NetFault::Reset, net::IoResult::Failed},
                                 {NetFault::Aborted, net::IoResult::Failed},
                                 {NetFault::NoMemory, net::IoResult::Failed}}) {
        failing(NetOp::Receive, fault);
        EXPECT_EQ(net::receive_some(served, buf, sizeof buf, got), result) << platform::net::net_fault_name(fault);
        EXPECT_EQ(got, 0u);
        failing(NetOp::Send, fault);
        EXPECT_EQ(net::send_some(served, "xyz", 3, sent), result) << platform::net::net_fault_name(fault);
        EXPECT_EQ(sent, 0u);
    }
    failing(NetOp::Receive, NetFault::None);
    ASSERT_EQ(net::receive_some(served, buf, sizeof buf, got), net::IoResult::Data);
    EXPECT_EQ(std::string(buf, got), "abc") << "a failed receive took no byte";

    net::Socket wake_read = net::kInvalidSocket, wake_write = net::kInvalidSocket;
    failing(NetOp::WakePair, NetFault::TooManyFiles);
    EXPECT_FALSE(net::make_wake_pair(wake_read, wake_write));
    EXPECT_EQ(wake_read, net::kInvalidSocket);
    failing(NetOp::WakeSend, NetFault::NoBuffers);
    ASSERT_TRUE(net::make_wake_pair(wake_read, wake_write));
    opened_.push_back(wake_read);
    opened_.push_back(wake_write);
    EXPECT_FALSE(net::send_wake(wake_write)) << "a wake byte that could not be sent says so";
    std::vector<net::PollEntry> wake{{wake_read, false}};
    EXPECT_EQ(net::poll_ready(wake, 100), 0);
    ::closesocket(client);
}
