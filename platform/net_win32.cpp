// Sockets on Windows Sockets 2.2. Every startup() is one WSAStartup and every
// cleanup() one WSACleanup: Winsock counts them, so the pairs that the
// listener makes (network initialisation, start/stop, set port) nest as they do.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <cstring>

#include "platform/net.h"
#include "platform/net_faults.h"
#include "platform/socket_address.h"

namespace platform::net {
namespace {

SOCKET native(Socket s) { return static_cast<SOCKET>(s); }

#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif

// Sockets the owner's program never inherits: a program still running
// would hold the listening port and every open connection. The flag is
// known since Windows 7 SP1; the handle's own setting covers the rest.
SOCKET not_inherited(SOCKET s) {
    if (s != INVALID_SOCKET) ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return s;
}

SOCKET new_socket(int type, int family = AF_INET) {
    SOCKET s = ::WSASocketW(family, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET && ::WSAGetLastError() == WSAEINVAL)
        s = ::WSASocketW(family, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED);
    return not_inherited(s);
}

void set_nonblocking(SOCKET s, bool on) {
    u_long mode = on ? 1 : 0;
    ::ioctlsocket(s, FIONBIO, &mode);
}

// True, with the last error set, when the seam fails the call; it is then not made.
bool fails(NetOp op) {
    int error = net_fault_error(net_fault_for(op), {WSAEWOULDBLOCK, WSAEINTR, WSAECONNRESET, WSAECONNABORTED,
                                                    WSAESHUTDOWN, WSAETIMEDOUT, WSAEMFILE, WSAEMFILE, WSAENOBUFS,
                                                    WSA_NOT_ENOUGH_MEMORY, WSAEINVAL});
    if (error == 0) return false;
    ::WSASetLastError(error);
    return true;
}

}  // namespace

bool startup() {
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) return false;
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
        ::WSACleanup();
        return false;
    }
    return true;
}

void cleanup() { ::WSACleanup(); }

namespace {

using detail::address_of;
using detail::bytes_of;
using detail::dotted;
using detail::socket_address;

// Every IPv4 address the host's own name looks up to: on Windows, those of
// its interfaces that are up.
std::vector<std::string> own_name_addresses() {
    std::vector<std::string> found;
    char name[256];
    if (::gethostname(name, 255) != 0) return found;
    name[255] = '\0';
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &list) != 0) return found;
    for (addrinfo* a = list; a; a = a->ai_next) found.push_back(dotted(reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr));
    ::freeaddrinfo(list);
    return found;
}

// A UDP socket "connected" to a documentation address sends nothing; its
// own address is then the one the system would route through.
std::optional<std::string> default_route_address() {
    SOCKET s = new_socket(SOCK_DGRAM);
    if (s == INVALID_SOCKET) return std::nullopt;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(9);
    ::inet_pton(AF_INET, "192.0.2.1", &to.sin_addr);
    sockaddr_in own{};
    int len = sizeof own;
    std::optional<std::string> found;
    if (::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&own), &len) == 0)
        found = dotted(own.sin_addr);
    ::closesocket(s);
    return found;
}

}  // namespace

std::optional<std::string> host_address() {
    std::vector<std::string> named = own_name_addresses();
    std::optional<std::string> looked_up;
    if (!named.empty()) looked_up = named.front();
    return choose_host_address(looked_up, default_route_address(), named);
}

std::optional<std::string> host_global_ipv6() {
    std::vector<Ipv6Candidate> found;
    ULONG size = 16 * 1024;
    std::vector<unsigned char> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    constexpr ULONG kFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    for (int tries = 0; tries < 3 && result == ERROR_BUFFER_OVERFLOW; ++tries) {
        buffer.resize(size);
        result = ::GetAdaptersAddresses(AF_INET6, kFlags, nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()),
                                        &size);
    }
    if (result != NO_ERROR) return std::nullopt;
    for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter; adapter = adapter->Next) {
        if (adapter->OperStatus != IfOperStatusUp || adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
        for (auto* a = adapter->FirstUnicastAddress; a; a = a->Next) {
            if (!a->Address.lpSockaddr || a->Address.lpSockaddr->sa_family != AF_INET6) continue;
            std::string text = ipv6_text(bytes_of(reinterpret_cast<sockaddr_in6*>(a->Address.lpSockaddr)->sin6_addr));
            // A random suffix is a privacy address; a deprecated one is on its way out.
            bool passing = a->SuffixOrigin == IpSuffixOriginRandom || a->DadState == IpDadStateDeprecated;
            found.push_back({text, passing});
        }
    }
    return choose_global_ipv6(found);
}

// Parsed here rather than by inet_pton, which wants the sockets library
// started; the rules are inet_pton's: four decimal parts of 0 to 255, no
// leading zeros, nothing else.
bool is_ipv4_text(const std::string& text) {
    int parts = 0;
    size_t i = 0;
    while (parts < 4) {
        size_t start = i;
        int value = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) value = value * 10 + (text[i++] - '0');
        size_t digits = i - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) return false;
        ++parts;
        if (parts < 4) {
            if (i >= text.size() || text[i] != '.') return false;
            ++i;
        }
    }
    return i == text.size();
}

ListenResult listen_on(const std::string& address, std::uint16_t port, Socket& out, int* error, bool ipv6_only) {
    out = kInvalidSocket;
    auto failed = [&](SOCKET s, ListenResult r, int code) {
        if (error) *error = code;
        if (s != INVALID_SOCKET) ::closesocket(s);
        return r;
    };
    sockaddr_storage addr{};
    int length = 0;
    bool known = socket_address(address, port, addr, length);
    SOCKET s = new_socket(SOCK_STREAM, addr.ss_family == AF_INET6 ? AF_INET6 : AF_INET);
    if (s == INVALID_SOCKET) return failed(s, ListenResult::SocketFailed, ::WSAGetLastError());
    // Nobody else may bind the port while the board listens on it, and a port
    // that another program holds makes this bind fail.
    BOOL one = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof one);
    if (!known) return failed(s, ListenResult::BindFailed, WSAEADDRNOTAVAIL);
    // Windows keeps an IPv6 socket to IPv6 unless told otherwise.
    DWORD v6_only = ipv6_only ? 1 : 0;
    if (addr.ss_family == AF_INET6)
        ::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6_only), sizeof v6_only);
    if (::bind(s, reinterpret_cast<sockaddr*>(&addr), length) != 0)
        return failed(s, ListenResult::BindFailed, ::WSAGetLastError());
    if (::listen(s, SOMAXCONN) != 0) return failed(s, ListenResult::ListenFailed, ::WSAGetLastError());
    set_nonblocking(s, true);
    out = static_cast<Socket>(s);
    return ListenResult::Ok;
}

std::string error_text(int error) {
    switch (error) {
        case WSAEADDRINUSE: return "the address is in use";
        case WSAEADDRNOTAVAIL: return "the address is not one of this computer's";
        case WSAEACCES: return "access is denied";
        default: return "Windows Sockets error " + std::to_string(error);
    }
}

std::uint16_t local_port(Socket s) {
    sockaddr_storage addr{};
    int len = sizeof addr;
    if (::getsockname(native(s), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    // The port stands at the same place in both families' records.
    return ntohs(reinterpret_cast<sockaddr_in&>(addr).sin_port);
}

AcceptResult accept_connection(Socket listener, Socket& out, std::string& peer) {
    sockaddr_storage addr{};
    int len = sizeof addr;
    SOCKET s = fails(NetOp::Accept) ? INVALID_SOCKET
                                    : ::accept(native(listener), reinterpret_cast<sockaddr*>(&addr), &len);
    out = kInvalidSocket;
    if (s == INVALID_SOCKET) {
        int error = ::WSAGetLastError();
        if (error == WSAEWOULDBLOCK || error == WSAEINTR || error == WSAECONNRESET) return AcceptResult::NonePending;
        return error == WSAEMFILE || error == WSAENOBUFS ? AcceptResult::OutOfDescriptors : AcceptResult::Failed;
    }
    // An accepted socket inherits the listener's non-blocking mode; set it
    // anyway, since the reading side depends on it.
    set_nonblocking(s, true);
    not_inherited(s);
    peer = address_of(addr);
    out = static_cast<Socket>(s);
    return AcceptResult::Accepted;
}

// Windows sockets are not counted against a descriptor table: nothing is
// kept spare.
void refuse_connection(Socket listener) {
    SOCKET s = fails(NetOp::Accept) ? INVALID_SOCKET : ::accept(native(listener), nullptr, nullptr);
    if (s != INVALID_SOCKET) ::closesocket(s);
}

size_t descriptor_limit() { return 16384; }

IoResult receive_some(Socket s, char* buf, size_t cap, size_t& got) {
    got = 0;
    int want = cap > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(cap);
    int n = fails(NetOp::Receive) ? SOCKET_ERROR : ::recv(native(s), buf, want, 0);
    if (n > 0) {
        got = static_cast<size_t>(n);
        return IoResult::Data;
    }
    if (n == 0) return IoResult::Closed;
    int error = ::WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINTR) return IoResult::WouldBlock;
    return IoResult::Failed;
}

IoResult send_some(Socket s, const char* data, size_t n, size_t& sent) {
    sent = 0;
    int chunk = n > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(n);
    int r = fails(NetOp::Send) ? SOCKET_ERROR : ::send(native(s), data, chunk, 0);
    if (r > 0) {
        sent = static_cast<size_t>(r);
        return IoResult::Data;
    }
    int error = r == SOCKET_ERROR ? ::WSAGetLastError() : 0;
    return error == WSAEWOULDBLOCK || error == WSAEINTR ? IoResult::WouldBlock : IoResult::Failed;
}

void limit_send_buffer(Socket s, int bytes) {
    if (fails(NetOp::SendBuffer)) return;
    ::setsockopt(native(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

void discard_pending_input(Socket s) {
    u_long available = 0;
    char buf[4096];
    for (int i = 0; i < 64 && ::ioctlsocket(static_cast<SOCKET>(s), FIONREAD, &available) == 0 && available > 0; ++i)
        if (fails(NetOp::Receive) || ::recv(static_cast<SOCKET>(s), buf, sizeof buf, 0) <= 0) return;
}

bool peer_reset(Socket s) {
    char byte;
    return ::recv(native(s), &byte, 1, MSG_PEEK) == SOCKET_ERROR && ::WSAGetLastError() == WSAECONNRESET;
}

// A loopback connection made through a listener of its own on a port the
// system chooses, closed once the pair is made.
bool make_wake_pair(Socket& read_end, Socket& write_end) {
    read_end = write_end = kInvalidSocket;
    if (fails(NetOp::WakePair)) return false;
    SOCKET listener = new_socket(SOCK_STREAM);
    if (listener == INVALID_SOCKET) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    SOCKET writer = INVALID_SOCKET, reader = INVALID_SOCKET;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(listener, 1) == 0 &&
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        writer = new_socket(SOCK_STREAM);
        if (writer != INVALID_SOCKET && ::connect(writer, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            reader = not_inherited(::accept(listener, nullptr, nullptr));
    }
    ::closesocket(listener);
    if (reader == INVALID_SOCKET) {
        if (writer != INVALID_SOCKET) ::closesocket(writer);
        return false;
    }
    BOOL one = TRUE;
    ::setsockopt(writer, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    set_nonblocking(reader, true);
    set_nonblocking(writer, true);
    read_end = static_cast<Socket>(reader);
    write_end = static_cast<Socket>(writer);
    return true;
}

bool send_wake(Socket write_end) {
    char byte = 1;
    return !fails(NetOp::WakeSend) && ::send(native(write_end), &byte, 1, 0) == 1;
}

void take_wakes(Socket read_end) {
    char buf[64];
    while (!fails(NetOp::WakeReceive) && ::recv(native(read_end), buf, sizeof buf, 0) > 0) {
    }
}

void shutdown_both(Socket s) { ::shutdown(native(s), SD_BOTH); }

void close_socket(Socket s) {
    if (s != kInvalidSocket) ::closesocket(native(s));
}

int poll_ready(std::vector<PollEntry>& entries, int timeout_ms) {
    if (entries.empty()) {
        // WSAPoll refuses an empty set at once; wait as poll() would.
        ::Sleep(timeout_ms < 0 ? 0 : static_cast<DWORD>(timeout_ms));
        return 0;
    }
    std::vector<WSAPOLLFD> fds(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        fds[i].fd = native(entries[i].socket);
        fds[i].events = entries[i].want_write ? POLLWRNORM : POLLRDNORM;
        fds[i].revents = 0;
    }
    int n = fails(NetOp::Poll) ? SOCKET_ERROR : ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeout_ms);
    for (size_t i = 0; i < entries.size(); ++i)
        entries[i].ready = n > 0 && (fds[i].revents & (POLLRDNORM | POLLWRNORM | POLLHUP | POLLERR | POLLNVAL));
    return n == SOCKET_ERROR ? -1 : n;
}

}  // namespace platform::net
