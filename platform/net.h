#pragma once
// Sockets: the same small set of calls over POSIX sockets and Windows Sockets 2.
#include <cstddef>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::net {

using Socket = std::intptr_t;
constexpr Socket kInvalidSocket = -1;

// Starts and releases the sockets library (Windows Sockets 2.2); no-ops on POSIX.
bool startup();
void cleanup();

// The host's own IPv4 address as other machines see it (see below).
std::optional<std::string> host_address();

// The choice host_address makes: the address the host's own name looks up
// to, unless there is none or it is a loopback one (127.0.0.0/8), which
// other machines cannot reach; then the address of the interface that
// carries the default route; then the first other address of an interface
// that is up; only when there is none, the loopback address.
inline std::string choose_host_address(const std::optional<std::string>& looked_up,
                                       const std::optional<std::string>& routed,
                                       const std::vector<std::string>& interfaces) {
    auto reachable = [](const std::optional<std::string>& a) {
        return a && !a->empty() && a->compare(0, 4, "127.") != 0 && *a != "0.0.0.0";
    };
    if (reachable(looked_up)) return *looked_up;
    if (reachable(routed)) return *routed;
    for (const std::string& a : interfaces)
        if (reachable(a)) return a;
    return looked_up && !looked_up->empty() ? *looked_up : "127.0.0.1";
}

// True when text is a dotted IPv4 address.
bool is_ipv4_text(const std::string& text);

// Address texts (address.cpp, the same on every system).
using Ipv6Bytes = std::array<std::uint8_t, 16>;
// An IPv6 address in any of its text forms (a dotted IPv4 ending too).
bool parse_ipv6(std::string_view text, Ipv6Bytes& out);
// The form the board stores and compares: the compressed text of RFC 5952
// (lower-case hex, the longest run of two or more zero groups as "::"),
// except that an IPv4-mapped address (::ffff:192.0.2.1) is its dotted IPv4
// text, so that an IPv4 visitor on an IPv6 socket is written as before.
std::string ipv6_text(const Ipv6Bytes& a);
// The stored form of an IPv4 or IPv6 address text; nothing when it is neither.
std::optional<std::string> address_text(std::string_view text);
// An address as the host part of a URL: an IPv6 one in brackets.
std::string url_host(const std::string& address);

// One of the host's IPv6 addresses; temporary: a privacy address, which the
// system replaces every day or so.
struct Ipv6Candidate {
    std::string text;
    bool temporary = false;
};
// True for a global unicast IPv6 address (2000::/3), which visitors on the
// internet reach directly: not link-local (fe80::/10), not unique local
// (fc00::/7), not loopback, not an IPv4 one.
bool is_global_ipv6(const std::string& text);
// The first global address that is not temporary, else the first global one.
std::optional<std::string> choose_global_ipv6(const std::vector<Ipv6Candidate>& candidates);
// The host's global IPv6 address (getifaddrs on Linux, GetAdaptersAddresses
// on Windows, interfaces that are up), chosen as above.
std::optional<std::string> host_global_ipv6();

enum class ListenResult { Ok, SocketFailed, BindFailed, ListenFailed };

// Creates a non-blocking listening socket bound to address:port; address is
// IPv4 or IPv6 text. "::" takes IPv4 connections too (as IPv4-mapped
// addresses), unless ipv6_only. On a failure, error (when given) gets the
// system's error number.
ListenResult listen_on(const std::string& address, std::uint16_t port, Socket& out, int* error = nullptr,
                       bool ipv6_only = false);
// The system's words for an error number of a socket call.
std::string error_text(int error);

// The port a bound socket really listens on (port 0 lets the system choose).
std::uint16_t local_port(Socket s);

enum class AcceptResult { Accepted, NonePending, OutOfDescriptors, Failed };
// Accepts one pending connection without blocking. The new socket is
// non-blocking; peer gets the client's address text (ipv6_text).
AcceptResult accept_connection(Socket listener, Socket& out, std::string& peer);
// Accepts one pending connection and closes it at once, also when the process
// has no descriptor left (one is kept spare for this).
void refuse_connection(Socket listener);

// How many descriptors the process may hold; on POSIX the soft limit is first
// raised to the hard limit.
size_t descriptor_limit();

enum class IoResult { Data, WouldBlock, Closed, Failed };
IoResult receive_some(Socket s, char* buf, size_t cap, size_t& got);
// Sends what the socket's buffer takes now, without waiting; Data with sent
// above 0, WouldBlock when the buffer is full.
IoResult send_some(Socket s, const char* data, size_t n, size_t& sent);

// Caps the system's send buffer of a connection: its sends then report room
// in small steps, as the peer takes the bytes, rather than after megabytes.
void limit_send_buffer(Socket s, int bytes);

// Reads and drops what has already arrived, without waiting.
void discard_pending_input(Socket s);

// True when the peer has reset the connection (nothing it sent is left
// unread): a look without waiting that takes nothing from the socket. A peer
// that only ended its sending half is not reset; it may still read a reply.
bool peer_reset(Socket s);

// Two connected sockets through which one thread wakes another thread's
// poll: a byte sent into write_end makes read_end ready to read. Both are
// non-blocking (a socket pair on POSIX, a loopback connection on Windows,
// whose poll takes sockets only). False when none can be made.
bool make_wake_pair(Socket& read_end, Socket& write_end);
// Sends one wake byte; a full pair already holds a wake, so nothing waits.
// False when the byte could not be sent and none is waiting.
bool send_wake(Socket write_end);
// Reads every wake byte that has arrived, without waiting.
void take_wakes(Socket read_end);
void shutdown_both(Socket s);
void close_socket(Socket s);

// Owns one socket and closes it when it goes away. A handle assigned to
// another takes its socket and hands its own over, to be closed there.
class SocketHandle {
public:
    SocketHandle() = default;
    explicit SocketHandle(Socket s) : s_(s) {}
    SocketHandle(SocketHandle&& other) noexcept : s_(std::exchange(other.s_, kInvalidSocket)) {}
    SocketHandle& operator=(SocketHandle&& other) noexcept {
        std::swap(s_, other.s_);
        return *this;
    }
    ~SocketHandle() {
        if (s_ != kInvalidSocket) close_socket(s_);
    }
    Socket get() const { return s_; }
    explicit operator bool() const { return s_ != kInvalidSocket; }

private:
    Socket s_ = kInvalidSocket;
};

struct PollEntry {
    Socket socket = kInvalidSocket;
    bool ready = false;       // set by poll: data (or room, with want_write), a new connection, a close, an error
    bool want_write = false;  // wait for room to send instead of data to read
};
// Waits up to timeout_ms for any entry to become ready; returns how many did,
// or -1 when the wait itself failed (an interrupted wait is none ready).
int poll_ready(std::vector<PollEntry>& entries, int timeout_ms);

}  // namespace platform::net
