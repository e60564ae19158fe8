#pragma once
// Socket addresses and their texts, the same on POSIX and Winsock: included by
// net_posix.cpp and net_win32.cpp after their own socket headers, and by
// nothing else (it names the systems' socket types).
#include <cstring>
#include <string>

#include "platform/net.h"

namespace platform::net::detail {

inline std::string dotted(const in_addr& a) {
    char text[INET_ADDRSTRLEN] = {};
    const char* ok = ::inet_ntop(AF_INET, &a, text, sizeof text);
    return ok ? text : "";
}

inline Ipv6Bytes bytes_of(const in6_addr& a) {
    Ipv6Bytes b;
    std::memcpy(b.data(), &a, b.size());
    return b;
}

// The text of a connection's other end or a socket's own address.
inline std::string address_of(const sockaddr_storage& a) {
    if (a.ss_family == AF_INET6) return ipv6_text(bytes_of(reinterpret_cast<const sockaddr_in6&>(a).sin6_addr));
    return dotted(reinterpret_cast<const sockaddr_in&>(a).sin_addr);
}

// The socket address of address:port; false when address is neither IPv4 nor
// IPv6 text. Length is socklen_t on POSIX and int on Winsock.
template <typename Length>
bool socket_address(const std::string& address, std::uint16_t port, sockaddr_storage& out, Length& len) {
    out = {};
    if (address.find('\0') != std::string::npos) return false;
    Ipv6Bytes v6;
    if (address.find(':') != std::string::npos && parse_ipv6(address, v6)) {
        auto& a = reinterpret_cast<sockaddr_in6&>(out);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        std::memcpy(&a.sin6_addr, v6.data(), v6.size());
        len = sizeof a;
        return true;
    }
    auto& a = reinterpret_cast<sockaddr_in&>(out);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    len = sizeof a;
    return ::inet_pton(AF_INET, address.c_str(), &a.sin_addr) == 1;
}

}  // namespace platform::net::detail
