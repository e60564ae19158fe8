#pragma once
// The server record: the listening socket, the server's two threads, and the
// operations the front ends call (network initialisation, start, stop, set
// port). The server knows HTTP only: what a request means is the handler's.
// Errors here are results (the enums below); nothing throws.
//
// The threads, and what each touches:
// - the event loop (accept_thread): the listener, every connection (its
//   socket, request text, reply bytes and file), the deadlines and the
//   shedding. It parses each whole request and offers it to
//   Handler::answer_at_once, which answers what needs nothing of the board
//   thread (a page read from its file); every other request it hands over.
// - the board thread (board_thread): Handler::respond for the requests handed
//   over, one at a time, in the order they came whole. While a request is
//   handed over, its connection belongs to the board thread (the loop neither
//   polls it nor looks at its deadline); the finished reply comes back
//   through the handoff's completion list, and a byte through the wake pair
//   ends the loop's poll. The handoff's own mutex guards both lists; the
//   board's state is the handler's (see board/board.h). The waiting list is
//   bounded (board_queue_limit, and a share of it for each client address):
//   a request that finds it full gets the error page from the loop at once,
//   so a flood of posts holds neither memory nor descriptors beyond it, and
//   a request whose client reset its connection before its turn is dropped
//   unanswered.
// - the side thread (side_thread): Handler::respond_aside for the requests
//   Handler::side_work picks out on the loop (long reads that must hold up
//   neither the loop nor the board thread), one at a time; at most
//   kSideWaiting more wait for it, under the handoff's mutex like the board
//   thread's, one client address holding a quarter of those places at most,
//   and the loop answers any beyond them with Handler::side_busy.
//   Its connections and replies pass as the board thread's do.
// - the front end's thread calls start, stop and set_port; stop ends the
//   three threads, the board and side threads after the request each is
//   handling.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
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
    // Answers one whole request; called on the board thread, one request at a time.
    std::function<void(const Request&, Reply&)> respond;
    // Runs at each start before anything is bound; a text (why, for the
    // owner) makes the start fail (NotReady).
    std::function<std::string()> before_start;
    // Called on the event loop for each whole request first: answers it at
    // once and returns true, or returns false having sent nothing, and the
    // request goes to respond on the board thread. It must never wait for
    // the board thread's work. Unset: every request goes to respond.
    std::function<bool(const Request&, Reply&)> answer_at_once;
    // Called on the event loop for each whole request before answer_at_once:
    // true sends it to respond_aside on the side thread. It must not wait.
    // Unset: none is.
    std::function<bool(const Request&)> side_work;
    // Answers a request side_work picked; called on the side thread, one at a time.
    std::function<void(const Request&, Reply&)> respond_aside;
    // The reply, made on the event loop, for a side request that finds the
    // side thread busy and kSideWaiting others waiting.
    std::function<void(const Request&, Reply&)> side_busy;
};

// Side requests that may wait for the side thread besides the one it runs.
inline constexpr size_t kSideWaiting = 4;

// The queue between the event loop and the board thread (listener.cpp).
struct Handoff;

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
    // The owner's IPv6 setting: each start also listens on IPv6 (IPv6 only)
    // on the same port, unless the address is IPv6 itself: on ::1 when the
    // address is a loopback one, else on every IPv6 address.
    bool listen_ipv6 = false;
    std::optional<std::string> GlobalIpv6;     // with listen_ipv6: the host's global IPv6 address, when it has one
    std::uint16_t bound_port = 0;              // the port really listened on (ListenPort 0: the system's choice)
    std::string start_error;                   // why the last start failed, in English, with address and port
    std::string start_reason;                  // the system's words for it, when it came from a socket call
    std::string failed_address;                // the address of the listener that could not be made

    std::thread accept_thread;  // the event loop over the listener and every connection
    std::thread board_thread;   // Handler::respond for the requests the loop hands over
    std::thread side_thread;    // Handler::respond_aside for the side requests
    std::shared_ptr<Handoff> handoff;
    std::atomic<bool> stopping{false};

    // A client gets this long to send its whole request. A reply gets this
    // long plus a second for every 4 KiB to go out, and is cut off when no
    // byte of it leaves for this long.
    int request_timeout_ms = 5000;
    int send_timeout_ms = 5000;
    // Descriptors the connections may hold at once, a socket each and the
    // file a reply is sent from: set at each start from the descriptor limit.
    size_t max_connections = 0;
    // Requests waiting for the board thread, at most; one more gets the
    // error page at once, as does one more from a client address that has a
    // quarter of them (kClientShare in listener.cpp). Never more than a
    // quarter of max_connections is spent on them (kBoardShare), so the rest
    // stays for the requests the event loop answers itself.
    size_t board_queue_limit = 64;
};

// False when the sockets library cannot be started.
bool network_initialisation(Server& s);
StartResult start(Server& s);
// Waits until the event loop and the board thread have ended.
void stop(Server& s);
// False when the sockets library cannot be started.
bool set_port(Server& s, std::uint16_t port);
// Sets listen_ipv6 for the next start and looks up the global IPv6 address.
bool set_ipv6(Server& s, bool on);

}  // namespace server
