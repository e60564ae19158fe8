#include <gtest/gtest.h>

#include "platform/net.h"
#include "platform/port_mapping.h"

using platform::net::choose_host_address;

TEST(HostAddress, LoopbackLookupsGiveWayToAnAddressOthersCanReach) {
    std::vector<std::string> up = {"127.0.0.1", "0.0.0.0", "10.1.2.3", "192.168.1.20"};
    EXPECT_EQ(choose_host_address("192.168.1.20", "10.1.2.3", up), "192.168.1.20") << "the looked-up address first";
    // Debian and Ubuntu map the host name to 127.0.1.1.
    EXPECT_EQ(choose_host_address("127.0.1.1", "10.1.2.3", up), "10.1.2.3") << "then the default route's";
    EXPECT_EQ(choose_host_address(std::nullopt, std::nullopt, up), "10.1.2.3") << "then an interface that is up";
    EXPECT_EQ(choose_host_address("127.0.1.1", "127.0.0.1", {"127.0.0.1"}), "127.0.1.1") << "only then loopback";
    EXPECT_EQ(choose_host_address(std::nullopt, std::nullopt, {}), "127.0.0.1");
}

TEST(RouterOutsideAddress, OnlyAddressesTheInternetReachesCount) {
    for (const char* reachable : {"81.4.2.1", "172.15.255.255", "172.32.0.1", "100.63.255.255", "100.128.0.1", "192.169.0.1"})
        EXPECT_TRUE(platform::is_public_ipv4(reachable)) << reachable;
    for (const char* not_reachable : {"10.1.2.3", "172.16.0.1", "172.31.255.255", "192.168.1.1", "100.64.0.1", "100.127.255.255",
                                      "127.0.0.1", "169.254.1.1", "0.0.0.0", "224.0.0.1", "", "81.4.2", "81.4.2.256", "81.4.2.1x"})
        EXPECT_FALSE(platform::is_public_ipv4(not_reachable)) << not_reachable;
}
