#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

#include "platform/net.h"

namespace platform::net {

bool startup() {
    // A client that goes away must not kill the server with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

void cleanup() {}

std::optional<std::string> host_address() {
    char name[256];
    if (::gethostname(name, 255) != 0) return std::nullopt;
    name[255] = '\0';
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || !found) return std::nullopt;
    char text[INET_ADDRSTRLEN] = {};
    auto* in = reinterpret_cast<sockaddr_in*>(found->ai_addr);
    ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof text);
    ::freeaddrinfo(found);
    return std::string(text);
}

bool is_ipv4_text(const std::string& text) {
    in_addr a{};
    return ::inet_pton(AF_INET, text.c_str(), &a) == 1;
}

static void set_nonblocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

ListenResult listen_on(const std::string& address, std::uint16_t port, Socket& out) {
    out = kInvalidSocket;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return ListenResult::SocketFailed;
    // A restart on the same port works at once, while old connections linger
    // in TIME_WAIT; another program listening on the port still makes bind fail.
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1 ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return ListenResult::BindFailed;
    }
    if (::listen(fd, SOMAXCONN) != 0) {
        ::close(fd);
        return ListenResult::ListenFailed;
    }
    set_nonblocking(fd);
    out = fd;
    return ListenResult::Ok;
}

std::uint16_t local_port(Socket s) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

Socket accept_connection(Socket listener, std::string& peer) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    int fd = ::accept4(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&addr), &len,
                       SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return kInvalidSocket;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    peer = text;
    return fd;
}

IoResult receive_some(Socket s, char* buf, size_t cap, size_t& got) {
    got = 0;
    ssize_t n = ::recv(static_cast<int>(s), buf, cap, 0);
    if (n > 0) {
        got = static_cast<size_t>(n);
        return IoResult::Data;
    }
    if (n == 0) return IoResult::Closed;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return IoResult::WouldBlock;
    return IoResult::Failed;
}

bool send_all(Socket s, const char* data, size_t n, int timeout_ms) {
    int fd = static_cast<int>(s);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (n > 0) {
        // A reply goes out in several sends; let the kernel gather them into
        // full segments. What is held back leaves at the latest with the close.
        ssize_t sent = ::send(fd, data, n, MSG_NOSIGNAL | MSG_MORE);
        if (sent > 0) {
            data += sent;
            n -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
        // The send buffer is full: wait for room, but not past the deadline.
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR) return false;
    }
    return true;
}

void discard_pending_input(Socket s) {
    char buf[4096];
    for (int i = 0; i < 64; ++i)
        if (::recv(static_cast<int>(s), buf, sizeof buf, MSG_DONTWAIT) <= 0) return;
}

void shutdown_both(Socket s) { ::shutdown(static_cast<int>(s), SHUT_RDWR); }

void close_socket(Socket s) {
    if (s != kInvalidSocket) ::close(static_cast<int>(s));
}

int poll_readable(std::vector<PollEntry>& entries, int timeout_ms) {
    std::vector<pollfd> fds(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        fds[i].fd = static_cast<int>(entries[i].socket);
        fds[i].events = POLLIN;
    }
    int n = ::poll(fds.data(), fds.size(), timeout_ms);
    for (size_t i = 0; i < entries.size(); ++i)
        entries[i].readable = n > 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL));
    return n < 0 ? 0 : n;
}

}  // namespace platform::net
