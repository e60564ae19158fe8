#include "server/listener.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace server {
namespace net = platform::net;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr int kAcceptPauseMs = 10;     // after an accept that failed
constexpr int kPollPauseMs = 20;       // after a poll that failed, before the next
constexpr int kIdleLookMs = 1000;      // the longest the loop sleeps without a look of its own
constexpr size_t kAcceptsPerWake = 32;
constexpr size_t kFileBlock = 64 * 1024;  // a reply's file bytes read ahead of the socket, at most
constexpr size_t kSpareDescriptors = 32;  // for the board's files, the listener and the spare
constexpr long long kMinReplyRate = 4096; // bytes a second a reply must keep up on average
// The requests with the board thread hold at most 1/kBoardShare of the
// connections' descriptors (two each: the socket and a reply's file).
constexpr size_t kBoardShare = 4;
// One client address has at most 1/kClientShare of the waiting requests, so
// that a flood from one address leaves room for everyone else's.
constexpr size_t kClientShare = 4;
// How long, and for how many requests at most, the side requests of each
// address are remembered.
constexpr std::chrono::seconds kSideMemory{30};
constexpr size_t kSideRemembered = 4096;
// A reply longer than a block gets this send buffer: the socket then reports
// room every few KiB the client takes, so a client that reads slowly but
// steadily is seen making progress, and one that reads nothing holds little.
constexpr int kLongReplySendBuffer = 16 * 1024;

}  // namespace

// One client: its request while it arrives, then its reply while it drains.
// While Handling on the board or side thread, only that thread touches it.
struct Connection {
    net::SocketHandle socket;
    std::string peer;
    std::string data;  // the request as received: RequestBuffer's contents
    std::optional<Request> request;  // parsed from data once it is whole, until the reply is made
    enum class Phase { Reading, Handling, Replying } phase = Phase::Reading;
    bool done = false;  // to be closed
    // The request ended with its blank line, no byte after it, in the first
    // read that reached it: nothing more of it can be pending at the close.
    bool read_exactly = false;
    std::string out;    // reply bytes not yet sent, from out_at
    size_t out_at = 0;
    platform::RawReader file;  // the reply's file bytes not yet read into out
    SteadyClock::time_point accepted;
    SteadyClock::time_point deadline;   // the request's; while replying, the whole reply's
    SteadyClock::time_point last_sent;  // while replying: the last send that moved bytes
};

// The requests the loop hands to the board and side threads, and their
// connections coming back with the reply made. Guarded by mutex.
struct Handoff {
    std::mutex mutex;
    std::condition_variable work;
    std::deque<Connection*> waiting;    // handed over, oldest first
    std::condition_variable side_work;
    std::deque<Connection*> side_waiting;  // for the side thread, oldest first
    // Side requests by client address over the last kSideMemory, each
    // counted once when it comes and once more for each 100 ms the side
    // thread spent on it: the side thread takes the waiting request whose
    // address asked least, and a newcomer that asked less takes the place of
    // the one that asked most, so that a few addresses, even rotating, cannot
    // keep everyone waiting.
    struct Asked {
        std::chrono::steady_clock::time_point when;
        std::string address;
        size_t weight;
    };
    std::unordered_map<std::string, size_t> side_asked;
    std::deque<Asked> side_recent;
    std::vector<Connection*> finished;  // the reply made, for the loop to send
    bool ending = false;
    bool woken = false;  // a wake byte is on its way for finished
    size_t limit = 0;    // waiting's length at most (set at start, not changed while running)
    net::SocketHandle wake_read, wake_write;
};

namespace {

using Table = std::vector<std::unique_ptr<Connection>>;

void look_up_address(Server& s) {
    s.LocalAddress = s.bind_address ? s.bind_address : net::host_address();
    s.GlobalIpv6 = s.listen_ipv6 ? net::host_global_ipv6() : std::nullopt;
}

// The listeners of a start: the address's own, and with listen_ipv6 one for
// IPv6 as well, unless the address is an IPv6 one already: on every IPv6
// address, or only on ::1 when the board keeps to loopback (behind a proxy
// on the same machine), so that turning IPv6 on opens no other way in.
std::vector<std::string> listen_addresses(const Server& s) {
    std::vector<std::string> addresses{*s.LocalAddress};
    if (s.listen_ipv6 && s.LocalAddress->find(':') == std::string::npos)
        addresses.push_back(s.LocalAddress->compare(0, 4, "127.") == 0 ? "::1" : "::");
    return addresses;
}

SteadyClock::time_point deadline_of(const Server& s, const Connection& c) {
    if (c.phase != Connection::Phase::Replying) return c.deadline;
    auto stalled = c.last_sent + std::chrono::milliseconds(s.send_timeout_ms);
    return stalled < c.deadline ? stalled : c.deadline;
}

// Reads what has arrived. A whole request (or one the peer ended after its
// last byte) goes to ready; a connection that sent nothing, failed, or cut
// its body short is closed without a reply.
void read_request(Connection& c, std::vector<Connection*>& ready) {
    char buf[4096];
    for (;;) {
        size_t room = kRequestBufferSize - c.data.size();
        size_t got = 0;
        net::IoResult r = net::receive_some(c.socket.get(), buf, room < sizeof buf ? room : sizeof buf, got);
        if (r == net::IoResult::WouldBlock) return;
        if (r == net::IoResult::Data) {
            c.data.append(buf, got);
            if (!request_complete(c.data)) continue;
            c.read_exactly = got < sizeof buf && c.data.size() < kRequestBufferSize &&
                             request_body(c.data).empty() && parse_request_line(c.data).method == "GET";
            c.phase = Connection::Phase::Handling;
            ready.push_back(&c);
            return;
        }
        c.done = r == net::IoResult::Failed || c.data.empty() || body_cut_short(c.data);
        if (!c.done) {
            c.phase = Connection::Phase::Handling;
            ready.push_back(&c);
        }
        return;
    }
}

// Sends what the socket takes now, reading the reply's file as it drains (at
// most a block ahead, so the header and a small file leave in one send); the
// connection is done when all is sent or the peer is gone.
void write_reply(Connection& c, SteadyClock::time_point now) {
    for (;;) {
        if (c.out_at == c.out.size()) {
            c.out.clear();
            c.out_at = 0;
        }
        if (c.file.is_open() && c.out.size() < kFileBlock) {
            size_t have = c.out.size();
            c.out.resize(have + kFileBlock);
            size_t got = c.file.read(c.out.data() + have, kFileBlock);
            c.out.resize(have + got);
            if (got == 0) c.file.close();
        }
        if (c.out.empty()) {
            // Request bytes still unread (a request longer than the buffer)
            // would make the close reset the connection, and the reset can
            // destroy the reply before the client has read it. A GET read
            // to its blank line and no further has none.
            if (!c.read_exactly) net::discard_pending_input(c.socket.get());
            c.done = true;
            return;
        }
        size_t sent = 0;
        net::IoResult r = net::send_some(c.socket.get(), c.out.data() + c.out_at, c.out.size() - c.out_at, sent);
        if (r == net::IoResult::WouldBlock) return;
        if (r != net::IoResult::Data) {
            c.done = true;
            return;
        }
        c.out_at += sent;
        c.last_sent = now;
    }
}

// A reply made into the connection's own bytes and file, hardened as its request asks.
Reply reply_into(Connection& c) {
    Reply reply([&c](const char* data, size_t n) { c.out.append(data, n); },
                [&c](platform::RawReader file) { c.file = std::move(file); });
    if (c.request) reply.harden(needs_hardening(*c.request));
    return reply;
}

// The reply made: its deadline set, and as much of it sent as the socket takes at once.
void finish_handling(Server& s, Connection& c) {
    c.request.reset();
    std::string().swap(c.data);
    c.phase = Connection::Phase::Replying;
    auto now = SteadyClock::now();
    long long bytes = static_cast<long long>(c.out.size()) + c.file.size();
    if (bytes > static_cast<long long>(kFileBlock)) net::limit_send_buffer(c.socket.get(), kLongReplySendBuffer);
    c.last_sent = now;
    c.deadline = now + std::chrono::milliseconds(s.send_timeout_ms + bytes * 1000 / kMinReplyRate);
    write_reply(c, now);
}

// Notes a side request of address (under the handoff's mutex); its count
// over the last kSideMemory.
size_t note_side_request(Handoff& h, const std::string& address, size_t weight = 1) {
    const auto now = SteadyClock::now();
    while (!h.side_recent.empty() &&
           (h.side_recent.size() >= kSideRemembered || now - h.side_recent.front().when > kSideMemory)) {
        auto it = h.side_asked.find(h.side_recent.front().address);
        if (it != h.side_asked.end() && (it->second -= h.side_recent.front().weight) == 0) h.side_asked.erase(it);
        h.side_recent.pop_front();
    }
    h.side_recent.push_back({now, address, weight});
    return h.side_asked[address] += weight;
}

size_t side_asked(const Handoff& h, const Connection* c) {
    auto it = h.side_asked.find(c->request->ClientAddress);
    return it == h.side_asked.end() ? 0 : it->second;
}

// Queues a side request (under the handoff's mutex): within the waiting
// places, one client address holding a quarter of them at most, as on the
// board's queue; with them full, in the place of the waiting request whose
// address asked most, when that asked more. Returns the request turned away
// (c itself, or the one it displaced); null when none was.
Connection* queue_side_request(Handoff& h, Connection& c) {
    const size_t asked = note_side_request(h, c.request->ClientAddress);
    size_t from_client = 0;
    for (const Connection* w : h.side_waiting) from_client += w->request->ClientAddress == c.request->ClientAddress;
    if (from_client >= std::max<size_t>(1, kSideWaiting / kClientShare)) return &c;
    if (h.side_waiting.size() < kSideWaiting) {
        h.side_waiting.push_back(&c);
        return nullptr;
    }
    auto busiest = std::max_element(h.side_waiting.begin(), h.side_waiting.end(),
                                    [&h](const Connection* a, const Connection* b) { return side_asked(h, a) < side_asked(h, b); });
    if (busiest == h.side_waiting.end() || side_asked(h, *busiest) <= asked) return &c;
    Connection* displaced = *busiest;
    h.side_waiting.erase(busiest);
    h.side_waiting.push_back(&c);
    return displaced;
}

// A whole request: parsed once; a side request queued for the side thread
// (or answered busy); else answered at once when the handler can, or handed
// to the board thread.
void begin_handling(Server& s, Connection& c) {
    c.request.emplace(parse_request(c.data, std::move(c.peer), s.trusted_proxy));
    Handoff& h = *s.handoff;
    if (s.handler.side_work && s.handler.respond_aside && s.handler.side_work(*c.request)) {
        Connection* turned_away = &c;
        {
            std::lock_guard<std::mutex> guard(h.mutex);
            turned_away = queue_side_request(h, c);
        }
        if (turned_away != &c) h.side_work.notify_one();
        if (!turned_away) return;
        Reply reply = reply_into(*turned_away);
        if (s.handler.side_busy) s.handler.side_busy(*turned_away->request, reply);
        return finish_handling(s, *turned_away);
    }
    if (s.handler.answer_at_once) {
        Reply reply = reply_into(c);
        if (s.handler.answer_at_once(*c.request, reply) || reply.started()) return finish_handling(s, c);
    }
    bool queued = false;
    {
        std::lock_guard<std::mutex> guard(h.mutex);
        size_t from_client = 0;
        for (const Connection* w : h.waiting) from_client += w->request->ClientAddress == c.request->ClientAddress;
        if (h.waiting.size() < h.limit && from_client < std::max<size_t>(1, h.limit / kClientShare)) {
            h.waiting.push_back(&c);
            queued = true;
        }
    }
    if (queued) return h.work.notify_one();
    // The board is behind, or this client already has its share waiting: the
    // error page now, rather than a wait that would hold the connection's
    // descriptor and bytes for as long as the board is behind.
    Reply reply = reply_into(c);
    if (!reply.started()) error_page_reply(reply);
    finish_handling(s, c);
}

// The board thread (side: the side thread): each request of its queue, in
// turn, until the handoff ends.
void lane_work(Server& s, Handoff& h, bool side) {
    std::deque<Connection*>& queue = side ? h.side_waiting : h.waiting;
    std::condition_variable& work = side ? h.side_work : h.work;
    const auto& respond = side ? s.handler.respond_aside : s.handler.respond;
    std::unique_lock<std::mutex> lock(h.mutex);
    for (;;) {
        work.wait(lock, [&] { return h.ending || !queue.empty(); });
        if (h.ending) return;
        // The board's requests in order; the side's from the address that asked least first.
        auto next = queue.begin();
        if (side)
            for (auto it = queue.begin(); it != queue.end(); ++it)
                if (side_asked(h, *it) < side_asked(h, *next)) next = it;
        Connection* c = *next;
        queue.erase(next);
        lock.unlock();
        const auto began = SteadyClock::now();
        // A client that reset its connection was told nothing, and nobody
        // would read the reply: its request is dropped, not carried out.
        if (!net::peer_reset(c->socket.get())) {
            Reply reply = reply_into(*c);
            try {
                respond(*c->request, reply);
            } catch (...) {
                // The handler answers its own failures; what went out stays the reply.
            }
        }
        lock.lock();
        if (side)
            note_side_request(h, c->request->ClientAddress,
                              static_cast<size_t>((SteadyClock::now() - began) / std::chrono::milliseconds(100)) + 1);
        h.finished.push_back(c);
        // A wake that could not be sent is tried again with the next reply,
        // and the loop's idle look takes the replies up meanwhile.
        if (!h.woken) h.woken = net::send_wake(h.wake_write.get());
    }
}

// The replies the board thread has made, taken over by the loop.
void take_finished(Server& s, std::vector<Connection*>& finished) {
    Handoff& h = *s.handoff;
    net::take_wakes(h.wake_read.get());
    finished.clear();
    {
        std::lock_guard<std::mutex> guard(h.mutex);
        finished.swap(h.finished);
        h.woken = false;
    }
    for (Connection* c : finished) finish_handling(s, *c);
}

// Ends the board and side threads after the request each is handling; the
// requests still waiting are dropped with their connections.
void end_board_thread(Server& s) {
    if (!s.handoff) return;
    {
        std::lock_guard<std::mutex> guard(s.handoff->mutex);
        s.handoff->ending = true;
        s.handoff->waiting.clear();
        s.handoff->side_waiting.clear();
    }
    s.handoff->work.notify_all();
    s.handoff->side_work.notify_all();
    if (s.board_thread.joinable()) s.board_thread.join();
    if (s.side_thread.joinable()) s.side_thread.join();
}

// Descriptors the connections hold or may come to hold: each its socket, and
// the file a reply is sent from; a request not yet answered counts its reply's
// file already, so a crowd that asks for files at once stays within the count.
size_t descriptors_held(const Table& table) {
    size_t held = 0;
    for (auto& c : table) {
        if (c->done) continue;
        bool may_hold_file = c->phase != Connection::Phase::Replying || c->file.is_open();
        held += may_hold_file ? 2 : 1;
    }
    return held;
}

// Closes the connection that has waited longest without a whole request;
// false when every connection is replying.
bool shed_longest_waiting(Table& table) {
    Connection* oldest = nullptr;
    for (auto& c : table)
        if (c->phase == Connection::Phase::Reading && !c->done && (!oldest || c->accepted < oldest->accepted))
            oldest = c.get();
    if (oldest) oldest->done = true;
    return oldest != nullptr;
}

void drop_done(Table& table) {
    for (size_t i = 0; i < table.size();) {
        if (table[i]->done) {
            table[i] = std::move(table.back());
            table.pop_back();
        } else {
            ++i;
        }
    }
}

// Accepts one connection; false when there was none to accept. A full table
// makes room by closing the connection that has waited longest for its request.
bool accept_one(Server& s, net::Socket listener, Table& table, std::vector<Connection*>& ready,
                SteadyClock::time_point& accept_resume) {
    auto c = std::make_unique<Connection>();
    net::Socket socket = net::kInvalidSocket;
    switch (net::accept_connection(listener, socket, c->peer)) {
        case net::AcceptResult::Accepted: break;
        case net::AcceptResult::NonePending: return false;
        case net::AcceptResult::OutOfDescriptors:
            if (!shed_longest_waiting(table)) net::refuse_connection(listener);
            return false;
        case net::AcceptResult::Failed:
            accept_resume = SteadyClock::now() + std::chrono::milliseconds(kAcceptPauseMs);
            return false;
    }
    c->socket = net::SocketHandle(socket);
    if (descriptors_held(table) + 2 > s.max_connections && !shed_longest_waiting(table)) return true;
    c->accepted = SteadyClock::now();
    c->deadline = c->accepted + std::chrono::milliseconds(s.request_timeout_ms);
    read_request(*c, ready);
    table.push_back(std::move(c));
    return true;
}

void event_loop(Server& s, std::vector<net::SocketHandle> listeners) {
    Table table;
    std::vector<net::PollEntry> entries;
    std::vector<Connection*> polled;    // the connections of entries, from entries[first]
    std::vector<Connection*> ready;     // whole requests to handle
    std::vector<Connection*> finished;  // replies the board thread made
    auto accept_resume = SteadyClock::now();
    auto last_look = accept_resume;  // the last time the board thread's replies were taken up
    while (!s.stopping.load()) {
        auto now = SteadyClock::now();
        bool accepting = now >= accept_resume;
        // With nothing to wait for, the loop sleeps until a socket or the
        // wake pair (a reply back from the board thread, or stop) stirs, and
        // looks once a second in case a wake byte could not be sent.
        auto wake = now + std::chrono::milliseconds(kIdleLookMs);
        if (!accepting && accept_resume < wake) wake = accept_resume;
        entries.clear();
        polled.clear();
        const size_t listening = accepting ? listeners.size() : 0;  // entries[0 .. listening)
        for (size_t l = 0; l < listening; ++l) entries.push_back({listeners[l].get()});
        entries.push_back({s.handoff->wake_read.get()});
        const size_t first = entries.size();
        for (auto& c : table) {
            // A request with the board thread is polled again once its reply is back.
            if (c->phase == Connection::Phase::Handling) continue;
            polled.push_back(c.get());
            entries.push_back({c->socket.get(), false, c->phase == Connection::Phase::Replying});
            auto d = deadline_of(s, *c);
            if (d < wake) wake = d;
        }
        auto wait = std::max<std::int64_t>(0, std::chrono::ceil<std::chrono::milliseconds>(wake - now).count());
        // A poll that fails (no memory, more entries than the descriptor
        // limit) would fail again at once: pause, so the loop does not spin.
        int stirred = net::poll_ready(entries, static_cast<int>(wait));
        if (stirred < 0) std::this_thread::sleep_for(std::chrono::milliseconds(kPollPauseMs));
        if (s.stopping.load()) break;

        now = SteadyClock::now();
        ready.clear();
        for (size_t i = 0; i < polled.size(); ++i) {
            Connection& c = *polled[i];
            bool replying = c.phase == Connection::Phase::Replying;
            if (entries[first + i].ready) {
                if (replying)
                    write_reply(c, now);
                else
                    read_request(c, ready);
            }
            if (c.done || c.phase == Connection::Phase::Handling || now < deadline_of(s, c)) continue;
            // Out of time: a request that came whole but for its end is
            // handled; one that sent nothing or cut its body short, and a
            // reply too slow to drain, are closed.
            c.done = replying || c.data.empty() || body_cut_short(c.data);
            if (!c.done) {
                c.phase = Connection::Phase::Handling;
                ready.push_back(&c);
            }
        }
        // Accepts go on while they bring connections with nothing to read
        // yet (a crowd connecting at once), up to a few a wake; one that
        // brings its whole request ends them, so that a client served after
        // another costs no failed call.
        for (size_t l = 0; l < listening; ++l) {
            for (size_t n = 0; entries[l].ready && n < kAcceptsPerWake; ++n) {
                size_t handled = ready.size();
                if (!accept_one(s, listeners[l].get(), table, ready, accept_resume) || ready.size() > handled) break;
            }
        }
        // A wake byte that could not be sent leaves its reply to the loop's
        // own look, once a second also while other sockets keep it busy.
        if (entries[first - 1].ready || stirred == 0 || now - last_look >= std::chrono::milliseconds(kIdleLookMs)) {
            take_finished(s, finished);
            last_look = now;
        }
        for (Connection* c : ready)
            if (!s.stopping.load()) begin_handling(s, *c);
        drop_done(table);
    }
    // The connections go with the loop: none may still be with the board thread.
    end_board_thread(s);
}

}  // namespace

Server::~Server() { stop(*this); }

bool network_initialisation(Server& s) {
    s.ServerState = RunState::NeverStarted;
    if (!net::startup()) return false;
    look_up_address(s);
    s.ListenPort = kDefaultPort;
    net::cleanup();
    return true;
}

StartResult start(Server& s) {
    if (s.ServerState == RunState::Running) return StartResult::AlreadyRunning;
    s.start_error.clear();
    s.start_reason.clear();
    if (s.handler.before_start) {
        std::string trouble = s.handler.before_start();
        if (!trouble.empty()) {
            s.start_error = "the board's files cannot be made ready: " + trouble;
            s.start_reason = trouble;
            return StartResult::NotReady;
        }
    }
    if (!net::startup()) {
        s.start_error = "the sockets library cannot be started";
        return StartResult::NotReady;
    }
    look_up_address(s);
    if (!s.LocalAddress) {
        net::cleanup();
        s.start_error = "no address of this host was found to listen on; give one with --bind";
        return StartResult::BindFailed;
    }
    std::vector<net::SocketHandle> listeners;
    s.failed_address.clear();
    for (const std::string& address : listen_addresses(s)) {
        // A second listener takes the port the first one got (port 0: the system's choice).
        std::uint16_t port = listeners.empty() ? s.ListenPort : s.bound_port;
        net::Socket listening = net::kInvalidSocket;
        int error = 0;
        net::ListenResult listened = net::listen_on(address, port, listening, &error, !listeners.empty());
        listeners.emplace_back(listening);
        if (listened != net::ListenResult::Ok) {
            listeners.clear();
            net::cleanup();
            s.failed_address = address;
            std::string where = net::url_host(address) + ":" + std::to_string(port);
            s.start_reason = net::error_text(error);
            if (listened == net::ListenResult::SocketFailed) {
                s.start_error = "cannot make a socket: " + s.start_reason;
                return StartResult::NoSocket;
            }
            bool bind = listened == net::ListenResult::BindFailed;
            s.start_error = (bind ? "cannot bind " : "cannot listen on ") + where + ": " + s.start_reason;
            return bind ? StartResult::BindFailed : StartResult::ListenFailed;
        }
        if (listeners.size() == 1) s.bound_port = net::local_port(listeners.front().get());
    }
    size_t limit = net::descriptor_limit();
    s.max_connections = limit > 2 * kSpareDescriptors ? limit - kSpareDescriptors : kSpareDescriptors;
    auto handoff = std::make_shared<Handoff>();
    handoff->limit = std::max<size_t>(1, std::min(s.board_queue_limit, s.max_connections / kBoardShare / 2));
    net::Socket wake_read = net::kInvalidSocket, wake_write = net::kInvalidSocket;
    if (!net::make_wake_pair(wake_read, wake_write)) {
        listeners.clear();
        net::cleanup();
        s.start_error = "cannot make the sockets that wake the server's event loop";
        return StartResult::NoSocket;
    }
    handoff->wake_read = net::SocketHandle(wake_read);
    handoff->wake_write = net::SocketHandle(wake_write);
    s.handoff = handoff;
    s.stopping = false;
    s.ServerState = RunState::Running;
    try {
        s.board_thread = std::thread(lane_work, std::ref(s), std::ref(*handoff), false);
        if (s.handler.respond_aside) s.side_thread = std::thread(lane_work, std::ref(s), std::ref(*handoff), true);
        s.accept_thread = std::thread(event_loop, std::ref(s), std::move(listeners));
    } catch (const std::system_error& e) {
        end_board_thread(s);
        s.handoff.reset();
        s.ServerState = RunState::Stopped;
        net::cleanup();
        s.start_error = std::string("cannot start the server's threads: ") + e.what();
        return StartResult::NoSocket;
    }
    return StartResult::Started;
}

void stop(Server& s) {
    if (s.ServerState != RunState::Running) return;
    s.ServerState = RunState::Stopped;
    s.stopping = true;
    if (s.handoff) net::send_wake(s.handoff->wake_write.get());  // the loop may be asleep in its poll
    if (s.accept_thread.joinable()) s.accept_thread.join();
    end_board_thread(s);
    s.handoff.reset();
    net::cleanup();
}

bool set_port(Server& s, std::uint16_t port) {
    if (!net::startup()) return false;
    look_up_address(s);
    net::cleanup();
    s.ListenPort = port;
    return true;
}

bool set_ipv6(Server& s, bool on) {
    s.listen_ipv6 = on;
    s.GlobalIpv6.reset();
    if (!on) return true;
    if (!net::startup()) return false;
    s.GlobalIpv6 = net::host_global_ipv6();
    net::cleanup();
    return true;
}

}  // namespace server
