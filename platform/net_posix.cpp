#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <set>

#include "platform/net.h"
#include "platform/net_faults.h"
#include "platform/socket_address.h"

namespace platform::net {

bool startup() {
    // A client that goes away must not kill the server with SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

void cleanup() {}

namespace {

using detail::address_of;
using detail::bytes_of;
using detail::dotted;
using detail::socket_address;

// The addresses the kernel marks temporary (privacy) or deprecated, from
// /proc/net/if_inet6 (address, index, prefix, scope, flags, name): getifaddrs
// does not tell.
std::set<std::string> passing_ipv6_addresses() {
    constexpr unsigned kTemporary = 0x01, kDeprecated = 0x20;  // IFA_F_TEMPORARY, IFA_F_DEPRECATED
    std::set<std::string> found;
    std::ifstream in("/proc/net/if_inet6");
    std::string hex, index, prefix, scope, flags, name;
    while (in >> hex >> index >> prefix >> scope >> flags >> name) {
        if (hex.size() != 32 || !(std::stoul(flags, nullptr, 16) & (kTemporary | kDeprecated))) continue;
        Ipv6Bytes b;
        for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<std::uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
        found.insert(ipv6_text(b));
    }
    return found;
}

std::optional<std::string> own_name_address() {
    char name[256];
    if (::gethostname(name, 255) != 0) return std::nullopt;
    name[255] = '\0';
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0 || !found) return std::nullopt;
    std::string text = dotted(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr);
    ::freeaddrinfo(found);
    return text;
}

// A UDP socket "connected" to a documentation address sends nothing; its
// own address is then the one the system would route through.
std::optional<std::string> default_route_address() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::nullopt;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    ::inet_pton(AF_INET, "192.0.2.1", &to.sin_addr);
    sockaddr_in own{};
    socklen_t len = sizeof own;
    std::optional<std::string> found;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &len) == 0)
        found = dotted(own.sin_addr);
    ::close(fd);
    return found;
}

std::vector<std::string> interface_addresses() {
    std::vector<std::string> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return found;
    for (ifaddrs* i = list; i; i = i->ifa_next)
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET && (i->ifa_flags & IFF_UP))
            found.push_back(dotted(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr));
    ::freeifaddrs(list);
    return found;
}

}  // namespace

std::optional<std::string> host_address() {
    return choose_host_address(own_name_address(), default_route_address(), interface_addresses());
}

std::optional<std::string> host_global_ipv6() {
    std::vector<Ipv6Candidate> found;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return std::nullopt;
    std::set<std::string> passing;
    try {
        passing = passing_ipv6_addresses();
    } catch (const std::exception&) {
        // An unreadable line: no address is taken for temporary.
    }
    for (ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET6 || !(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK))
            continue;
        std::string text = ipv6_text(bytes_of(reinterpret_cast<sockaddr_in6*>(i->ifa_addr)->sin6_addr));
        found.push_back({text, passing.count(text) > 0});
    }
    ::freeifaddrs(list);
    return choose_global_ipv6(found);
}

bool is_ipv4_text(const std::string& text) {
    in_addr a{};
    // inet_pton reads to the first NUL: what follows one would go unchecked.
    return text.find('\0') == std::string::npos && ::inet_pton(AF_INET, text.c_str(), &a) == 1;
}

static void set_nonblocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL, 0);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

ListenResult listen_on(const std::string& address, std::uint16_t port, Socket& out, int* error, bool ipv6_only) {
    out = kInvalidSocket;
    auto failed = [&](int fd, ListenResult r) {
        if (error) *error = errno;
        if (fd >= 0) ::close(fd);
        return r;
    };
    sockaddr_storage addr{};
    socklen_t length = 0;
    bool known = socket_address(address, port, addr, length);
    int fd = ::socket(addr.ss_family == AF_INET6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return failed(fd, ListenResult::SocketFailed);
    // A restart on the same port works at once, while old connections linger
    // in TIME_WAIT; another program listening on the port still makes bind fail.
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (!known) {
        errno = EADDRNOTAVAIL;
        return failed(fd, ListenResult::BindFailed);
    }
    // Set either way: the system's default (bindv6only) may be either.
    int v6_only = ipv6_only ? 1 : 0;
    if (addr.ss_family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6_only, sizeof v6_only);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), length) != 0) return failed(fd, ListenResult::BindFailed);
    if (::listen(fd, SOMAXCONN) != 0) return failed(fd, ListenResult::ListenFailed);
    set_nonblocking(fd);
    out = fd;
    return ListenResult::Ok;
}

std::string error_text(int error) { return std::strerror(error); }

std::uint16_t local_port(Socket s) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(static_cast<int>(s), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    // The port stands at the same place in both families' records.
    return ntohs(reinterpret_cast<sockaddr_in&>(addr).sin_port);
}

namespace {
int spare_descriptor = -1;  // closed for a moment when an accept needs it

// True, with errno set, when the seam fails the call; it is then not made.
bool fails(NetOp op) {
    int error = net_fault_error(net_fault_for(op), {EAGAIN, EINTR, ECONNRESET, ECONNABORTED, EPIPE, ETIMEDOUT, EMFILE,
                                                    ENFILE, ENOBUFS, ENOMEM, EINVAL});
    if (error == 0) return false;
    errno = error;
    return true;
}
}  // namespace

AcceptResult accept_connection(Socket listener, Socket& out, std::string& peer) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    int fd = fails(NetOp::Accept) ? -1
                                  : ::accept4(static_cast<int>(listener), reinterpret_cast<sockaddr*>(&addr), &len,
                                              SOCK_NONBLOCK | SOCK_CLOEXEC);
    out = fd;
    if (fd < 0) {
        out = kInvalidSocket;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNABORTED)
            return AcceptResult::NonePending;
        return errno == EMFILE || errno == ENFILE ? AcceptResult::OutOfDescriptors : AcceptResult::Failed;
    }
    peer = address_of(addr);
    return AcceptResult::Accepted;
}

void refuse_connection(Socket listener) {
    if (spare_descriptor >= 0) ::close(spare_descriptor);
    int fd = fails(NetOp::Accept) ? -1 : ::accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) ::close(fd);
    spare_descriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

size_t descriptor_limit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    if (spare_descriptor < 0) spare_descriptor = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    return limit.rlim_cur == RLIM_INFINITY ? 1u << 20 : static_cast<size_t>(limit.rlim_cur);
}

IoResult receive_some(Socket s, char* buf, size_t cap, size_t& got) {
    got = 0;
    ssize_t n = fails(NetOp::Receive) ? -1 : ::recv(static_cast<int>(s), buf, cap, 0);
    if (n > 0) {
        got = static_cast<size_t>(n);
        return IoResult::Data;
    }
    if (n == 0) return IoResult::Closed;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return IoResult::WouldBlock;
    return IoResult::Failed;
}

IoResult send_some(Socket s, const char* data, size_t n, size_t& sent) {
    sent = 0;
    ssize_t r = fails(NetOp::Send) ? -1 : ::send(static_cast<int>(s), data, n, MSG_NOSIGNAL);
    if (r > 0) {
        sent = static_cast<size_t>(r);
        return IoResult::Data;
    }
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return IoResult::WouldBlock;
    return IoResult::Failed;
}

void limit_send_buffer(Socket s, int bytes) {
    if (fails(NetOp::SendBuffer)) return;
    ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

void discard_pending_input(Socket s) {
    char buf[4096];
    for (int i = 0; i < 64; ++i)
        if (fails(NetOp::Receive) || ::recv(static_cast<int>(s), buf, sizeof buf, MSG_DONTWAIT) <= 0) return;
}

bool peer_reset(Socket s) {
    char byte;
    return ::recv(static_cast<int>(s), &byte, 1, MSG_PEEK | MSG_DONTWAIT) < 0 && errno == ECONNRESET;
}

bool make_wake_pair(Socket& read_end, Socket& write_end) {
    int fds[2];
    if (fails(NetOp::WakePair) || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0)
        return false;
    read_end = fds[0];
    write_end = fds[1];
    return true;
}

bool send_wake(Socket write_end) {
    char byte = 1;
    // A full buffer holds wake bytes already: the reader wakes all the same.
    if (fails(NetOp::WakeSend)) return errno == EAGAIN || errno == EWOULDBLOCK;
    return ::send(static_cast<int>(write_end), &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1 || errno == EAGAIN ||
           errno == EWOULDBLOCK;
}

void take_wakes(Socket read_end) {
    char buf[64];
    while (!fails(NetOp::WakeReceive) && ::recv(static_cast<int>(read_end), buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

void shutdown_both(Socket s) { ::shutdown(static_cast<int>(s), SHUT_RDWR); }

void close_socket(Socket s) {
    if (s != kInvalidSocket) ::close(static_cast<int>(s));
}

int poll_ready(std::vector<PollEntry>& entries, int timeout_ms) {
    std::vector<pollfd> fds(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        fds[i].fd = static_cast<int>(entries[i].socket);
        fds[i].events = entries[i].want_write ? POLLOUT : POLLIN;
    }
    int n = fails(NetOp::Poll) ? -1 : ::poll(fds.data(), fds.size(), timeout_ms);
    for (size_t i = 0; i < entries.size(); ++i)
        entries[i].ready = n > 0 && (fds[i].revents & (POLLIN | POLLOUT | POLLHUP | POLLERR | POLLNVAL));
    if (n < 0) return errno == EINTR ? 0 : -1;
    return n;
}

}  // namespace platform::net
