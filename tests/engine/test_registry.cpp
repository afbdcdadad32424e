// The registry of networks, channels and peers: join results, types, lookups, channels, multicast
// membership and leaving, on real sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "engine/events.hpp"
#include "engine/texts.hpp"
#include "engine_fixture.hpp"

using namespace jxtest;

namespace {

using Registry = EngineFixture;

TEST(Registry_Addresses, DottedQuadRuleAndAddressClasses)
{
    for (const char* ok : {"10.0.0.1", "0.0.0.0", "255.255.255.255", "224.0.0.1", "1.20.100.0"})
        EXPECT_EQ(ipv4_check(ok), 0) << ok;
    for (const char* bad :
         {"10.0.0", "10..0.1", "10.0.0.1.", ".10.0.0.1", "256.1.1.1", " 10.0.0.1", "10.0.0.1 ", "01.0.0.1",
          "10.00.0.1", "1.2.3.4.5", "a.b.c.d", "", "1000.0.0.1", "10.0.0.-1"})
        EXPECT_EQ(ipv4_check(bad), 1) << bad;
    EXPECT_EQ(ipv4_check(nullptr), 1);

    EXPECT_TRUE(is_mcast_addr(ip("224.0.0.0")));
    EXPECT_TRUE(is_mcast_addr(ip("239.255.255.255")));
    EXPECT_FALSE(is_mcast_addr(ip("240.0.0.0")));
    EXPECT_FALSE(is_mcast_addr(ip("223.255.255.255")));
    EXPECT_TRUE(is_bcast_addr(ip("255.255.255.255")));
    EXPECT_FALSE(is_bcast_addr(ip("192.168.1.255")));
    EXPECT_STREQ(jx_ip_str(ip("192.168.1.255")).s, "192.168.1.255");

    EXPECT_STREQ(jx_network_type_str(NET_DIRECT_IP_OUTGOING), "DirectIP");
    EXPECT_STREQ(jx_network_type_str(9), "");
    EXPECT_STREQ(jx_channel_type_str(CH_NET_DM), "Net DM");
    EXPECT_STREQ(jx_channel_type_str(4), "");
}

TEST_F(Registry, JoiningGivesTheRightTypeAndMainChannelForEachKindOfAddress)
{
    struct Case {
        const char* addr;
        uint8_t requested, net_type, status, ch_type;
    } cases[] = {
        {"224.1.2.3", 0, NET_MULTICAST, NET_OFFLINE, CH_MAIN},
        {"255.255.255.255", 0, NET_BROADCAST, NET_OFFLINE, CH_MAIN},
        {"192.168.1.255", 0, NET_UNSPEC, NET_OFFLINE, CH_UNSPEC},
        {"10.0.0.7", 0, NET_UNSPEC, NET_OFFLINE, CH_UNSPEC},
        {"127.0.0.3", NET_DIRECT_IP_INCOMING, NET_DIRECT_IP_INCOMING, NET_ONLINE, CH_DM},
        {"127.0.0.4", NET_DIRECT_IP_OUTGOING, NET_DIRECT_IP_OUTGOING, NET_ONLINE, CH_DM},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.addr);
        JXChannel* ch = nullptr;
        ASSERT_EQ(jx_join_network(c.addr, c.requested, &ch), JX_JOIN_OK);
        JXNetwork* n = jx_network_by_addr(ip(c.addr));
        ASSERT_NE(n, nullptr);
        EXPECT_EQ(n->type, c.net_type);
        EXPECT_EQ(n->status, c.status);
        EXPECT_EQ(n->online_since, c.status == NET_ONLINE ? kFrozenNow : 0);
        ASSERT_NE(ch, nullptr);
        EXPECT_EQ(ch->type, c.ch_type);
        EXPECT_TRUE(log_line(std::string("JXNetwork added: ") + c.addr));
        EXPECT_TRUE(log_line(std::string("JXChannel added: ") + c.addr));
        auto evs = take_events();
        ASSERT_EQ(kinds(evs), std::vector<uint8_t>{EV_CHANNEL_ADDED});
        EXPECT_EQ(evs[0].as<ch_ev>()->net_addr, ip(c.addr));
        EXPECT_EQ(evs[0].as<ch_ev>()->peer_addr, 0u);
    }
    // Networks are kept in order of joining; the broadcast one gave the socket its permission.
    EXPECT_EQ(static_cast<JXNetwork*>(jx_list_data(jx_list_head(&comm.networks)))->addr, ip("224.1.2.3"));
    int bcast = 0;
    socklen_t len = sizeof(bcast);
    getsockopt(comm.rcv_sock, SOL_SOCKET, SO_BROADCAST, &bcast, &len);
    EXPECT_EQ(bcast, 1);
}

TEST_F(Registry, JoinRefusalsAndRepeatedJoins)
{
    JXChannel* ch = nullptr;
    EXPECT_EQ(jx_join_network("1.2.3", 0, &ch), 1);
    EXPECT_EQ(jx_join_network(nullptr, 0, &ch), 1);
    EXPECT_EQ(jx_join_network("127.0.0.1", 0, &ch), 7);
    EXPECT_EQ(jx_join_network("0.0.0.0", 0, &ch), 7);
    // Socket option failures (here: no socket) leave nothing behind.
    const int real = comm.rcv_sock;
    comm.rcv_sock = -1;
    EXPECT_EQ(jx_join_network("224.1.1.1", 0, &ch), 3);
    EXPECT_EQ(jx_join_network("255.255.255.255", 0, &ch), 2);
    comm.rcv_sock = real;
    EXPECT_TRUE(log_line("Setsockopt add multicast membership failed - 9"));
    EXPECT_TRUE(log_line("Setsockopt broadcast permission failed - 9"));
    EXPECT_EQ(ch, nullptr);
    EXPECT_EQ(comm.networks.size, 0);
    EXPECT_TRUE(take_events().empty());

    JXChannel* first = nullptr;
    ASSERT_EQ(jx_join_network("224.1.2.3", 0, &first), 0);
    take_events();
    // Joined, not online: the existing main channel, no second network, no event.
    EXPECT_EQ(jx_join_network("224.1.2.3", 0, &ch), 2);
    EXPECT_EQ(ch, first);
    jx_set_network_status(jx_network_by_addr(ip("224.1.2.3")), NET_ONLINE);
    ch = nullptr;
    EXPECT_EQ(jx_join_network("224.1.2.3", 0, &ch), 4);
    EXPECT_EQ(ch, first);
    EXPECT_EQ(comm.networks.size, 1);
    EXPECT_TRUE(take_events().empty());

    // A second network record for the same address is refused before any socket option.
    JXNetwork* dup = nullptr;
    EXPECT_EQ(jx_add_network(ip("224.1.2.3"), 0, &dup), 5);
    EXPECT_EQ(dup, nullptr);
    EXPECT_TRUE(log_line("JXNetwork 224.1.2.3 already in jx_list"));
    EXPECT_EQ(jx_mcast_join(ip("224.1.2.3")), EADDRINUSE);  // our membership is still in place
}

TEST_F(Registry, ChannelsAreAddedOncePerPeerWithTheirResultCodes)
{
    JXChannel* ch = nullptr;
    EXPECT_EQ(jx_add_channel(ip("224.5.5.5"), 0, &ch), JX_CH_ADD_NO_NET);
    JXNetwork* m = join("224.5.5.5");
    JXNetwork* d = join("127.0.0.7", NET_DIRECT_IP_INCOMING);
    JXNetwork* u = join("10.0.0.9");
    take_events();

    EXPECT_EQ(jx_add_channel(m->addr, ip("10.0.0.2"), &ch), JX_CH_ADD_NO_PEER);
    EXPECT_TRUE(log_line("JXPeer not found"));
    EXPECT_EQ(jx_add_channel(d->addr, ip("10.0.0.2"), &ch), JX_CH_ADD_DIRECT_PEER);
    EXPECT_TRUE(log_line("Can't create directip ch from net addr and no peer addr"));
    EXPECT_EQ(jx_add_channel(u->addr, ip("10.0.0.2"), &ch), JX_CH_ADD_NO_PEER);
    EXPECT_EQ(ch, nullptr);
    EXPECT_TRUE(take_events().empty());

    add_old_peer(m->addr, "10.0.0.2", "peer", 'p');
    take_events();
    ASSERT_EQ(jx_add_channel(m->addr, ip("10.0.0.2"), &ch), JX_CH_ADD_OK);
    ASSERT_NE(ch, nullptr);
    EXPECT_EQ(ch->type, CH_NET_DM);
    auto evs = take_events();
    ASSERT_EQ(kinds(evs), std::vector<uint8_t>{EV_CHANNEL_ADDED});
    EXPECT_EQ(evs[0].as<ch_ev>()->net_addr, m->addr);
    EXPECT_EQ(evs[0].as<ch_ev>()->peer_addr, ip("10.0.0.2"));

    JXChannel* again = nullptr;
    EXPECT_EQ(jx_add_channel(m->addr, ip("10.0.0.2"), &again), JX_CH_ADD_OK);
    EXPECT_EQ(again, ch);
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(jx_channel_by_addr(m->addr, ip("10.0.0.2")), ch);
}

TEST_F(Registry, MulticastMembershipHoldsWhileJoinedAndLeavingSaysSo)
{
    Probe sender("127.0.0.1");
    // Send to the group out of lo so the probe's datagram reaches comm.rcv_sock.
    in_addr lo{};
    lo.s_addr = ip("127.0.0.1");
    ASSERT_EQ(setsockopt(sender.fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof(lo)), 0);
    const auto d = make_dgram(PKT_QUERY, ip("224.7.7.7"), 3, "x");
    ASSERT_TRUE(sender.send_to(d, "224.7.7.7", 8855));
    EXPECT_TRUE(sent_to_8855().empty());

    JXNetwork* n = join("224.7.7.7");
    add_old_peer(n->addr, "10.0.0.2", "a", 'a');
    JXChannel* dm = nullptr;
    ASSERT_EQ(jx_add_channel(n->addr, ip("10.0.0.2"), &dm), 0);
    take_events();
    ASSERT_TRUE(sender.send_to(d, "224.7.7.7", 8855));
    auto r = sent_to_8855();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].bytes, d);

    EXPECT_EQ(jx_leave_network(n), 0);
    EXPECT_EQ(jx_network_by_addr(ip("224.7.7.7")), nullptr);
    EXPECT_TRUE(log_line("Left network 224.7.7.7"));
    EXPECT_TRUE(take_events().empty());
    // Our own leave came back through multicast loop-back, from port 8855.
    r = sent_to_8855();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].bytes.size(), 30u);
    EXPECT_EQ(r[0].type(), PKT_LEAVE);
    EXPECT_EQ(r[0].net_id(), (std::vector<uint8_t>{7, 7, 7, 224}));
    EXPECT_EQ(r[0].from_port, 8855);
    // The membership is gone with the network.
    ASSERT_TRUE(sender.send_to(d, "224.7.7.7", 8855));
    EXPECT_TRUE(sent_to_8855().empty());
    EXPECT_EQ(jx_leave_network(nullptr), 1);
}

TEST_F(Registry, LeavingAPrivateNetworkTellsThePeerAndDiscardsSentTexts)
{
    Probe remote("127.0.0.10");
    JXNetwork* n = queried_by("127.0.0.10", remote.port);
    // A text still waiting for its acknowledgement.
    ASSERT_EQ(jx_snd_txt(jx_ch_from_network(n, 0), "wait"), JX_TXT_OK);
    ASSERT_EQ(jx_list_size(&jx_ch_from_network(n, 0)->sent_txts), 1);
    ASSERT_EQ(remote.recv().size(), 1u);
    take_events();  // close drops queued events without their payloads

    jx_comm_close();  // leaves every network
    started = false;
    auto r = remote.recv();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].bytes.size(), 30u);
    EXPECT_EQ(r[0].type(), PKT_LEAVE);
    EXPECT_EQ(r[0].net_id(), (std::vector<uint8_t>{0, 0, 0, 0}));  // private traffic carries id 0
    EXPECT_EQ(r[0].from_port, 8855);  // incoming private networks answer from 8855
    EXPECT_TRUE(log_line("Left network 127.0.0.10"));
    // The sanitizer's leak check covers the discarded text and its addressee set.
}

}  // namespace
