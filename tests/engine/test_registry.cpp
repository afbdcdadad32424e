// The engine context and its registry of networks: the sockets from start to a repeated close, why
// a start failed, join results, the type and main channel of each kind of address, multicast
// membership and leaving, on real sockets. (The address rule itself is the foundation's.)
#include <fcntl.h>

#include <cerrno>

#include "engine_fixture.hpp"

using namespace jxtest;

using Registry = EngineFixture;

TEST_F(Registry, SocketsCloseOnceAndAFailedStartSaysWhy)
{
    const int rcv = comm.rcv_sock;
    jx_comm_close();
    started = false;
    EXPECT_EQ(fcntl(rcv, F_GETFD), -1);
    // A second close must not touch descriptors that now belong to someone else.
    const int other = socket(AF_INET, SOCK_DGRAM, 0);
    jx_comm_close();
    EXPECT_NE(fcntl(other, F_GETFD), -1);
    close(other);
    // 8856 taken: start-up fails without a message; 8855 taken: the bind's errno (EADDRINUSE) is logged.
    for (const uint16_t port : {8856, 8855}) {
        Probe busy("0.0.0.0", port);
        EXPECT_EQ(jx_comm_init((root / "jexley").c_str()), 1);
        jx_comm_close();
        EXPECT_EQ(log_count("failed"), port == 8856 ? 0u : 1u) << log_text();
    }
    EXPECT_TRUE(log_line("Bind() failed - 98"));
}

TEST_F(Registry, JoinResultsAndTheTypeAndMainChannelOfEachKindOfAddress)
{
    JXChannel* ch = nullptr;
    for (const char* bad : {"10.0.0", "01.0.0.1", ""})
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
        EXPECT_EQ(events(), Strs{"channel_added " + std::string(a) + " 0.0.0.0"});
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
    Probe sender(kSelf);
    const in_addr lo{ip(kSelf)};  // out of lo, so that the group's datagrams reach comm.rcv_sock
    ASSERT_EQ(setsockopt(sender.fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof(lo)), 0);
    const auto heard = [&] {
        sender.send_to(make_dgram(PKT_QUERY, ip("224.7.7.7"), 3, "x"), "224.7.7.7", 8855);
        return sent().size();
    };
    EXPECT_EQ(heard(), 0u);
    JXNetwork* n = join("224.7.7.7");
    EXPECT_EQ(heard(), 1u);
    EXPECT_EQ(jx_leave_network(n), 0);
    // Our own leave comes back through multicast loop-back, from port 8855.
    EXPECT_EQ(briefs(sent()), Strs{"4 7.7.7.224 8855>224.7.7.7 30"});
    EXPECT_EQ(heard(), 0u);
    EXPECT_EQ(jx_network_by_addr(ip("224.7.7.7")), nullptr);
}
