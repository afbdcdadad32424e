#include <arpa/inet.h>

#include <gtest/gtest.h>

#include "foundation/ipv4.hpp"

TEST(Ipv4, StrictDottedQuadsAndAddressClasses)
{
    for (const char* ok : {"10.0.0.1", "0.0.0.0", "255.255.255.255", "1.20.100.0"})
        EXPECT_EQ(ipv4_check(ok), 0) << ok;
    for (const char* bad :
         {"10.0.0", "10..0.1", "10.0.0.1.", "1.2.3.", ".10.0.0.1", "256.1.1.1", "1000.0.0.1", " 10.0.0.1",
          "10.0.0.1 ", "01.2.3.4", "10.00.0.1", "1.2.3.4.5", "a.b.c.d", ""})
        EXPECT_EQ(ipv4_check(bad), 1) << bad;
    EXPECT_EQ(ipv4_check(nullptr), 1);

    const struct {
        const char* addr;
        bool mcast, bcast;
    } rows[] = {
        {"224.0.0.0", true, false},        {"239.255.255.255", true, false}, {"240.0.0.0", false, false},
        {"223.255.255.255", false, false}, {"255.255.255.255", false, true}, {"192.168.1.255", false, false},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(is_mcast_addr(inet_addr(r.addr)), r.mcast) << r.addr;
        EXPECT_EQ(is_bcast_addr(inet_addr(r.addr)), r.bcast) << r.addr;
        EXPECT_STREQ(jx_ip_str(inet_addr(r.addr)).s, r.addr);
    }
}
