// The router's port through miniupnpc, the same code on Linux and Windows
// (Debian's library on Linux; on Windows built from the same source).
#include "platform/port_mapping.h"

#include <miniupnpc.h>
#include <upnpcommands.h>
#include <upnperrors.h>

#include <cstdio>

#include "platform/net.h"

namespace platform {
namespace {

constexpr int kConflictInMappingEntry = 718;
constexpr int kOnlyPermanentLeasesSupported = 725;
// Ports tried after the board's own when another machine holds it.
constexpr int kOtherPortsTried = 8;

bool parse_ipv4(const std::string& text, unsigned (&part)[4]) {
    char tail = 0;
    if (std::sscanf(text.c_str(), "%3u.%3u.%3u.%3u%c", &part[0], &part[1], &part[2], &part[3], &tail) != 4)
        return false;
    for (unsigned p : part)
        if (p > 255) return false;
    return true;
}

}  // namespace

bool is_public_ipv4(const std::string& text) {
    unsigned a[4];
    if (!parse_ipv4(text, a)) return false;
    if (a[0] == 0 || a[0] == 10 || a[0] == 127 || a[0] >= 224) return false;  // this network, private, loopback, multicast and reserved
    if (a[0] == 100 && (a[1] & 0xC0) == 64) return false;                    // shared (the provider's translation)
    if (a[0] == 169 && a[1] == 254) return false;                            // link-local
    if (a[0] == 172 && (a[1] & 0xF0) == 16) return false;                    // private
    if (a[0] == 192 && a[1] == 168) return false;                            // private
    return true;
}

struct RouterPort::Router {
    // The router client's own use of the sockets library: the server's
    // stop releases the server's, and the mapping is removed after it.
    bool sockets = net::startup();
    bool found = false;
    UPNPUrls urls{};
    IGDdatas data{};
    char lan_address[64] = {};
    // The mapping held: its outside port (0: none) and what it asked for.
    std::uint16_t mapped_port = 0;
    std::uint16_t inside_port = 0;
    std::string client;
    std::string description;

    ~Router() {
        forget();
        if (sockets) net::cleanup();
    }

    void forget() {
        if (found) FreeUPNPUrls(&urls);
        found = false;
    }

    bool search(int search_ms) {
        if (found) return true;
        int error = 0;
        UPNPDev* devices = upnpDiscover(search_ms, nullptr, nullptr, 0, 0, 2, &error);
        if (!devices) return false;
        // 1: a router connected outside, 2: one that says it is not (it may
        // still tell its outside address); 3: a device that is no router.
        int kind = UPNP_GetValidIGD(devices, &urls, &data, lan_address, sizeof lan_address);
        freeUPNPDevlist(devices);
        if (kind == 1 || kind == 2) return found = true;
        if (kind != 0) FreeUPNPUrls(&urls);
        return false;
    }

    int add(std::uint16_t outside, int lease_seconds) {
        std::string outside_text = std::to_string(outside), inside_text = std::to_string(inside_port);
        std::string lease = std::to_string(lease_seconds);
        int r = UPNP_AddPortMapping(urls.controlURL, data.first.servicetype, outside_text.c_str(), inside_text.c_str(),
                                    client.c_str(), description.c_str(), "TCP", nullptr, lease.c_str());
        if (r == kOnlyPermanentLeasesSupported)  // removed at stop and exit all the same
            r = UPNP_AddPortMapping(urls.controlURL, data.first.servicetype, outside_text.c_str(), inside_text.c_str(),
                                    client.c_str(), description.c_str(), "TCP", nullptr, "0");
        return r;
    }

    void remove() {
        if (!found || mapped_port == 0) return;
        std::string outside_text = std::to_string(mapped_port);
        UPNP_DeletePortMapping(urls.controlURL, data.first.servicetype, outside_text.c_str(), "TCP", nullptr);
        mapped_port = 0;
    }

    std::string outside_address() {
        char address[40] = {};
        if (UPNP_GetExternalIPAddress(urls.controlURL, data.first.servicetype, address) != UPNPCOMMAND_SUCCESS)
            return {};
        return address;
    }
};

RouterPort::RouterPort() : router_(new Router) {}

RouterPort::~RouterPort() { close(); }

void RouterPort::close() { router_->remove(); }

RouterAnswer RouterPort::open(std::uint16_t port, const std::string& local_address, const std::string& description,
                              int lease_seconds, int search_ms) {
    Router& r = *router_;
    r.remove();
    RouterAnswer answer;
    if (!r.search(search_ms)) return answer;
    r.inside_port = port;
    r.client = local_address.empty() || local_address == "0.0.0.0" ? r.lan_address : local_address;
    r.description = description;
    answer.outside_address = r.outside_address();
    // Behind another router or the provider's translation, a mapping here
    // would reach nobody from outside.
    if (!is_public_ipv4(answer.outside_address)) {
        answer.outcome = RouterOutcome::NoOutsideAddress;
        return answer;
    }
    int result = UPNPCOMMAND_UNKNOWN_ERROR;
    for (int tried = 0; tried <= kOtherPortsTried; ++tried) {
        long outside = static_cast<long>(port) + tried;
        if (outside > 65535) outside -= 65535 - 1023;  // wraps into 1024 and above
        result = r.add(static_cast<std::uint16_t>(outside), lease_seconds);
        if (result == UPNPCOMMAND_SUCCESS) {
            r.mapped_port = static_cast<std::uint16_t>(outside);
            answer.outcome = RouterOutcome::Mapped;
            answer.outside_port = r.mapped_port;
            return answer;
        }
        if (result != kConflictInMappingEntry) break;
    }
    answer.outcome = RouterOutcome::Refused;
    const char* words = strupnperror(result);
    answer.reason = words ? words : "error " + std::to_string(result);
    return answer;
}

RouterAnswer RouterPort::renew(int lease_seconds, int search_ms) {
    Router& r = *router_;
    if (r.found && r.mapped_port != 0 && r.add(r.mapped_port, lease_seconds) == UPNPCOMMAND_SUCCESS) {
        RouterAnswer answer;
        answer.outcome = RouterOutcome::Mapped;
        answer.outside_port = r.mapped_port;
        answer.outside_address = r.outside_address();
        if (is_public_ipv4(answer.outside_address)) return answer;
    }
    // The router restarted, went or changed: searched for and asked anew.
    std::uint16_t port = r.inside_port;
    std::string client = r.client, description = r.description;
    r.mapped_port = 0;
    r.forget();
    return open(port, client, description, lease_seconds, search_ms);
}

}  // namespace platform
