#pragma once
// Sockets: the same small set of calls over POSIX sockets and Windows Sockets 2.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform::net {

using Socket = std::intptr_t;
constexpr Socket kInvalidSocket = -1;

// Starts and releases the sockets library (Windows Sockets 2.2); no-ops on POSIX.
bool startup();
void cleanup();

// The host's own address: the first IPv4 address a lookup of the host's own
// name returns; nothing when the name or the lookup fails.
std::optional<std::string> host_address();

// True when text is a dotted IPv4 address.
bool is_ipv4_text(const std::string& text);

enum class ListenResult { Ok, SocketFailed, BindFailed, ListenFailed };

// Creates a non-blocking listening socket bound to address:port.
ListenResult listen_on(const std::string& address, std::uint16_t port, Socket& out);

// The port a bound socket really listens on (port 0 lets the system choose).
std::uint16_t local_port(Socket s);

// Accepts one pending connection without blocking; kInvalidSocket when none.
// The new socket is non-blocking; peer gets the client's dotted address.
Socket accept_connection(Socket listener, std::string& peer);

enum class IoResult { Data, WouldBlock, Closed, Failed };
IoResult receive_some(Socket s, char* buf, size_t cap, size_t& got);

// Sends all n bytes on a non-blocking socket, waiting for room in the send
// buffer when it is full, for at most timeout_ms in all; false on a failure
// or when the time runs out.
bool send_all(Socket s, const char* data, size_t n, int timeout_ms);

// Reads and drops what has already arrived, without waiting.
void discard_pending_input(Socket s);
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
    bool readable = false;  // set by poll: data, a new connection, a close or an error
};
// Waits up to timeout_ms for any entry to become readable; returns how many did.
int poll_readable(std::vector<PollEntry>& entries, int timeout_ms);

}  // namespace platform::net
