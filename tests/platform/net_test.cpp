#include <gtest/gtest.h>

#include "platform/net.h"

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
