#pragma once
// The router's port while the owner asked for it (upnp=1, --upnp, the
// console's upnp command, the window's menu): a thread of its own maps the
// server's port on the home router, renews the lease before it ends and
// removes the mapping when the server stops, its port changes, or the
// program ends. The server never waits for it: it serves the local network
// the same whatever the router answers.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/port_mapping.h"

namespace window {

inline constexpr const char* kRouterDescription = "komorebi";
inline constexpr int kRouterLeaseSeconds = 3600;
// Renewed this long before the lease ends.
inline constexpr int kRouterRenewBeforeSeconds = 600;
// The search for the router waits this long for its answer.
inline constexpr int kRouterSearchMs = 2000;

// What the board serves and the router should forward to.
struct RouterTarget {
    std::uint16_t port = 0;
    std::string local_address;  // empty: the address the router is reached from
    bool operator==(const RouterTarget& o) const { return port == o.port && local_address == o.local_address; }
    bool operator!=(const RouterTarget& o) const { return !(*this == o); }
};

// The status line of an answer (Shift_JIS): the outside URL, or why the
// board cannot be reached from outside, pointing to the guide.
std::string router_status_line(const platform::RouterAnswer& answer);
inline constexpr const char* kRouterSearchingLine = "ルーターにポートの開放を依頼しています。";

class RouterKeeper {
public:
    // changed is called on the keeper's thread after each new status line.
    explicit RouterKeeper(std::function<void()> changed);
    RouterKeeper(const RouterKeeper&) = delete;
    RouterKeeper& operator=(const RouterKeeper&) = delete;
    // Removes the mapping and ends the thread (may wait for the router a few seconds).
    ~RouterKeeper();

    // The mapping wanted from now on; nothing: none (the one held is removed).
    void follow(std::optional<RouterTarget> target);
    // The status line; empty while nothing is wanted.
    std::string status_line();

private:
    void run();

    std::function<void()> changed_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::optional<RouterTarget> wanted_;
    bool quit_ = false;
    std::string line_;
    std::thread thread_;  // last: starts once the members above exist
};

}  // namespace window
