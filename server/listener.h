#pragma once
// The server record: the listening socket, the accept thread, and the
// operations the front ends call (network initialisation, start, stop, set port).
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "board/board.h"
#include "platform/net.h"

namespace server {

inline constexpr std::uint16_t kDefaultPort = 53790;

struct Server {
    explicit Server(board::Board& b) : board(b) {}
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    ~Server();

    board::Board& board;

    std::atomic<std::int32_t> ServerState{0};  // 0 never started, 1 running, 2 stopped
    std::uint16_t ListenPort = 0;
    std::optional<std::string> LocalAddress;   // absent when the host lookup failed
    std::optional<std::string> bind_address;   // --bind: used instead of the host lookup
    std::uint16_t bound_port = 0;              // the port really listened on (ListenPort 0: the system's choice)

    platform::net::Socket ListenSocket = platform::net::kInvalidSocket;
    std::atomic<platform::net::Socket> ConnectionSocket{platform::net::kInvalidSocket};
    std::thread accept_thread;
    std::atomic<bool> stopping{false};

    // A client gets this long to send its whole request, and each reply send
    // this long to go out.
    int request_timeout_ms = 5000;
    int send_timeout_ms = 5000;
    // Connections read at the same time; further ones wait in the backlog.
    size_t max_pending = 64;
};

// 0; 5 when the sockets library cannot be started.
int network_initialisation(Server& s);
// 0 listening; 1 already running; 2 no socket; 3 bind failed (also when there
// is no address to bind to); 4 listen failed; 5 the counters file cannot be
// created, or the sockets library cannot be started.
int start(Server& s);
// Always 1. Waits until the accept thread has ended.
int stop(Server& s);
// 0; 5 when the sockets library cannot be started.
int set_port(Server& s, std::uint16_t port);

}  // namespace server
