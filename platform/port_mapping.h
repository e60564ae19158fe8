#pragma once
// The home router's port: one TCP port mapped on the router of the local
// network (UPnP Internet Gateway Device), so that visitors from the internet
// reach the board through the router's outside address. Every call talks to
// the network and may take seconds (the search for the router is bounded by
// the caller, each request to the router by the client library's own
// timeout of a few seconds): call it from a thread that may wait.
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

enum class RouterOutcome {
    Mapped,            // the router forwards outside_port to the board
    NoRouter,          // no router answered the search
    Refused,           // the router answered and refused the mapping
    NoOutsideAddress,  // the router's outside address is none, or a private or shared one
};

struct RouterAnswer {
    RouterOutcome outcome = RouterOutcome::NoRouter;
    std::string outside_address;     // as the router told it; may be empty
    std::uint16_t outside_port = 0;  // Mapped: the router's port that reaches the board
    std::string reason;              // Refused: the router's words
};

// True for an IPv4 address visitors from the internet can reach: not one of
// the private (10/8, 172.16/12, 192.168/16) or shared (100.64/10) ranges,
// nor 0/8, loopback, link-local, multicast or reserved.
bool is_public_ipv4(const std::string& text);

class RouterPort {
public:
    RouterPort();
    RouterPort(const RouterPort&) = delete;
    RouterPort& operator=(const RouterPort&) = delete;
    // Removes the mapping it holds.
    ~RouterPort();

    // Finds the router, waiting at most search_ms for its answer (once; the
    // router found is kept), asks its outside address and maps its port of
    // the same number as port (another near it when taken) to port at
    // local_address (empty: the address this machine reaches the router
    // from), described as description, for lease_seconds. A mapping held
    // before is removed first.
    RouterAnswer open(std::uint16_t port, const std::string& local_address, const std::string& description,
                      int lease_seconds, int search_ms);
    // Asks again for the mapping held, for lease_seconds more; the answer
    // says what the router said (a router gone is searched for again).
    RouterAnswer renew(int lease_seconds, int search_ms);
    // Removes the mapping held, if any.
    void close();

private:
    struct Router;
    std::unique_ptr<Router> router_;
};

}  // namespace platform
