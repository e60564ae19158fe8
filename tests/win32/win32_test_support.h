#pragma once
// Helpers of the Windows tests beyond the shared ones: Winsock sockets on
// 127.0.0.1 and UTF-16 to UTF-8 for messages.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>

#include <cstdint>
#include <string>

namespace testing_win32 {

// Holds the sockets library for as long as it lives.
struct Winsock {
    Winsock();
    ~Winsock();
    Winsock(const Winsock&) = delete;
    Winsock& operator=(const Winsock&) = delete;
};

std::string narrow(const std::wstring& text);  // UTF-8

// A blocking client socket connected to 127.0.0.1:port with a 10 second
// receive limit; INVALID_SOCKET when the connection is refused.
SOCKET connect_loopback(std::uint16_t port);
// Reads until the peer closes (or the receive limit passes).
std::string receive_all(SOCKET s);

// A listening socket on 127.0.0.1 as another program would hold it; port 0
// takes a free one and reports it.
SOCKET hold_port(std::uint16_t& port);

}  // namespace testing_win32
