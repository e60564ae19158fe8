#include "win32/win32_test_support.h"

#include <ws2tcpip.h>

namespace testing_win32 {

Winsock::Winsock() {
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 2), &data);
}

Winsock::~Winsock() { ::WSACleanup(); }

std::string narrow(const std::wstring& text) {
    int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

static sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

SOCKET connect_loopback(std::uint16_t port) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return s;
    DWORD timeout = 10000;
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    sockaddr_in a = loopback(port);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

std::string receive_all(SOCKET s) {
    std::string reply;
    char buf[8192];
    int n;
    while ((n = ::recv(s, buf, sizeof buf, 0)) > 0) reply.append(buf, static_cast<size_t>(n));
    return reply;
}

SOCKET hold_port(std::uint16_t& port) {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(s, 1);
    int len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return s;
}

}  // namespace testing_win32
