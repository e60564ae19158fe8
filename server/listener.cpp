#include "server/listener.h"

#include <chrono>
#include <string>
#include <system_error>
#include <vector>

namespace server {
namespace net = platform::net;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr int kPollSliceMs = 50;  // how often the accept thread looks at `stopping`

struct Pending {
    net::SocketHandle socket;
    std::string peer;
    std::string data;
    SteadyClock::time_point deadline;
};

void look_up_address(Server& s) {
    s.LocalAddress = s.bind_address ? s.bind_address : net::host_address();
}

// A reply's sends are gathered and leave the program in few system calls:
// the bytes on the wire are the same, only cut where the buffer fills.
class GatheredSend {
public:
    GatheredSend(net::Socket socket, int timeout_ms, std::string& buffer)
        : socket_(socket), timeout_ms_(timeout_ms), buffer_(buffer) {
        buffer_.clear();
    }
    void add(const char* data, size_t n) {
        if (failed_) return;
        if (buffer_.size() + n > kGatherBytes) flush();
        if (n >= kGatherBytes)
            failed_ = failed_ || !net::send_all(socket_, data, n, timeout_ms_);
        else
            buffer_.append(data, n);
    }
    void flush() {
        if (!failed_ && !buffer_.empty()) failed_ = !net::send_all(socket_, buffer_.data(), buffer_.size(), timeout_ms_);
        buffer_.clear();
    }

private:
    static constexpr size_t kGatherBytes = 64 * 1024;
    net::Socket socket_;
    int timeout_ms_;
    std::string& buffer_;
    bool failed_ = false;
};

// Serves one whole request: the handler's answer goes out on the connection
// with a send time limit, then the connection closes. out_buffer is the
// accept thread's, kept between requests so that a reply allocates nothing.
void serve(Server& s, Pending& p, std::string& out_buffer) {
    s.ConnectionSocket = p.socket.get();
    {
        GatheredSend out(p.socket.get(), s.send_timeout_ms, out_buffer);
        Reply reply([&](const char* data, size_t n) { out.add(data, n); });
        s.handler.respond(parse_request(p.data, std::move(p.peer)), reply);
        out.flush();
    }
    s.ConnectionSocket = net::kInvalidSocket;
    // Bytes of the request still unread (a request longer than the buffer)
    // would make the close reset the connection, and the reset can destroy
    // the reply before the client has read it.
    net::discard_pending_input(p.socket.get());
}

// Reads what has arrived; true when the request is ready to be served
// (whole, or cut short by the peer), false to keep waiting. Sets gone when
// the connection is to be dropped without a reply.
bool read_more(Pending& p, bool& gone) {
    char buf[4096];
    for (;;) {
        size_t room = kRequestBufferSize - p.data.size();
        size_t got = 0;
        net::IoResult r = net::receive_some(p.socket.get(), buf, room < sizeof buf ? room : sizeof buf, got);
        if (r == net::IoResult::Data) {
            p.data.append(buf, got);
            if (request_complete(p.data)) return true;
            continue;
        }
        if (r == net::IoResult::WouldBlock) return false;
        // The peer closed its side (or the connection failed): serve what came.
        gone = p.data.empty() || r == net::IoResult::Failed;
        return !gone;
    }
}

void accept_loop(Server& s, net::SocketHandle listener) {
    std::vector<Pending> pending;
    std::vector<net::PollEntry> entries;
    std::string out_buffer;
    while (!s.stopping.load()) {
        entries.clear();
        bool listening = pending.size() < s.max_pending;
        if (listening) entries.push_back({listener.get(), false});
        for (const Pending& p : pending) entries.push_back({p.socket.get(), false});
        int wait = kPollSliceMs;
        auto now = SteadyClock::now();
        for (const Pending& p : pending) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(p.deadline - now).count();
            if (left < wait) wait = left < 0 ? 0 : static_cast<int>(left);
        }
        net::poll_readable(entries, wait);
        if (s.stopping.load()) break;

        std::vector<Pending> ready;
        size_t first = listening ? 1 : 0;
        now = SteadyClock::now();
        std::vector<Pending> still;
        for (size_t i = 0; i < pending.size(); ++i) {
            Pending& p = pending[i];
            bool gone = false;
            bool done = entries[first + i].readable && read_more(p, gone);
            if (gone) continue;
            if (done || now >= p.deadline) {
                // Out of time: serve what arrived, drop a connection that sent nothing.
                if (!p.data.empty()) ready.push_back(std::move(p));
            } else {
                still.push_back(std::move(p));
            }
        }
        pending.swap(still);

        // One connection a wake, as the next poll sees any others at once:
        // accepting until the queue is empty costs a failed call every time
        // one client is served after another.
        if (listening && entries[0].readable && pending.size() + ready.size() < s.max_pending) {
            Pending p;
            p.socket = net::SocketHandle(net::accept_connection(listener.get(), p.peer));
            if (p.socket) {
                p.deadline = SteadyClock::now() + std::chrono::milliseconds(s.request_timeout_ms);
                bool gone = false;
                if (read_more(p, gone))
                    ready.push_back(std::move(p));
                else if (!gone)
                    pending.push_back(std::move(p));
            }
        }

        for (Pending& p : ready)
            if (!s.stopping.load()) serve(s, p, out_buffer);
    }
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
    if (s.handler.before_start && !s.handler.before_start()) return StartResult::NotReady;
    if (!net::startup()) return StartResult::NotReady;
    look_up_address(s);
    net::Socket listening = net::kInvalidSocket;
    net::ListenResult listened =
        s.LocalAddress ? net::listen_on(*s.LocalAddress, s.ListenPort, listening) : net::ListenResult::BindFailed;
    net::SocketHandle listener(listening);
    if (listened != net::ListenResult::Ok) {
        net::cleanup();
        if (listened == net::ListenResult::SocketFailed) return StartResult::NoSocket;
        return listened == net::ListenResult::BindFailed ? StartResult::BindFailed : StartResult::ListenFailed;
    }
    s.bound_port = net::local_port(listener.get());
    s.stopping = false;
    s.ServerState = RunState::Running;
    try {
        s.accept_thread = std::thread(accept_loop, std::ref(s), std::move(listener));
    } catch (const std::system_error&) {
        s.ServerState = RunState::Stopped;
        net::cleanup();
        return StartResult::NoSocket;
    }
    return StartResult::Started;
}

void stop(Server& s) {
    if (s.ServerState != RunState::Running) return;
    s.ServerState = RunState::Stopped;
    s.stopping = true;
    net::Socket serving = s.ConnectionSocket.load();
    if (serving != net::kInvalidSocket) net::shutdown_both(serving);
    if (s.accept_thread.joinable()) s.accept_thread.join();
    net::cleanup();
}

bool set_port(Server& s, std::uint16_t port) {
    if (!net::startup()) return false;
    look_up_address(s);
    net::cleanup();
    s.ListenPort = port;
    return true;
}

}  // namespace server
