#pragma once
// The server record: the listening socket, the accept thread, and the
// operations the front ends call (network initialisation, start, stop, set
// port). The server knows HTTP only: what a request means is the handler's.
// Errors here are results (the enums below); nothing throws.
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "platform/net.h"
#include "server/reply.h"
#include "server/request.h"

namespace server {

inline constexpr std::uint16_t kDefaultPort = 53790;

// The owner sees these numbers (the status display, the exit messages).
enum class RunState : std::int32_t { NeverStarted = 0, Running = 1, Stopped = 2 };

// BindFailed also when there is no address to bind to; NotReady when the
// handler cannot serve or the sockets library cannot be started.
enum class StartResult { Started = 0, AlreadyRunning = 1, NoSocket = 2, BindFailed = 3, ListenFailed = 4, NotReady = 5 };

// What the server serves with.
struct Handler {
    // Answers one whole request; called on the accept thread, one request at a time.
    std::function<void(const Request&, Reply&)> respond;
    // Runs at each start before anything is bound; a text (why, for the
    // owner) makes the start fail (NotReady).
    std::function<std::string()> before_start;
};

struct Server {
    explicit Server(Handler h) : handler(std::move(h)) {}
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    ~Server();

    Handler handler;

    std::atomic<RunState> ServerState{RunState::NeverStarted};
    std::uint16_t ListenPort = 0;
    std::optional<std::string> LocalAddress;   // absent when the host lookup failed
    std::optional<std::string> bind_address;   // --bind: used instead of the host lookup
    std::optional<std::string> trusted_proxy;  // the owner's TLS proxy, whose forwarding headers are believed
    std::uint16_t bound_port = 0;              // the port really listened on (ListenPort 0: the system's choice)
    std::string start_error;                   // why the last start failed, in English, with address and port
    std::string start_reason;                  // the system's words for it, when it came from a socket call

    std::thread accept_thread;  // the event loop over the listener and every connection
    std::atomic<bool> stopping{false};

    // A client gets this long to send its whole request. A reply gets this
    // long plus a second for every 4 KiB to go out, and is cut off when no
    // byte of it leaves for this long.
    int request_timeout_ms = 5000;
    int send_timeout_ms = 5000;
    // Descriptors the connections may hold at once, a socket each and the
    // file a reply is sent from: set at each start from the descriptor limit.
    size_t max_connections = 0;
};

// False when the sockets library cannot be started.
bool network_initialisation(Server& s);
StartResult start(Server& s);
// Waits until the accept thread has ended.
void stop(Server& s);
// False when the sockets library cannot be started.
bool set_port(Server& s, std::uint16_t port);

}  // namespace server
