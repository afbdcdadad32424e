// The registry of networks, channels and peers: join results, types, lookups, status changes,
// peer bookkeeping with its events, multicast membership and leaving, on real sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "engine/comm.hpp"
#include "engine/events.hpp"
#include "engine/matchers.hpp"
#include "engine/senders.hpp"
#include "engine/utils.hpp"
#include "engine_fixture.hpp"

using namespace jxtest;

namespace {

using Registry = EngineFixture;

JXNetwork* join(const char* addr, uint8_t requested = 0)
{
    JXChannel* ch = nullptr;
    EXPECT_EQ(jx_join_network(addr, requested, &ch), JX_JOIN_OK) << addr;
    EXPECT_NE(ch, nullptr);
    return jx_network_by_addr(ip(addr));
}

// A beacon from a peer, decoded as the dispatcher would hand it over.
JXPacket beacon_from(const char* net, const char* from, uint16_t port, const char* name, uint32_t uptime,
                     uint32_t msg_id = 1)
{
    const auto pl = beacon_payload(uptime, "PEERINSTANCEPEERINSTANCEPEERINST");
    return decode(make_dgram(PKT_BEACON, net != nullptr ? ip(net) : 0, msg_id, name, pl.data(),
                             static_cast<uint16_t>(pl.size())),
                  ip(from), port);
}

int so_broadcast(int sock)
{
    int v = 0;
    socklen_t len = sizeof(v);
    getsockopt(sock, SOL_SOCKET, SO_BROADCAST, &v, &len);
    return v;
}

}  // namespace

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

    EXPECT_STREQ(jx_network_type_str(NET_MULTICAST), "Multicast");
    EXPECT_STREQ(jx_network_type_str(NET_DIRECT_IP_OUTGOING), "DirectIP");
    EXPECT_STREQ(jx_network_type_str(9), "");
    EXPECT_STREQ(jx_channel_type_str(CH_NET_DM), "Net DM");
    EXPECT_STREQ(jx_channel_type_str(CH_UNSPEC), "Unspec");
    EXPECT_STREQ(jx_channel_type_str(4), "");
}

TEST_F(Registry, JoiningGivesTheRightTypeAndMainChannelForEachKindOfAddress)
{
    struct Case {
        const char* addr;
        uint8_t requested;
        uint8_t net_type;
        uint8_t status;
        uint8_t ch_type;
    } cases[] = {
        {"224.1.2.3", 0, NET_MULTICAST, NET_OFFLINE, CH_MAIN},
        {"255.255.255.255", 0, NET_BROADCAST, NET_OFFLINE, CH_MAIN},
        {"192.168.1.255", 0, NET_UNSPEC, NET_OFFLINE, CH_UNSPEC},
        {"10.0.0.7", 0, NET_UNSPEC, NET_OFFLINE, CH_UNSPEC},
        {"127.0.0.3", NET_DIRECT_IP_INCOMING, NET_DIRECT_IP_INCOMING, NET_ONLINE, CH_DM},
        {"127.0.0.4", NET_DIRECT_IP_OUTGOING, NET_DIRECT_IP_OUTGOING, NET_ONLINE, CH_DM},
    };
    for (const Case& c : cases) {
        JXChannel* ch = nullptr;
        ASSERT_EQ(jx_join_network(c.addr, c.requested, &ch), JX_JOIN_OK) << c.addr;
        JXNetwork* n = jx_network_by_addr(ip(c.addr));
        ASSERT_NE(n, nullptr);
        EXPECT_EQ(n->type, c.net_type) << c.addr;
        EXPECT_EQ(n->status, c.status) << c.addr;
        EXPECT_EQ(n->online_since, c.status == NET_ONLINE ? kFrozenNow : 0) << c.addr;
        EXPECT_EQ(n->last_beacon, 0);
        EXPECT_EQ(n->last_heard, kFrozenNow);
        EXPECT_EQ(n->last_retry, kFrozenNow);
        EXPECT_EQ(n->own_addr, 0u);
        ASSERT_NE(ch, nullptr);
        EXPECT_EQ(ch->type, c.ch_type) << c.addr;
        EXPECT_EQ(ch->net_addr, ip(c.addr));
        EXPECT_EQ(ch->peer_addr, 0u);
        EXPECT_EQ(jx_channel_by_addr(ip(c.addr), 0), ch);
        EXPECT_EQ(n->downloads.size + n->uploads.size + n->fin_downloads.size + n->fin_uploads.size, 0);
        EXPECT_TRUE(log_has(std::string("\tJXNetwork added: ") + c.addr + "\r\n"));
        EXPECT_TRUE(log_has(std::string("\tJXChannel added: ") + c.addr + "\r\n"));
        auto evs = take_events();
        ASSERT_EQ(event_kinds(evs), std::vector<uint8_t>{EV_CHANNEL_ADDED}) << c.addr;
        EXPECT_EQ(evs[0].as<ch_ev>()->net_addr, ip(c.addr));
        EXPECT_EQ(evs[0].as<ch_ev>()->peer_addr, 0u);
    }
    // Networks are kept in order of joining.
    ASSERT_EQ(comm.networks.size, 6);
    EXPECT_EQ(static_cast<JXNetwork*>(jx_list_data(jx_list_head(&comm.networks)))->addr, ip("224.1.2.3"));
    EXPECT_EQ(so_broadcast(comm.rcv_sock), 1);
}

TEST_F(Registry, JoinRefusalsAndRepeatedJoins)
{
    JXChannel* ch = nullptr;
    EXPECT_EQ(jx_join_network("1.2.3", 0, &ch), 1);
    EXPECT_EQ(jx_join_network(nullptr, 0, &ch), 1);
    EXPECT_EQ(jx_join_network("127.0.0.1", 0, &ch), 7);
    EXPECT_EQ(jx_join_network("0.0.0.0", 0, &ch), 7);
    EXPECT_EQ(ch, nullptr);
    EXPECT_EQ(comm.networks.size, 0);

    JXChannel* first = nullptr;
    ASSERT_EQ(jx_join_network("224.1.2.3", 0, &first), 0);
    take_events();
    // Joined, not online: the existing main channel, no second network, no event.
    EXPECT_EQ(jx_join_network("224.1.2.3", 0, &ch), 2);
    EXPECT_EQ(ch, first);
    JXNetwork* n = jx_network_by_addr(ip("224.1.2.3"));
    jx_set_network_status(n, NET_ONLINE);
    ch = nullptr;
    EXPECT_EQ(jx_join_network("224.1.2.3", 0, &ch), 4);
    EXPECT_EQ(ch, first);
    EXPECT_EQ(comm.networks.size, 1);
    EXPECT_TRUE(take_events().empty());

    // A second network record for the same address is refused before any socket option.
    JXNetwork* dup = nullptr;
    EXPECT_EQ(jx_add_network(ip("224.1.2.3"), 0, &dup), 5);
    EXPECT_EQ(dup, nullptr);
    EXPECT_TRUE(log_has("\tJXNetwork 224.1.2.3 already in jx_list\r\n"));
    EXPECT_EQ(jx_mcast_join(ip("224.1.2.3")), EADDRINUSE);  // our membership is still in place
}

TEST_F(Registry, ClosedPrivateNetworkIsOpenedAgainByJoining)
{
    JXNetwork* n = join("127.0.0.5", NET_DIRECT_IP_INCOMING);
    jx_set_network_status(n, NET_CLOSED);
    EXPECT_EQ(n->type, NET_DIRECT_IP_INCOMING);  // only an outgoing one falls back to unspecified
    EXPECT_EQ(n->status, NET_CLOSED);
    JXChannel* ch = nullptr;
    EXPECT_EQ(jx_join_network("127.0.0.5", NET_DIRECT_IP_INCOMING, &ch), 2);
    EXPECT_EQ(n->status, NET_OFFLINE);
    EXPECT_EQ(n->type, NET_DIRECT_IP_INCOMING);

    JXNetwork* out = join("127.0.0.6", NET_DIRECT_IP_OUTGOING);
    jx_set_network_status(out, NET_CLOSED);
    EXPECT_EQ(out->type, NET_UNSPEC);
    EXPECT_EQ(out->online_since, 0);
    EXPECT_EQ(jx_join_network("127.0.0.6", 0, &ch), 2);
    EXPECT_EQ(out->type, NET_UNSPEC);
    EXPECT_EQ(out->status, NET_OFFLINE);

    // An offline multicast network is not touched by a re-join.
    JXNetwork* m = join("224.9.9.9");
    m->status = NET_CLOSED;  // cannot happen to a multicast network; the type must not change
    EXPECT_EQ(jx_join_network("224.9.9.9", 3, &ch), 2);
    EXPECT_EQ(m->type, NET_MULTICAST);
    EXPECT_EQ(m->status, NET_CLOSED);
}

TEST_F(Registry, SocketOptionFailuresAreReportedAndLeaveNothingBehind)
{
    const int real = comm.rcv_sock;
    comm.rcv_sock = -1;
    JXChannel* ch = nullptr;
    EXPECT_EQ(jx_join_network("224.1.1.1", 0, &ch), 3);
    EXPECT_EQ(jx_join_network("255.255.255.255", 0, &ch), 2);
    comm.rcv_sock = real;
    EXPECT_EQ(comm.networks.size, 0);
    EXPECT_TRUE(log_has("\tSetsockopt add multicast membership failed - 9\r\n"));
    EXPECT_TRUE(log_has("\tSetsockopt broadcast permission failed - 9\r\n"));
    EXPECT_TRUE(take_events().empty());
}

TEST_F(Registry, StatusChangesAndPeerTimestamps)
{
    JXNetwork* n = join("224.1.2.3");
    jx_set_network_status(n, NET_ONLINE);
    EXPECT_EQ(n->status, NET_ONLINE);
    EXPECT_EQ(n->online_since, kFrozenNow);
    jx_clock_advance(30);
    jx_set_network_status(n, NET_OFFLINE);
    EXPECT_EQ(n->status, NET_OFFLINE);
    EXPECT_EQ(n->online_since, 0);
    jx_set_network_status(n, 7);
    EXPECT_EQ(n->status, NET_OFFLINE);
    jx_set_network_status(nullptr, NET_ONLINE);

    const JXPacket b = beacon_from("224.1.2.3", "10.0.0.2", 8855, "p", 0);
    ASSERT_EQ(jx_add_peer(n, &b), 0);
    JXPeer* p = jx_peer_from_network(ip("10.0.0.2"), n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->alive, 0);
    jx_clock_advance(5);
    jx_ts_peer(p);
    EXPECT_EQ(p->alive, 1);
    EXPECT_EQ(p->last_seen, kFrozenNow + 35);
    jx_ts_peer(nullptr);
    EXPECT_EQ(jx_peer_from_network(ip("10.0.0.3"), n), nullptr);
    EXPECT_EQ(jx_peer_from_network(ip("10.0.0.2"), nullptr), nullptr);
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
    EXPECT_TRUE(log_has("\tJXPeer not found\r\n"));
    EXPECT_EQ(jx_add_channel(d->addr, ip("10.0.0.2"), &ch), JX_CH_ADD_DIRECT_PEER);
    EXPECT_TRUE(log_has("\tCan't create directip ch from net addr and no peer addr\r\n"));
    EXPECT_EQ(jx_add_channel(u->addr, ip("10.0.0.2"), &ch), JX_CH_ADD_NO_PEER);
    EXPECT_TRUE(take_events().empty());

    const JXPacket pkt = beacon_from("224.5.5.5", "10.0.0.2", 8855, "peer", 0);
    ASSERT_EQ(jx_add_peer(m, &pkt), JX_PEER_ADDED);
    take_events();
    ASSERT_EQ(jx_add_channel(m->addr, ip("10.0.0.2"), &ch), JX_CH_ADD_OK);
    ASSERT_NE(ch, nullptr);
    EXPECT_EQ(ch->type, CH_NET_DM);
    EXPECT_EQ(ch->peer_addr, ip("10.0.0.2"));
    EXPECT_EQ(ch->unread, 0u);
    auto evs = take_events();
    ASSERT_EQ(event_kinds(evs), std::vector<uint8_t>{EV_CHANNEL_ADDED});
    EXPECT_EQ(evs[0].as<ch_ev>()->net_addr, m->addr);
    EXPECT_EQ(evs[0].as<ch_ev>()->peer_addr, ip("10.0.0.2"));

    JXChannel* again = nullptr;
    EXPECT_EQ(jx_add_channel(m->addr, ip("10.0.0.2"), &again), JX_CH_ADD_OK);
    EXPECT_EQ(again, ch);
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(m->channels.size, 2);
    EXPECT_EQ(jx_channel_by_addr(m->addr, ip("10.0.0.2")), ch);
    EXPECT_EQ(jx_ch_from_network(m, ip("10.0.0.3")), nullptr);
}

TEST_F(Registry, NewPeersAreAnnouncedOnlyWhenTheyCameOnlineAfterUs)
{
    JXNetwork* n = join("224.1.2.3");
    jx_set_network_status(n, NET_ONLINE);
    jx_clock_advance(50);
    take_events();

    EXPECT_EQ(jx_add_peer(nullptr, nullptr), JX_PEER_NULL_NET);

    // Online for 500 s: it was there before us, added silently.
    const JXPacket old_timer = beacon_from("224.1.2.3", "10.0.0.2", 8855, "old", 500);
    EXPECT_EQ(jx_add_peer(n, &old_timer), JX_PEER_ADDED);
    EXPECT_TRUE(take_events().empty());
    EXPECT_TRUE(log_has("\tJoined old : 10.0.0.2\r\n"));

    // Online for exactly as long as we are: announced.
    const JXPacket same = beacon_from("224.1.2.3", "10.0.0.4", 8855, "same", 50);
    EXPECT_EQ(jx_add_peer(n, &same), JX_PEER_ADDED);
    EXPECT_EQ(event_kinds(take_events()), std::vector<uint8_t>{EV_PEER_JOINED});

    const JXPacket newcomer = beacon_from("224.1.2.3", "10.0.0.3", 40001, "newbie", 20);
    EXPECT_EQ(jx_add_peer(n, &newcomer), JX_PEER_ADDED);
    auto evs = take_events();
    ASSERT_EQ(event_kinds(evs), std::vector<uint8_t>{EV_PEER_JOINED});
    const auto* u = evs[0].as<user_ev>();
    EXPECT_EQ(u->net_addr, n->addr);
    EXPECT_EQ(u->peer_addr, ip("10.0.0.3"));
    EXPECT_STREQ(u->name1, "newbie");
    EXPECT_STREQ(u->name2, "");

    JXPeer* p = jx_peer_from_network(ip("10.0.0.3"), n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->port, 40001);  // host order
    EXPECT_EQ(p->alive, 0);
    EXPECT_EQ(p->last_seen, kFrozenNow + 50);
    EXPECT_STREQ(p->username, "newbie");
    // Uptime and the first 28 characters of the instance id.
    const uint8_t head[4] = {0, 0, 0, 20};
    EXPECT_EQ(std::memcmp(p->beacon_head, head, 4), 0);
    EXPECT_EQ(std::memcmp(p->beacon_head + 4, "PEERINSTANCEPEERINSTANCEPEER", 28), 0);
    EXPECT_EQ(n->peers.size, 3);

    // On a private network every newcomer is announced, whatever its uptime.
    JXNetwork* d = join("127.0.0.8", NET_DIRECT_IP_INCOMING);
    take_events();
    const JXPacket direct = beacon_from(nullptr, "127.0.0.8", 40002, "far", 100000);
    EXPECT_EQ(jx_add_peer(d, &direct), JX_PEER_ADDED);
    EXPECT_EQ(event_kinds(take_events()), std::vector<uint8_t>{EV_PEER_JOINED});
}

TEST_F(Registry, NewPeerPullsTheNextBeaconForward)
{
    JXNetwork* n = join("224.1.2.3");
    n->last_beacon = kFrozenNow - 2;  // a beacon went out 2 s ago
    const JXPacket a = beacon_from("224.1.2.3", "10.0.0.2", 8855, "a", 0);
    ASSERT_EQ(jx_add_peer(n, &a), JX_PEER_ADDED);
    EXPECT_EQ(n->last_beacon, kFrozenNow - 8);
    // A beacon sent long enough ago is left alone.
    n->last_beacon = kFrozenNow - 9;
    const JXPacket b = beacon_from("224.1.2.3", "10.0.0.3", 8855, "b", 0);
    ASSERT_EQ(jx_add_peer(n, &b), JX_PEER_ADDED);
    EXPECT_EQ(n->last_beacon, kFrozenNow - 9);
    // A known peer's beacon pulls nothing.
    n->last_beacon = kFrozenNow;
    ASSERT_EQ(jx_add_peer(n, &a), JX_PEER_REFRESHED);
    EXPECT_EQ(n->last_beacon, kFrozenNow);
}

TEST_F(Registry, RenameIsRaisedOnceAndTheRecordRefreshed)
{
    JXNetwork* n = join("224.1.2.3");
    const JXPacket first = beacon_from("224.1.2.3", "10.0.0.2", 8855, "alice", 0);
    ASSERT_EQ(jx_add_peer(n, &first), JX_PEER_ADDED);
    take_events();

    jx_clock_advance(11);
    const JXPacket renamed = beacon_from("224.1.2.3", "10.0.0.2", 40100, "alicia", 11);
    EXPECT_EQ(jx_add_peer(n, &renamed), JX_PEER_REFRESHED);
    auto evs = take_events();
    ASSERT_EQ(event_kinds(evs), std::vector<uint8_t>{EV_PEER_RENAMED});
    EXPECT_STREQ(evs[0].as<user_ev>()->name1, "alicia");
    EXPECT_STREQ(evs[0].as<user_ev>()->name2, "alice");
    EXPECT_TRUE(log_has("\tUpd name for ip 10.0.0.2 - [alice]>[alicia]\r\n"));

    JXPeer* p = jx_peer_from_network(ip("10.0.0.2"), n);
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->username, "alicia");
    EXPECT_EQ(p->alive, 1);
    EXPECT_EQ(p->port, 40100);
    EXPECT_EQ(p->last_seen, kFrozenNow + 11);
    EXPECT_EQ(p->beacon_head[3], 11);
    EXPECT_EQ(n->peers.size, 1);

    jx_clock_advance(11);
    const JXPacket same = beacon_from("224.1.2.3", "10.0.0.2", 40100, "alicia", 22);
    EXPECT_EQ(jx_add_peer(n, &same), JX_PEER_REFRESHED);
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(log_count("Upd name for ip"), 1u);
}

TEST_F(Registry, FirstAnswerTurnsAnUnspecifiedNetworkIntoAnOutgoingPrivateOne)
{
    JXNetwork* n = join("127.0.0.9");
    ASSERT_EQ(n->type, NET_UNSPEC);
    take_events();
    jx_clock_advance(4);
    const JXPacket answer = beacon_from(nullptr, "127.0.0.9", 8855, "remote", 0);
    EXPECT_EQ(jx_add_peer(n, &answer), JX_PEER_ADDED);
    EXPECT_EQ(n->type, NET_DIRECT_IP_OUTGOING);
    EXPECT_EQ(n->status, NET_ONLINE);
    EXPECT_EQ(n->online_since, kFrozenNow + 4);
    EXPECT_EQ(n->last_heard, kFrozenNow + 4);
    EXPECT_EQ(jx_ch_from_network(n, 0)->type, CH_DM);
    EXPECT_EQ(event_kinds(take_events()), std::vector<uint8_t>{EV_PEER_JOINED});
    // From now on its traffic goes to the peer's port.
    EXPECT_EQ(get_port_4snd(n), 8855);
}

TEST_F(Registry, LeavingAMulticastNetworkSendsLeaveAndDropsTheMembership)
{
    JXNetwork* n = join("224.1.2.3");
    const JXPacket a = beacon_from("224.1.2.3", "10.0.0.2", 8855, "a", 0);
    ASSERT_EQ(jx_add_peer(n, &a), JX_PEER_ADDED);
    JXChannel* dm = nullptr;
    ASSERT_EQ(jx_add_channel(n->addr, ip("10.0.0.2"), &dm), 0);
    take_events();
    drain_socket(comm.rcv_sock);

    EXPECT_EQ(jx_leave_network(n), 0);
    EXPECT_EQ(jx_network_by_addr(ip("224.1.2.3")), nullptr);
    EXPECT_EQ(comm.networks.size, 0);
    EXPECT_TRUE(log_has("\tLeft network 224.1.2.3\r\n"));
    EXPECT_TRUE(take_events().empty());

    // Our own leave came back through multicast loop-back: sent from port 8855 with a fresh id.
    Received r;
    ASSERT_TRUE(recv_within(comm.rcv_sock, &r));
    JXPacket p{};
    ASSERT_EQ(jx_unserialize(r.bytes.data(), r.bytes.size(), r.from_addr, htons(r.from_port), &p), 0);
    EXPECT_EQ(r.bytes.size(), 30u);
    EXPECT_EQ(p.type, PKT_LEAVE);
    EXPECT_EQ(p.net_id, ip("224.1.2.3"));
    EXPECT_NE(p.msg_id, 0u);
    EXPECT_STREQ(p.username, comm.username);
    EXPECT_EQ(r.from_port, 8855);

    // The membership is gone: adding it again succeeds (it would fail with EADDRINUSE otherwise).
    EXPECT_EQ(jx_mcast_join(ip("224.1.2.3")), 0);
    EXPECT_EQ(jx_mcast_drop(ip("224.1.2.3")), 0);
    EXPECT_EQ(jx_leave_network(nullptr), 1);
}

TEST_F(Registry, MulticastMembershipDeliversGroupTrafficOnlyWhileJoined)
{
    Probe sender("127.0.0.1");
    // Send to the group out of lo so the probe's datagram reaches comm.rcv_sock.
    in_addr lo{};
    lo.s_addr = inet_addr("127.0.0.1");
    ASSERT_EQ(setsockopt(sender.fd, IPPROTO_IP, IP_MULTICAST_IF, &lo, sizeof(lo)), 0);
    drain_socket(comm.rcv_sock);
    const auto d = make_dgram(PKT_QUERY, ip("224.7.7.7"), 3, "x");

    ASSERT_TRUE(sender.send_to(d, "224.7.7.7", 8855));
    Received r;
    EXPECT_FALSE(recv_within(comm.rcv_sock, &r, 100));

    JXNetwork* n = join("224.7.7.7");
    ASSERT_TRUE(sender.send_to(d, "224.7.7.7", 8855));
    ASSERT_TRUE(recv_within(comm.rcv_sock, &r));
    EXPECT_EQ(r.bytes, d);

    ASSERT_EQ(jx_leave_network(n), 0);
    drain_socket(comm.rcv_sock);
    ASSERT_TRUE(sender.send_to(d, "224.7.7.7", 8855));
    EXPECT_FALSE(recv_within(comm.rcv_sock, &r, 100));
}

TEST_F(Registry, LeavingAPrivateNetworkTellsThePeerAndDiscardsSentTexts)
{
    Probe remote("127.0.0.10");
    JXNetwork* n = join("127.0.0.10", NET_DIRECT_IP_INCOMING);
    const JXPacket q = decode(make_dgram(PKT_QUERY, 0, 9, "remote"), remote.addr, remote.port);
    ASSERT_EQ(jx_add_peer(n, &q), JX_PEER_ADDED);
    JXChannel* ch = jx_ch_from_network(n, 0);
    ASSERT_NE(ch, nullptr);
    // A text still waiting for its acknowledgement, with one addressee.
    auto* st = static_cast<JXSentTxt*>(std::calloc(1, sizeof(JXSentTxt)));
    jx_set_init(&st->addressees, jx_match_sent_text_addr, std::free);
    auto* a = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t)));
    *a = n->addr;
    ASSERT_EQ(jx_set_insert(&st->addressees, a), 0);
    ASSERT_EQ(jx_list_ins_next(&ch->sent_txts, nullptr, st), 0);
    take_events();

    jx_comm_close();  // leaves every network
    started = false;
    Received r;
    ASSERT_TRUE(remote.recv(&r));
    ASSERT_EQ(r.bytes.size(), 30u);
    EXPECT_EQ(r.bytes[4], PKT_LEAVE);
    EXPECT_EQ(jx_get_be32(r.bytes.data() + 5), 0u);  // private traffic carries network id 0
    EXPECT_EQ(r.from_port, 8855);                    // incoming private networks answer from 8855
    EXPECT_TRUE(log_has("\tLeft network 127.0.0.10\r\n"));
    // The sanitizer's leak check covers the discarded text and its addressee set.
}
