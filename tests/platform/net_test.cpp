#include <gtest/gtest.h>

#include "platform/net.h"
#include "platform/port_mapping.h"

using platform::net::choose_host_address;
using platform::net::address_text;
using platform::net::choose_global_ipv6;

TEST(AddressText, IsTheCompressedFormWithAMappedAddressAsItsIpv4Text) {
    const std::pair<const char*, const char*> stored[] = {
        {"192.0.2.1", "192.0.2.1"}, {"::1", "::1"}, {"0:0:0:0:0:0:0:0", "::"}, {"2001:0DB8::0:1", "2001:db8::1"},
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},  // a single zero group is not shortened
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},    // the first of two equal runs
        {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},                // the longest run
        {"::ffff:192.0.2.1", "192.0.2.1"}, {"::FFFF:c000:201", "192.0.2.1"}, {"64:ff9b::192.0.2.1", "64:ff9b::c000:201"}};
    for (auto [text, form] : stored) EXPECT_EQ(address_text(text).value_or("none"), form) << text;
    for (const char* bad : {"", "1::2::3", ":1::", "1::2:", "1:2:3:4:5:6:7", "1:2:3:4:5:6:7:8:9", "12345::", "::1%lo",
                            "[::1]", "::1.2.3", "::1.2.3.04", "1.2.3.4.5", "g::1"})
        EXPECT_FALSE(address_text(bad)) << bad;
}

TEST(HostAddress, TheGlobalIpv6AddressIsIn2000Slash3AndNotATemporaryOneWhenThereIsAChoice) {
    EXPECT_EQ(choose_global_ipv6({{"::1"}, {"fe80::1"}, {"fd00::1"}, {"2001:db8::9", true}, {"2400:4050::5"}}), "2400:4050::5");
    EXPECT_EQ(choose_global_ipv6({{"fe80::1"}, {"2001:db8::9", true}}), "2001:db8::9") << "temporary, being the only one";
    EXPECT_EQ(choose_global_ipv6({{"fc00::1"}, {"fe80::2"}, {"1fff::1"}, {"4000::1"}, {"::ffff:8.8.8.8"}}), std::nullopt);
}

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
