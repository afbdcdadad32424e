// The receive side: datagrams handed to the dispatcher (or sent for real through the read loop);
// presence and text processors checked by their state changes, their events (order and payloads)
// and the datagrams they send back.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "engine/crons.hpp"
#include "engine/events.hpp"
#include "engine/readloop.hpp"
#include "engine/texts.hpp"
#include "engine_fixture.hpp"

using namespace jxtest;

namespace {

using Presence = EngineFixture;
using Texts = EngineFixture;
using Dispatch = EngineFixture;

const std::vector<uint8_t> kZeroId = {0, 0, 0, 0};

TEST_F(Presence, OwnBeaconBringsAGroupOnlineAndOnlyPeersThatCameAfterUsAreAnnounced)
{
    JXNetwork* n = join(kGroup);
    take_events();
    jx_clock_advance(5);
    feed(beacon(ip(kGroup), comm.username, 0, comm.instance_id), kSelf);
    EXPECT_EQ(n->status, NET_ONLINE);
    EXPECT_EQ(n->own_addr, ip(kSelf));
    EXPECT_EQ(n->online_since, kFrozenNow + 5);
    EXPECT_EQ(jx_set_size(&n->peers), 0);
    auto evs = take_events();
    ASSERT_EQ(kinds(evs), std::vector<uint8_t>{EV_NET_REFRESH});
    EXPECT_EQ(evs[0].as<net_ev>()->net_addr, ip(kGroup));
    // Later echoes only keep the network alive.
    jx_clock_advance(20);
    feed(beacon(ip(kGroup), comm.username, 20, comm.instance_id, 78), kSelf);
    EXPECT_EQ(n->last_heard, kFrozenNow + 25);
    EXPECT_EQ(n->online_since, kFrozenNow + 5);
    EXPECT_TRUE(take_events().empty());

    // Online for 50 s: a peer online for 51 s was there before us and is added silently.
    jx_clock_advance(30);
    feed(beacon(ip(kGroup), "old", 51, other_instance('a')), kPeer1);
    EXPECT_EQ(jx_set_size(&n->peers), 1);
    EXPECT_TRUE(take_events().empty());
    EXPECT_TRUE(log_line("Joined old : 127.0.0.2"));
    const auto newcomer = beacon(ip(kGroup), "new", 20, other_instance('b'));
    feed(newcomer, kPeer2, 40001);
    feed(beacon(ip(kGroup), "same", 50, other_instance('c')), kPeer3);
    evs = take_events();
    ASSERT_EQ(evs.size(), 2u);
    expect_user_ev(evs[0], EV_PEER_JOINED, kGroup, kPeer2, "new");
    expect_user_ev(evs[1], EV_PEER_JOINED, kGroup, kPeer3, "same");
    const JXPeer* p = jx_peer_from_network(ip(kPeer2), n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->port, 40001);  // host order
    EXPECT_EQ(p->alive, 0);
    EXPECT_EQ(p->last_seen, kFrozenNow + 55);
    EXPECT_EQ(std::memcmp(p->beacon_head, newcomer.data() + JX_HEADER_LEN, 32), 0);
    EXPECT_EQ(n->last_heard, kFrozenNow + 25) << "peers' beacons do not prove the group";

    // On a private network every newcomer is announced, whatever its uptime.
    join("127.0.0.8", NET_DIRECT_IP_INCOMING);
    take_events();
    feed(beacon(0, "far", 100000, other_instance('f')), "127.0.0.8", 40002);
    EXPECT_EQ(kinds(take_events()), std::vector<uint8_t>{EV_PEER_JOINED});
}

TEST_F(Presence, RenameIsRaisedOnceAndTheRecordRefreshed)
{
    JXNetwork* n = online_group(1);
    take_events();
    jx_clock_advance(11);
    feed(beacon(ip(kGroup), "bobby", 11, other_instance('a')), kPeer1, 40100);
    expect_user_ev(one_event(), EV_PEER_RENAMED, kGroup, kPeer1, "bobby", "bob");
    const JXPeer* p = jx_peer_from_network(ip(kPeer1), n);
    EXPECT_STREQ(p->username, "bobby");
    EXPECT_EQ(p->alive, 1);
    EXPECT_EQ(p->port, 40100);
    EXPECT_EQ(p->last_seen, kFrozenNow + 11);
    EXPECT_EQ(p->beacon_head[3], 11);

    feed(beacon(ip(kGroup), "bobby", 12, other_instance('a')), kPeer1, 40100);
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(log_count("\tUpd name for ip 127.0.0.2 - [bob]>[bobby]\r\n"), 1u);
    EXPECT_EQ(jx_set_size(&n->peers), 1);
}

TEST_F(Presence, DuplicateWindowHoldsTheLast100IdsAndWraps)
{
    JXNetwork* n = online_group(2);
    settle();
    JXPacket p{};
    for (uint64_t i = 0; i < 100; i++) {
        p.msg_id = 1000 + i;
        ASSERT_FALSE(check_duplicate_id(n, &p)) << i;
    }
    EXPECT_EQ(n->recent_idx, 0);
    // {id, duplicate?}: 5000 overwrites the oldest (1000); 1000 then takes 1001's slot, 1001 takes 1002's.
    const std::pair<uint64_t, bool> rows[] = {{1000, true},  {1099, true},  {5000, false},
                                              {1000, false}, {1001, false}, {1003, true}};
    for (const auto& [id, dup] : rows) {
        p.msg_id = id;
        EXPECT_EQ(check_duplicate_id(n, &p), dup) << id;
    }
    EXPECT_EQ(n->recent_idx, 3);

    // Texts and leaves share the window: a text with a leave's id is acknowledged, not shown.
    feed(make_dgram(PKT_LEAVE, ip(kGroup), 777, "carol"), kPeer2);
    expect_user_ev(one_event(), EV_PEER_LEFT, kGroup, kPeer2, "carol");
    EXPECT_EQ(n->status, NET_ONLINE) << "a group stays when peers leave";
    feed(make_dgram(PKT_TXT_GROUP, ip(kGroup), 777, "bob", "x"), kPeer1);
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(sent_to_8855().size(), 1u);
}

TEST_F(Presence, QueryOpensAnIncomingPrivateNetworkThatBeaconsBack)
{
    Probe asker("127.0.0.5");
    // A real query through the read loop, as the other host's unbound socket sends it.
    ASSERT_TRUE(asker.send_to(make_dgram(PKT_QUERY, ip(kSelf), 11, "asker"), kSelf, 8855));
    ASSERT_EQ(jx_read_loop(), 0);
    JXNetwork* n = jx_network_by_addr(ip("127.0.0.5"));
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->type, NET_DIRECT_IP_INCOMING);
    EXPECT_EQ(n->status, NET_ONLINE);
    EXPECT_EQ(jx_ch_from_network(n, 0)->type, CH_DM);
    EXPECT_EQ(jx_peer_from_network(ip("127.0.0.5"), n)->port, asker.port);
    auto evs = take_events();
    ASSERT_EQ(kinds(evs), (std::vector<uint8_t>{EV_CHANNEL_ADDED, EV_PEER_JOINED}));
    expect_user_ev(evs[1], EV_PEER_JOINED, "127.0.0.5", "127.0.0.5", "asker");
    EXPECT_TRUE(log_line("Private network opened"));

    // Our answer: beacons from port 8855 to the port the query came from, network id 0.
    ASSERT_EQ(jx_crons_run(), 0);
    auto r = asker.recv();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].from_port, 8855);
    EXPECT_EQ(r[0].bytes.size(), 66u);
    EXPECT_EQ(r[0].type(), PKT_BEACON);
    EXPECT_EQ(r[0].net_id(), kZeroId);

    // Queries that keep coming while the network is online are ignored; so are those from
    // addresses that cannot be a network.
    feed(make_dgram(PKT_QUERY, ip(kSelf), 12, "asker"), "127.0.0.5", asker.port);
    EXPECT_TRUE(take_events().empty());
    feed(make_dgram(PKT_QUERY, ip(kSelf), 13, "lo"), "127.0.0.1", 40000);
    EXPECT_EQ(jx_network_by_addr(ip("127.0.0.1")), nullptr);
    EXPECT_EQ(log_count("\tCould not join for request\r\n"), 2u);
}

TEST_F(Presence, QueriedHostAnsweringTurnsTheNetworkIntoAnOutgoingPrivateNetwork)
{
    JXNetwork* n = join("127.0.0.6");
    settle();
    // The query leaves from the unbound socket towards port 8855 of the host (here: our own socket).
    ASSERT_EQ(jx_crons_run(), 0);
    auto out = sent_to_8855();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].to_addr, ip("127.0.0.6"));
    EXPECT_EQ(out[0].bytes.size(), 30u);
    EXPECT_EQ(out[0].type(), PKT_QUERY);
    EXPECT_EQ(out[0].net_id(), (std::vector<uint8_t>{6, 0, 0, 127}));
    const uint16_t our_port = local_port(comm.snd_sock);
    EXPECT_EQ(out[0].from_port, our_port);

    // The host answers with beacons to that port, network id 0.
    Probe host("127.0.0.6");
    jx_clock_advance(4);
    ASSERT_TRUE(host.send_to(beacon(0, "host", 0, other_instance('h'), 21), kSelf, our_port));
    ASSERT_EQ(jx_read_loop(), 0);
    EXPECT_EQ(n->type, NET_DIRECT_IP_OUTGOING);
    EXPECT_EQ(n->status, NET_ONLINE);
    EXPECT_EQ(n->online_since, kFrozenNow + 4);
    EXPECT_EQ(jx_ch_from_network(n, 0)->type, CH_DM);
    expect_user_ev(one_event(), EV_PEER_JOINED, "127.0.0.6", "127.0.0.6", "host");

    // Our beacons now go to the host's port from the same unbound socket (the newcomer pulled the
    // next one forward to 3 s after the answer).
    jx_clock_advance(3);
    ASSERT_EQ(jx_crons_run(), 0);
    auto r = host.recv();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].from_port, our_port);
    EXPECT_EQ(r[0].type(), PKT_BEACON);
    EXPECT_EQ(r[0].net_id(), kZeroId);
    EXPECT_EQ(r[0].be32_at(30), 3u) << "uptime since the answer";
}

TEST_F(Presence, HostsQueryingEachOtherMeetInOnePrivateNetwork)
{
    // We asked 127.0.0.6 and have no answer yet; its own query reaches us first.
    JXNetwork* n = join("127.0.0.6");
    take_events();
    jx_clock_advance(4);
    feed(make_dgram(PKT_QUERY, ip(kSelf), 3, "host"), "127.0.0.6", 40006);
    EXPECT_TRUE(log_line("Already joined"));
    EXPECT_EQ(jx_ch_from_network(n, 0)->type, CH_DM);
    EXPECT_EQ(n->type, NET_DIRECT_IP_OUTGOING);
    EXPECT_EQ(n->status, NET_ONLINE);
    EXPECT_EQ(n->online_since, kFrozenNow + 4);
    EXPECT_EQ(jx_list_size(&comm.networks), 1);
    EXPECT_EQ(jx_peer_from_network(ip("127.0.0.6"), n)->port, 40006);
    auto evs = take_events();
    ASSERT_EQ(kinds(evs), (std::vector<uint8_t>{EV_NET_REFRESH, EV_PEER_JOINED}));
    EXPECT_EQ(evs[0].as<net_ev>()->net_addr, ip("127.0.0.6"));
    expect_user_ev(evs[1], EV_PEER_JOINED, "127.0.0.6", "127.0.0.6", "host");
}

TEST_F(Presence, LeaveOfTheLastPeerClosesAPrivateNetworkAndAQueryReopensIt)
{
    // A leave from a host that is not a peer changes nothing.
    JXNetwork* g = online_group(1);
    take_events();
    feed(make_dgram(PKT_LEAVE, ip(kGroup), 40, "stranger"), "127.0.0.9");
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(jx_set_size(&g->peers), 1);

    JXNetwork* n = queried_by("127.0.0.5", 40000);
    feed(make_dgram(PKT_LEAVE, 0, 900, "asker"), "127.0.0.5", 40000);
    auto evs = take_events();
    ASSERT_EQ(kinds(evs), (std::vector<uint8_t>{EV_PEER_LEFT, EV_NET_CHANGED}));
    expect_user_ev(evs[0], EV_PEER_LEFT, "127.0.0.5", "127.0.0.5", "asker");
    EXPECT_EQ(evs[1].as<net_ev>()->net_addr, ip("127.0.0.5"));
    EXPECT_EQ(n->status, NET_CLOSED);
    EXPECT_EQ(n->type, NET_DIRECT_IP_INCOMING);
    EXPECT_TRUE(log_line("asker(127.0.0.5) left"));
    // The same leave again is a duplicate.
    feed(make_dgram(PKT_LEAVE, 0, 900, "asker"), "127.0.0.5", 40000);
    EXPECT_TRUE(take_events().empty());

    // The host asks again long after: the closed network opens once more, heard now, so the
    // offline rule (100 s) does not take it down again in the next pass.
    jx_clock_advance(150);
    feed(make_dgram(PKT_QUERY, ip(kSelf), 12, "asker"), "127.0.0.5", 40001);
    EXPECT_EQ(n, jx_network_by_addr(ip("127.0.0.5")));
    EXPECT_EQ(n->status, NET_ONLINE);
    EXPECT_EQ(n->type, NET_DIRECT_IP_INCOMING);
    EXPECT_EQ(n->online_since, kFrozenNow + 150);
    EXPECT_EQ(jx_peer_from_network(ip("127.0.0.5"), n)->port, 40001);
    EXPECT_EQ(kinds(take_events()), (std::vector<uint8_t>{EV_NET_REFRESH, EV_PEER_JOINED}));
    EXPECT_TRUE(log_line("Already joined"));
    EXPECT_EQ(log_count("\tPrivate network opened\r\n"), 2u);
    ASSERT_EQ(jx_crons_run(), 0);
    EXPECT_EQ(n->status, NET_ONLINE);
    for (const auto& e : take_events())  // the group, silent for 150 s, has its own changes
        EXPECT_FALSE(e.kind == EV_NET_CHANGED && e.as<net_ev>()->net_addr == n->addr);
}

TEST_F(Presence, StrangersCannotGrowPeersOrNetworksWithoutBound)
{
    JXNetwork* n = online_group();
    char addr[32];
    for (int i = 0; i < JX_MAX_PEERS_PER_NETWORK; i++) {
        std::snprintf(addr, sizeof(addr), "127.1.%d.%d", i / 250, i % 250 + 1);
        add_old_peer(ip(kGroup), addr, "many", 'm');
    }
    add_old_peer(ip(kGroup), "127.2.0.1", "onetoomany", 'x');
    EXPECT_EQ(jx_set_size(&n->peers), JX_MAX_PEERS_PER_NETWORK);
    EXPECT_EQ(jx_peer_from_network(ip("127.2.0.1"), n), nullptr);
    EXPECT_TRUE(log_line("Peer limit reached on 239.7.7.7, beacon from 127.2.0.1 dropped"));
    // Known peers are still refreshed.
    jx_clock_advance(5);
    add_old_peer(ip(kGroup), "127.1.0.1", "many", 'm');
    EXPECT_EQ(jx_peer_from_network(ip("127.1.0.1"), n)->last_seen, kFrozenNow + 5);

    while (jx_list_size(&comm.networks) < JX_MAX_NETWORKS) {
        const int i = jx_list_size(&comm.networks);
        std::snprintf(addr, sizeof(addr), "127.3.%d.%d", i / 250, i % 250 + 1);
        feed(make_dgram(PKT_QUERY, ip(kSelf), 1, "asker"), addr, 40000);
        ASSERT_EQ(jx_list_size(&comm.networks), i + 1);
    }
    feed(make_dgram(PKT_QUERY, ip(kSelf), 1, "asker"), "127.4.0.1", 40000);
    EXPECT_EQ(jx_network_by_addr(ip("127.4.0.1")), nullptr);
    EXPECT_TRUE(log_line("Network limit reached, query from 127.4.0.1 dropped"));
    // The limit only refuses new networks: a known host gets the usual answer.
    feed(make_dgram(PKT_QUERY, ip(kSelf), 2, "asker"), "127.3.0.2", 40000);
    EXPECT_TRUE(log_line("Could not join for request"));
}

TEST_F(Texts, GroupTextIsAcknowledgedEveryTimeAndShownOnceButOwnTextsAreDropped)
{
    JXNetwork* n = online_group(1);
    settle();
    jx_clock_advance(9);
    const auto d = make_dgram(PKT_TXT_GROUP, ip(kGroup), 258, "bob", "hello there");
    feed(d, kPeer1);
    auto acks = sent_to_8855();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].to_addr, ip(kPeer1));
    EXPECT_EQ(acks[0].bytes.size(), 30u);
    EXPECT_EQ(acks[0].type(), PKT_TXT_GROUP_ACK);
    EXPECT_EQ(acks[0].id(), 258u);
    EXPECT_EQ(acks[0].net_id(), (std::vector<uint8_t>{7, 7, 7, 239}));
    const TakenEvent ev = one_event();
    expect_msg_ev(ev, EV_TXT_RECEIVED, CH_MAIN, 258, ip(kGroup), ip(kPeer1));
    EXPECT_EQ(ev.as<msg_ev>()->time, kFrozenNow + 9);
    EXPECT_STREQ(ev.as<msg_ev>()->username, "bob");
    EXPECT_STREQ(ev.as<msg_ev>()->text, "hello there");
    EXPECT_EQ(jx_ch_from_network(n, 0)->unread, 1u);
    EXPECT_EQ(jx_peer_from_network(ip(kPeer1), n)->last_seen, kFrozenNow + 9);
    EXPECT_EQ(jx_peer_from_network(ip(kPeer1), n)->alive, 1);

    // The resend: acknowledged again, not shown again.
    feed(d, kPeer1);
    EXPECT_EQ(sent_to_8855().size(), 1u);
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(jx_ch_from_network(n, 0)->unread, 1u);

    // The largest text arrives whole, control bytes and all.
    const std::string big = "\x1b" + std::string(1438, 'q') + "E";
    feed(make_dgram(PKT_TXT_GROUP, ip(kGroup), 259, "bob", big), kPeer1);
    EXPECT_EQ(std::string(one_event().as<msg_ev>()->text), big);

    // Our own text looped back is neither acknowledged, recorded nor shown.
    settle();
    const uint8_t idx = n->recent_idx;
    feed(make_dgram(PKT_TXT_GROUP, ip(kGroup), 600, comm.username, "mine"), kSelf);
    EXPECT_TRUE(take_events().empty());
    EXPECT_TRUE(sent_to_8855().empty());
    EXPECT_EQ(n->recent_idx, idx);
}

TEST_F(Texts, DirectTextsFindOrMakeTheirChannel)
{
    JXNetwork* n = online_group(1);
    settle();
    feed(make_dgram(PKT_TXT_DIRECT, ip(kGroup), 300, "bob", "psst"), kPeer1);
    auto evs = take_events();
    ASSERT_EQ(kinds(evs), (std::vector<uint8_t>{EV_CHANNEL_ADDED, EV_TXT_RECEIVED}));
    EXPECT_EQ(evs[0].as<ch_ev>()->peer_addr, ip(kPeer1));
    expect_msg_ev(evs[1], EV_TXT_RECEIVED, CH_NET_DM, 300, ip(kGroup), ip(kPeer1));
    EXPECT_EQ(jx_ch_from_network(n, ip(kPeer1))->unread, 1u);
    EXPECT_EQ(jx_ch_from_network(n, 0)->unread, 0u);
    auto acks = sent_to_8855();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].type(), PKT_TXT_DIRECT_ACK);

    // From a host that is not a peer: acknowledged, then dropped.
    feed(make_dgram(PKT_TXT_DIRECT, ip(kGroup), 301, "eve", "psst"), "127.0.0.9");
    EXPECT_TRUE(take_events().empty());
    acks = sent_to_8855();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].to_addr, ip("127.0.0.9"));
    EXPECT_EQ(jx_ch_from_network(n, ip("127.0.0.9")), nullptr);

    // On a private network (network id 0) any text goes to its only channel, filed under the sender.
    Probe host("127.0.0.5");
    queried_by("127.0.0.5", host.port);
    feed(make_dgram(PKT_TXT_DIRECT, 0, 302, "host", "psst"), "127.0.0.5", host.port);
    feed(make_dgram(PKT_TXT_GROUP, 0, 303, "host", "psst"), "127.0.0.5", host.port);
    evs = take_events();
    ASSERT_EQ(evs.size(), 2u);
    expect_msg_ev(evs[0], EV_TXT_RECEIVED, CH_DM, 302, ip("127.0.0.5"), ip("127.0.0.5"));
    expect_msg_ev(evs[1], EV_TXT_RECEIVED, CH_DM, 303, ip("127.0.0.5"), ip("127.0.0.5"));
    auto r = host.recv();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].type(), PKT_TXT_DIRECT_ACK);
    EXPECT_EQ(r[0].id(), 302u);
    EXPECT_EQ(r[1].type(), PKT_TXT_GROUP_ACK);
}

TEST_F(Dispatch, MalformedAndStrayDatagramsAreDroppedWithoutHarm)
{
    JXNetwork* n = online_group(1);
    settle();
    // Too short for their type: a 3-byte beacon, empty texts, a beacon cut after 35 of its 36 bytes,
    // and only the header's start (decoded from zeros: a beacon with no payload).
    feed(make_dgram(PKT_BEACON, ip(kGroup), 1, "eve", "abc"), "127.0.0.9");
    feed(make_dgram(PKT_TXT_GROUP, ip(kGroup), 2, "eve"), "127.0.0.9");
    feed(make_dgram(PKT_TXT_DIRECT, ip(kGroup), 3, "bob"), kPeer1);
    auto cut = beacon(ip(kGroup), "eve", 0, other_instance('e'), 4);
    cut.resize(JX_HEADER_LEN + 35);
    feed(cut, "127.0.0.9");
    feed({0x01, 0x55, 0x00, 0x01, PKT_BEACON}, "127.0.0.9");
    EXPECT_EQ(jx_set_size(&n->peers), 1);
    EXPECT_TRUE(take_events().empty());
    EXPECT_TRUE(sent_to_8855().empty()) << "malformed texts are not acknowledged";
    EXPECT_EQ(log_count("\tMalformed packet type 3 from 127.0.0.9 dropped"), 3u);
    EXPECT_TRUE(log_line("Malformed packet type 2 from 127.0.0.2 dropped: payload of 0 bytes"));

    // Packets of networks not joined, a text among them: dropped, and the text not acknowledged.
    feed(beacon(ip("239.9.9.9"), "x", 0, other_instance('a')), kPeer1);
    feed(beacon(0, "x", 0, other_instance('a')), kPeer1);
    feed(make_dgram(PKT_TXT_GROUP, ip("239.9.9.9"), 5, "x", "hi"), kPeer1);
    EXPECT_EQ(log_count("\tNot from known network: [239.9.9.9]\r\n"), 2u);
    EXPECT_TRUE(log_line("Not from known network: [0.0.0.0]"));
    EXPECT_TRUE(take_events().empty());
    EXPECT_TRUE(sent_to_8855().empty());

    // A text that declares more than arrived is taken for what arrived.
    auto short_txt = make_dgram(PKT_TXT_GROUP, ip(kGroup), 5, "bob", "abcdefgh");
    short_txt.resize(33);
    feed(short_txt, kPeer1);
    EXPECT_STREQ(one_event().as<msg_ev>()->text, "abc");

    // Header refusals (program id, version, declared length): none of these leaves is processed.
    const std::tuple<size_t, uint16_t, const char*> refusals[] = {
        {JX_OFF_PROGRAM, 0x1234, "Program Id not recognized [4660]. Droping packet..."},
        {JX_OFF_VERSION, 0, "Protocol version not supported [0]. Droping packet..."},
        {JX_OFF_PAYLOAD_LEN, 1441, "Data length exceeded: 1471"}};
    for (const auto& [off, value, log] : refusals) {
        auto bad = make_dgram(PKT_LEAVE, ip(kGroup), 6, "bob");
        jx_put_be16(bad.data() + off, value);
        feed(bad, kPeer1);
        EXPECT_TRUE(log_line(log)) << log;
    }
    EXPECT_EQ(jx_set_size(&n->peers), 1);

    // Types without a processor here; the type is logged as a signed byte.
    for (const uint8_t type : {uint8_t{PKT_PUNCH}, uint8_t{200}, uint8_t{17}})
        feed(make_dgram(type, ip(kGroup), 9, "bob"), kPeer1);
    for (const char* t : {"18", "-56", "17"})
        EXPECT_TRUE(log_line(std::string("JXPacket type not recognised: ") + t)) << t;
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(n->status, NET_ONLINE);
}

TEST_F(Dispatch, ReadLoopTakesRealDatagramsOnAnySocketAndKeepsItsPace)
{
    // Any type is taken on any socket: a beacon on 8855, a punch on 8856.
    JXNetwork* n = online_group();
    Probe peer("127.0.0.7");
    ASSERT_TRUE(peer.send_to(beacon(ip(kGroup), "pat", 0, other_instance('p'), 1), kSelf, 8855));
    ASSERT_TRUE(peer.send_to(make_dgram(PKT_PUNCH, ip(kGroup), 2, "pat"), kSelf, 8856));
    // A turn with traffic and an idle turn both take the whole budget.
    for (int turn = 0; turn < 2; turn++) {
        const int64_t t0 = jx_clock_now_us();
        ASSERT_EQ(jx_read_loop(), 0);
        EXPECT_GE(jx_clock_now_us() - t0, JX_READ_BUDGET_US) << "turn " << turn;
    }
    const JXPeer* p = jx_peer_from_network(ip("127.0.0.7"), n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->port, peer.port);
    EXPECT_TRUE(log_line("JXPacket type not recognised: 18"));

    // After a select failure the main loop goes on calling the receive loop, which must not turn
    // into a busy spin flooding the log. Closing the socket behind the engine's back gives EBADF.
    ASSERT_EQ(close(comm.rcv_sock), 0);
    for (int turn = 0; turn < 3; turn++) {
        const int64_t t0 = jx_clock_now_us();
        EXPECT_EQ(jx_read_loop(), 1);
        EXPECT_GE(jx_clock_now_us() - t0, JX_READ_BUDGET_US - 1000) << "turn " << turn;
    }
    EXPECT_EQ(comm.running, 0);
    EXPECT_EQ(log_count("Select failed - 9 in jx_read_loop"), 3u);
    // The descriptor is gone; keep the engine's close from closing a number someone else may reuse.
    comm.rcv_sock = -1;
}

}  // namespace
