// The registry of networks: the address rule, join results, the type and main channel of each kind
// of address, multicast membership and leaving, on real sockets. (Channels with peers are made
// through the terminal's peer list and by direct texts.)
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <tuple>

#include "engine_fixture.hpp"

using namespace jxtest;

namespace {

using Registry = EngineFixture;

TEST_F(Registry, JoinResultsAndTheTypeAndMainChannelOfEachKindOfAddress)
{
    JXChannel* ch = nullptr;
    for (const char* bad : {"10.0.0", "10..0.1", "10.0.0.1.", "256.1.1.1", " 10.0.0.1", "01.0.0.1",
                            "10.00.0.1", "a.b.c.d", "", "1000.0.0.1", "10.0.0.-1"})
        EXPECT_EQ(jx_join_network(bad, 0, &ch), JX_JOIN_BAD_ADDR) << bad;
    EXPECT_EQ(jx_join_network("127.0.0.1", 0, &ch), JX_NET_ADD_LOOPBACK);
    EXPECT_EQ(jx_join_network("0.0.0.0", 0, &ch), JX_NET_ADD_LOOPBACK);
    // Socket option failures (here: no socket) leave nothing behind.
    const int real = comm.rcv_sock;
    comm.rcv_sock = -1;
    EXPECT_EQ(jx_join_network("224.1.1.1", 0, &ch), JX_NET_ADD_MCAST_FAILED);
    EXPECT_EQ(jx_join_network("255.255.255.255", 0, &ch), JX_NET_ADD_BCAST_FAILED);
    comm.rcv_sock = real;
    EXPECT_TRUE(log_line("Setsockopt add multicast membership failed - 9"));
    EXPECT_TRUE(log_line("Setsockopt broadcast permission failed - 9"));
    EXPECT_EQ(std::make_tuple(ch, comm.networks.size, events()), std::make_tuple(nullptr, 0, Strs{}));

    const std::tuple<const char*, uint8_t, int, int, int> cases[] = {
        {"224.1.2.3", 0, NET_MULTICAST, NET_OFFLINE, CH_MAIN},
        {"255.255.255.255", 0, NET_BROADCAST, NET_OFFLINE, CH_MAIN},
        {"192.168.1.255", 0, NET_UNSPEC, NET_OFFLINE, CH_UNSPEC},
        {"127.0.0.3", NET_DIRECT_IP_INCOMING, NET_DIRECT_IP_INCOMING, NET_ONLINE, CH_DM},
        {"127.0.0.4", NET_DIRECT_IP_OUTGOING, NET_DIRECT_IP_OUTGOING, NET_ONLINE, CH_DM}};
    for (const auto& [a, requested, type, status, ch_type] : cases) {
        ASSERT_EQ(jx_join_network(a, requested, &ch), JX_JOIN_OK) << a;
        const JXNetwork* n = jx_network_by_addr(ip(a));
        EXPECT_EQ(std::make_tuple(int{n->type}, int{n->status}, int{ch->type}),
                  std::make_tuple(type, status, ch_type));
        EXPECT_EQ(events(), Strs{"ch_added " + std::string(a) + " 0.0.0.0"});
    }
    // Joined, not online: the existing main channel; online: refused, with it too.
    JXChannel* main_ch = jx_channel_by_addr(ip("224.1.2.3"), 0);
    EXPECT_EQ(jx_join_network("224.1.2.3", 0, &ch), JX_JOIN_ALREADY);
    EXPECT_EQ(ch, main_ch);
    jx_set_network_status(jx_network_by_addr(ip("224.1.2.3")), NET_ONLINE);
    ch = nullptr;
    EXPECT_EQ(jx_join_network("224.1.2.3", 0, &ch), JX_JOIN_ONLINE);
    EXPECT_EQ(std::make_tuple(ch, comm.networks.size, events()), std::make_tuple(main_ch, 5, Strs{}));
    // A second record for the same address is refused before any socket option.
    JXNetwork* dup = nullptr;
    EXPECT_EQ(jx_add_network(ip("224.1.2.3"), 0, &dup), JX_NET_ADD_EXISTS);
    EXPECT_EQ(dup, nullptr);
    EXPECT_EQ(jx_mcast_join(ip("224.1.2.3")), EADDRINUSE) << "our membership is still in place";
}

TEST_F(Registry, MulticastMembershipHoldsWhileJoinedAndLeavingSaysSo)
{
    Probe sender("127.0.0.1");
    // Send to the group out of lo so the probe's datagram reaches comm.rcv_sock.
    const in_addr lo{ip("127.0.0.1")};
    ASSERT_EQ(setsockopt(sender.fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof(lo)), 0);
    const auto d = make_dgram(PKT_QUERY, ip("224.7.7.7"), 3, "x");
    std::vector<size_t> heard;
    for (int step = 0; step < 3; step++) {
        if (step == 1)
            join("224.7.7.7");
        if (step == 2) {
            settle();
            EXPECT_EQ(jx_leave_network(jx_network_by_addr(ip("224.7.7.7"))), 0);
            // Our own leave came back through multicast loop-back, from port 8855.
            auto r = sent_to_8855();
            ASSERT_EQ(r.size(), 1u);
            EXPECT_EQ(r[0].brief(), "4 7.7.7.224 8855>224.7.7.7 30");
        }
        sender.send_to(d, "224.7.7.7", 8855);
        heard.push_back(sent_to_8855().size());
    }
    EXPECT_EQ(heard, (std::vector<size_t>{0, 1, 0})) << "a membership only while joined";
    EXPECT_EQ(jx_network_by_addr(ip("224.7.7.7")), nullptr);
    EXPECT_TRUE(log_line("Left network 224.7.7.7"));
}

}  // namespace
