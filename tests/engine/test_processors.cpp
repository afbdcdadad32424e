// The receive side: datagrams injected into the receive buffer (or sent for real through the read
// loop) and handed to the dispatcher; presence and text processors checked by their state changes,
// their events (order and payloads) and the datagrams they send back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/comm.hpp"
#include "engine/events.hpp"
#include "engine/crons.hpp"
#include "engine/processors.hpp"
#include "engine/readloop.hpp"
#include "engine/texts.hpp"
#include "engine/utils.hpp"
#include "presence_helpers.hpp"

using namespace jxtest;

namespace {

using Presence = EngineFixture;
using Texts = EngineFixture;
using Dispatch = EngineFixture;

void expect_user_ev(const TakenEvent& e, uint8_t kind, const char* net, const char* peer, const char* n1,
                    const char* n2)
{
    ASSERT_EQ(e.kind, kind);
    const auto* u = e.as<user_ev>();
    ASSERT_NE(u, nullptr);
    EXPECT_EQ(u->net_addr, ip(net));
    EXPECT_EQ(u->peer_addr, ip(peer));
    EXPECT_STREQ(u->name1, n1);
    EXPECT_STREQ(u->name2, n2);
}

uint32_t snd_sock_port()
{
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(comm.snd_sock, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// Header bytes 5..8: the network id octets reversed.
std::vector<uint8_t> net_id_bytes(const std::vector<uint8_t>& d)
{
    return {d.begin() + 5, d.begin() + 9};
}

}  // namespace

TEST_F(Presence, OwnBeaconBringsAGroupOnlineOnceAndAddsNoPeer)
{
    JXChannel* ch = nullptr;
    ASSERT_EQ(jx_join_network(kGroup, 0, &ch), 0);
    JXNetwork* n = jx_network_by_addr(ip(kGroup));
    ASSERT_NE(n, nullptr);
    take_events();

    jx_clock_advance(5);
    feed_beacon(ip(kGroup), kSelf, comm.username, 0, comm.instance_id);
    EXPECT_EQ(n->status, NET_ONLINE);
    EXPECT_EQ(n->own_addr, ip(kSelf));
    EXPECT_EQ(n->last_heard, kFrozenNow + 5);
    EXPECT_EQ(n->online_since, kFrozenNow + 5);
    EXPECT_EQ(jx_set_size(&n->peers), 0);
    auto evs = take_events();
    ASSERT_EQ(event_kinds(evs), std::vector<uint8_t>{EV_NET_REFRESH});
    EXPECT_EQ(evs[0].as<net_ev>()->net_addr, ip(kGroup));

    // Later echoes only keep the network alive.
    jx_clock_advance(20);
    feed_beacon(ip(kGroup), kSelf, comm.username, 20, comm.instance_id, 78);
    EXPECT_EQ(n->last_heard, kFrozenNow + 25);
    EXPECT_EQ(n->online_since, kFrozenNow + 5);
    EXPECT_TRUE(take_events().empty());

    // A peer's beacon refreshes the peer, never the network.
    jx_clock_advance(30);
    add_old_peer(ip(kGroup), kPeer1, "bob", 'a');
    EXPECT_EQ(n->last_heard, kFrozenNow + 25);
}

TEST_F(Presence, PeerJoinedOnlyForPeersThatCameAfterUs)
{
    JXNetwork* n = online_group();
    take_events();
    jx_clock_advance(50);  // online for 50 s

    feed_beacon(ip(kGroup), kPeer1, "old", 500, other_instance('a').c_str());
    EXPECT_EQ(jx_set_size(&n->peers), 1);
    EXPECT_TRUE(take_events().empty()) << "a peer online before us is added silently";

    feed_beacon(ip(kGroup), kPeer2, "new", 20, other_instance('b').c_str());
    feed_beacon(ip(kGroup), kPeer3, "same", 50, other_instance('c').c_str());
    auto evs = take_events();
    ASSERT_EQ(evs.size(), 2u);
    expect_user_ev(evs[0], EV_PEER_JOINED, kGroup, kPeer2, "new", "");
    expect_user_ev(evs[1], EV_PEER_JOINED, kGroup, kPeer3, "same", "");

    const JXPeer* p = jx_peer_from_network(ip(kPeer2), n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->port, 8855);
    EXPECT_EQ(p->last_seen, kFrozenNow + 50);
    const auto pl = beacon_payload(20, other_instance('b').c_str());
    EXPECT_EQ(std::memcmp(p->beacon_head, pl.data(), 32), 0);
}

TEST_F(Presence, RenameIsRaisedOnceAndTheNameKept)
{
    JXNetwork* n = online_group();
    add_old_peer(ip(kGroup), kPeer1, "bob", 'a');
    take_events();

    add_old_peer(ip(kGroup), kPeer1, "bobby", 'a');
    auto evs = take_events();
    ASSERT_EQ(evs.size(), 1u);
    expect_user_ev(evs[0], EV_PEER_RENAMED, kGroup, kPeer1, "bobby", "bob");
    EXPECT_STREQ(jx_peer_from_network(ip(kPeer1), n)->username, "bobby");

    add_old_peer(ip(kGroup), kPeer1, "bobby", 'a');
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(log_count("Upd name for ip 127.0.0.2 - [bob]>[bobby]"), 1u);
    EXPECT_EQ(jx_set_size(&n->peers), 1);
}

TEST_F(Presence, PacketsOfNetworksNotJoinedAreDropped)
{
    (void)online_group();
    take_events();
    feed_beacon(ip("239.9.9.9"), kPeer1, "x", 0, other_instance('a').c_str());
    feed_beacon(0, kPeer1, "x", 0, other_instance('a').c_str());
    const std::string t = "hi";
    feed(make_dgram(PKT_TXT_GROUP, ip("239.9.9.9"), 5, "x", t.data(), 2), kPeer1);
    EXPECT_TRUE(log_has("\tNot from known network: [239.9.9.9]\r\n"));
    EXPECT_TRUE(log_has("\tNot from known network: [0.0.0.0]\r\n"));
    EXPECT_TRUE(take_events().empty());
    EXPECT_TRUE(sent_to_8855().empty()) << "a text of a network not joined is not acknowledged";
}

TEST_F(Presence, DuplicateWindowHoldsTheLast100IdsAndWraps)
{
    JXNetwork* n = online_group();
    JXPacket p{};
    for (uint64_t i = 0; i < 100; i++) {
        p.msg_id = 1000 + i;
        ASSERT_FALSE(check_duplicate_id(n, &p)) << i;
    }
    EXPECT_EQ(n->recent_idx, 0);
    p.msg_id = 1000;
    EXPECT_TRUE(check_duplicate_id(n, &p));
    p.msg_id = 1099;
    EXPECT_TRUE(check_duplicate_id(n, &p));
    p.msg_id = 5000;  // overwrites the oldest, 1000
    EXPECT_FALSE(check_duplicate_id(n, &p));
    EXPECT_EQ(n->recent_idx, 1);
    p.msg_id = 1000;
    EXPECT_FALSE(check_duplicate_id(n, &p)) << "the oldest id left the window";
    p.msg_id = 1001;  // 1000 took its slot just now, and it takes 1002's
    EXPECT_FALSE(check_duplicate_id(n, &p));
    p.msg_id = 1003;
    EXPECT_TRUE(check_duplicate_id(n, &p));
    EXPECT_EQ(n->recent_idx, 3);

    // Texts and leaves share the window: a text with a leave's id is acknowledged, not shown.
    add_old_peer(ip(kGroup), kPeer1, "bob", 'a');
    add_old_peer(ip(kGroup), kPeer2, "carol", 'b');
    take_events();
    sent_to_8855(0);
    feed(make_dgram(PKT_LEAVE, ip(kGroup), 777, "carol"), kPeer2);
    ASSERT_EQ(event_kinds(take_events()), std::vector<uint8_t>{EV_PEER_LEFT});
    const std::string t = "x";
    feed(make_dgram(PKT_TXT_GROUP, ip(kGroup), 777, "bob", t.data(), 1), kPeer1);
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(sent_to_8855().size(), 1u);
}

TEST_F(Presence, QueryOpensAnIncomingPrivateNetworkThatBeaconsBack)
{
    Probe asker("127.0.0.5");
    ASSERT_GE(asker.fd, 0);
    // A real query through the read loop, as the other host's unbound socket sends it.
    ASSERT_TRUE(asker.send_to(make_dgram(PKT_QUERY, ip(kSelf), 11, "asker"), kSelf, 8855));
    ASSERT_EQ(jx_read_loop(), 0);

    JXNetwork* n = jx_network_by_addr(ip("127.0.0.5"));
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->type, NET_DIRECT_IP_INCOMING);
    EXPECT_EQ(n->status, NET_ONLINE);
    const JXChannel* ch = jx_ch_from_network(n, 0);
    ASSERT_NE(ch, nullptr);
    EXPECT_EQ(ch->type, CH_DM);
    const JXPeer* p = jx_peer_from_network(ip("127.0.0.5"), n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->port, asker.port);
    auto evs = take_events();
    ASSERT_EQ(event_kinds(evs), (std::vector<uint8_t>{EV_CHANNEL_ADDED, EV_PEER_JOINED}));
    EXPECT_EQ(evs[0].as<ch_ev>()->net_addr, ip("127.0.0.5"));
    EXPECT_EQ(evs[0].as<ch_ev>()->peer_addr, 0u);
    expect_user_ev(evs[1], EV_PEER_JOINED, "127.0.0.5", "127.0.0.5", "asker", "");
    EXPECT_TRUE(log_has("\tPrivate network opened\r\n"));

    // Our answer: beacons from port 8855 to the port the query came from, network id 0.
    ASSERT_EQ(jx_crons_run(), 0);
    Received r;
    ASSERT_TRUE(asker.recv(&r));
    EXPECT_EQ(r.from_port, 8855);
    ASSERT_EQ(r.bytes.size(), 66u);
    EXPECT_EQ(r.bytes[JX_OFF_TYPE], PKT_BEACON);
    EXPECT_EQ(net_id_bytes(r.bytes), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(std::memcmp(r.bytes.data() + 34, comm.instance_id, 32), 0);

    // Queries that keep coming while the network is online are ignored.
    feed(make_dgram(PKT_QUERY, ip(kSelf), 12, "asker"), "127.0.0.5", asker.port);
    EXPECT_TRUE(log_has("\tCould not join for request\r\n"));
    EXPECT_TRUE(take_events().empty());
    // So are queries from addresses that cannot be a network.
    feed(make_dgram(PKT_QUERY, ip(kSelf), 13, "lo"), "127.0.0.1", 40000);
    EXPECT_EQ(jx_network_by_addr(ip("127.0.0.1")), nullptr);
    EXPECT_EQ(log_count("\tCould not join for request\r\n"), 2u);
}

TEST_F(Presence, QueriedHostAnsweringTurnsTheNetworkIntoAnOutgoingPrivateNetwork)
{
    JXChannel* ch = nullptr;
    ASSERT_EQ(jx_join_network("127.0.0.6", 0, &ch), 0);
    JXNetwork* n = jx_network_by_addr(ip("127.0.0.6"));
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(ch->type, CH_UNSPEC);
    take_events();

    // The query leaves from the unbound socket towards port 8855 of the host (here: our own socket).
    sent_to_8855(0);
    ASSERT_EQ(jx_crons_run(), 0);
    auto out = sent_to_8855();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].to_addr, ip("127.0.0.6"));
    EXPECT_EQ(out[0].bytes.size(), 30u);
    EXPECT_EQ(dgram_type(out[0]), PKT_QUERY);
    EXPECT_EQ(net_id_bytes(out[0].bytes), (std::vector<uint8_t>{6, 0, 0, 127}));
    const uint16_t our_port = static_cast<uint16_t>(snd_sock_port());
    EXPECT_EQ(out[0].from_port, our_port);

    // The host answers with beacons to that port, network id 0.
    Probe host("127.0.0.6");
    ASSERT_GE(host.fd, 0);
    const auto pl = beacon_payload(0, other_instance('h').c_str());
    ASSERT_TRUE(host.send_to(make_dgram(PKT_BEACON, 0, 21, "host", pl.data(), 36), kSelf, our_port));
    ASSERT_EQ(jx_read_loop(), 0);
    EXPECT_EQ(n->type, NET_DIRECT_IP_OUTGOING);
    EXPECT_EQ(n->status, NET_ONLINE);
    EXPECT_EQ(ch->type, CH_DM);
    auto evs = take_events();
    ASSERT_EQ(evs.size(), 1u);
    expect_user_ev(evs[0], EV_PEER_JOINED, "127.0.0.6", "127.0.0.6", "host", "");

    // Our beacons now go to the host's port from the same unbound socket, within 3 s.
    jx_clock_advance(2);
    ASSERT_EQ(jx_crons_run(), 0);
    Received r;
    EXPECT_FALSE(host.recv(&r, 50));
    jx_clock_advance(1);
    ASSERT_EQ(jx_crons_run(), 0);
    ASSERT_TRUE(host.recv(&r));
    EXPECT_EQ(r.from_port, our_port);
    EXPECT_EQ(r.bytes[JX_OFF_TYPE], PKT_BEACON);
    EXPECT_EQ(net_id_bytes(r.bytes), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(jx_get_be32(r.bytes.data() + 30), 3u) << "uptime since the answer";
}

TEST_F(Presence, LeaveOfTheLastPeerClosesAPrivateNetworkAndAQueryReopensIt)
{
    feed(make_dgram(PKT_QUERY, ip(kSelf), 11, "asker"), "127.0.0.5", 40000);
    JXNetwork* n = jx_network_by_addr(ip("127.0.0.5"));
    ASSERT_NE(n, nullptr);
    take_events();

    feed(make_dgram(PKT_LEAVE, 0, 900, "asker"), "127.0.0.5", 40000);
    auto evs = take_events();
    ASSERT_EQ(evs.size(), 2u);
    expect_user_ev(evs[0], EV_PEER_LEFT, "127.0.0.5", "127.0.0.5", "asker", "");
    ASSERT_EQ(evs[1].kind, EV_NET_CHANGED);
    EXPECT_EQ(evs[1].as<net_ev>()->net_addr, ip("127.0.0.5"));
    EXPECT_EQ(n->status, NET_CLOSED);
    EXPECT_EQ(n->type, NET_DIRECT_IP_INCOMING);
    EXPECT_EQ(jx_set_size(&n->peers), 0);
    EXPECT_TRUE(log_has("\tasker(127.0.0.5) left\r\n"));

    // The same leave again is a duplicate.
    feed(make_dgram(PKT_LEAVE, 0, 900, "asker"), "127.0.0.5", 40000);
    EXPECT_TRUE(take_events().empty());

    // The host asks again: the closed network opens once more.
    jx_clock_advance(7);
    feed(make_dgram(PKT_QUERY, ip(kSelf), 12, "asker"), "127.0.0.5", 40001);
    EXPECT_EQ(n, jx_network_by_addr(ip("127.0.0.5")));
    EXPECT_EQ(n->status, NET_ONLINE);
    EXPECT_EQ(n->type, NET_DIRECT_IP_INCOMING);
    EXPECT_EQ(n->online_since, kFrozenNow + 7);
    EXPECT_EQ(jx_peer_from_network(ip("127.0.0.5"), n)->port, 40001);
    evs = take_events();
    ASSERT_EQ(evs.size(), 2u);
    ASSERT_EQ(evs[0].kind, EV_NET_REFRESH);
    EXPECT_EQ(evs[0].as<net_ev>()->net_addr, ip("127.0.0.5"));
    expect_user_ev(evs[1], EV_PEER_JOINED, "127.0.0.5", "127.0.0.5", "asker", "");
    EXPECT_TRUE(log_has("\tAlready joined\r\n"));
    EXPECT_EQ(log_count("\tPrivate network opened\r\n"), 2u);

    // An outgoing network closed by its host's leave falls back to asking, once joined again.
    JXChannel* ch = nullptr;
    ASSERT_EQ(jx_join_network("127.0.0.6", 0, &ch), 0);
    feed_beacon(0, "127.0.0.6", "host", 0, other_instance('h').c_str(), 30, 40002);
    JXNetwork* out = jx_network_by_addr(ip("127.0.0.6"));
    ASSERT_EQ(out->type, NET_DIRECT_IP_OUTGOING);
    take_events();
    feed(make_dgram(PKT_LEAVE, 0, 31, "host"), "127.0.0.6", 40002);
    EXPECT_EQ(out->status, NET_CLOSED);
    EXPECT_EQ(out->type, NET_UNSPEC);
    EXPECT_EQ(event_kinds(take_events()), (std::vector<uint8_t>{EV_PEER_LEFT, EV_NET_CHANGED}));
}

TEST_F(Presence, LeavesOnAGroupDropOnlyTheSender)
{
    JXNetwork* n = online_group();
    add_old_peer(ip(kGroup), kPeer1, "bob", 'a');
    add_old_peer(ip(kGroup), kPeer2, "carol", 'b');
    take_events();
    feed(make_dgram(PKT_LEAVE, ip(kGroup), 40, "stranger"), "127.0.0.9");
    EXPECT_TRUE(take_events().empty()) << "a leave from a host that is not a peer changes nothing";
    feed(make_dgram(PKT_LEAVE, ip(kGroup), 41, "bob"), kPeer1);
    auto evs = take_events();
    ASSERT_EQ(evs.size(), 1u);
    expect_user_ev(evs[0], EV_PEER_LEFT, kGroup, kPeer1, "bob", "");
    EXPECT_EQ(jx_set_size(&n->peers), 1);
    EXPECT_EQ(n->status, NET_ONLINE);
}

TEST_F(Texts, GroupTextIsAcknowledgedEveryTimeAndShownOnce)
{
    JXNetwork* n = online_group();
    add_old_peer(ip(kGroup), kPeer1, "bob", 'a');
    take_events();
    sent_to_8855(0);

    jx_clock_advance(9);
    const std::string t = "hello there";
    const auto d =
        make_dgram(PKT_TXT_GROUP, ip(kGroup), 258, "bob", t.data(), static_cast<uint16_t>(t.size()));
    feed(d, kPeer1);
    auto acks = sent_to_8855();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].to_addr, ip(kPeer1));
    ASSERT_EQ(acks[0].bytes.size(), 30u);
    EXPECT_EQ(dgram_type(acks[0]), PKT_TXT_GROUP_ACK);
    EXPECT_EQ(dgram_id(acks[0]), 258u);
    EXPECT_EQ(net_id_bytes(acks[0].bytes), (std::vector<uint8_t>{7, 7, 7, 239}));

    auto evs = take_events();
    ASSERT_EQ(event_kinds(evs), std::vector<uint8_t>{EV_TXT_RECEIVED});
    const auto* m = evs[0].as<msg_ev>();
    EXPECT_EQ(m->ch_type, CH_MAIN);
    EXPECT_EQ(m->msg_id, 258u);
    EXPECT_EQ(m->addr_a, ip(kGroup));
    EXPECT_EQ(m->addr_b, ip(kPeer1));
    EXPECT_EQ(m->time, kFrozenNow + 9);
    EXPECT_STREQ(m->username, "bob");
    EXPECT_STREQ(m->text, "hello there");
    EXPECT_EQ(jx_ch_from_network(n, 0)->unread, 1u);
    EXPECT_EQ(jx_peer_from_network(ip(kPeer1), n)->last_seen, kFrozenNow + 9);

    // The resend: acknowledged again, not shown again.
    feed(d, kPeer1);
    EXPECT_EQ(sent_to_8855().size(), 1u);
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(jx_ch_from_network(n, 0)->unread, 1u);

    // The largest text arrives whole, control bytes and all.
    std::string big(1440, 'q');
    big[0] = '\x1b';
    big[1439] = 'E';
    feed(make_dgram(PKT_TXT_GROUP, ip(kGroup), 259, "bob", big.data(), 1440), kPeer1);
    evs = take_events();
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(std::string(evs[0].as<msg_ev>()->text), big);
}

TEST_F(Texts, DirectTextsFindOrMakeTheirChannel)
{
    JXNetwork* n = online_group();
    add_old_peer(ip(kGroup), kPeer1, "bob", 'a');
    take_events();
    sent_to_8855(0);

    const std::string t = "psst";
    feed(make_dgram(PKT_TXT_DIRECT, ip(kGroup), 300, "bob", t.data(), 4), kPeer1);
    auto evs = take_events();
    ASSERT_EQ(event_kinds(evs), (std::vector<uint8_t>{EV_CHANNEL_ADDED, EV_TXT_RECEIVED}));
    EXPECT_EQ(evs[0].as<ch_ev>()->net_addr, ip(kGroup));
    EXPECT_EQ(evs[0].as<ch_ev>()->peer_addr, ip(kPeer1));
    const auto* m = evs[1].as<msg_ev>();
    EXPECT_EQ(m->ch_type, CH_NET_DM);
    EXPECT_EQ(m->addr_a, ip(kGroup));
    EXPECT_EQ(m->addr_b, ip(kPeer1));
    EXPECT_STREQ(m->text, "psst");
    const JXChannel* dm = jx_ch_from_network(n, ip(kPeer1));
    ASSERT_NE(dm, nullptr);
    EXPECT_EQ(dm->unread, 1u);
    EXPECT_EQ(jx_ch_from_network(n, 0)->unread, 0u);
    auto acks = sent_to_8855();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(dgram_type(acks[0]), PKT_TXT_DIRECT_ACK);

    // From a host that is not a peer: acknowledged, then dropped.
    feed(make_dgram(PKT_TXT_DIRECT, ip(kGroup), 301, "eve", t.data(), 4), "127.0.0.9");
    EXPECT_TRUE(take_events().empty());
    acks = sent_to_8855();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(acks[0].to_addr, ip("127.0.0.9"));
    EXPECT_EQ(jx_ch_from_network(n, ip("127.0.0.9")), nullptr);

    // On a private network (network id 0) the text goes to its only channel, addressed by the sender.
    Probe host("127.0.0.5");
    feed(make_dgram(PKT_QUERY, ip(kSelf), 1, "host"), "127.0.0.5", host.port);
    take_events();
    feed(make_dgram(PKT_TXT_DIRECT, 0, 302, "host", t.data(), 4), "127.0.0.5", host.port);
    evs = take_events();
    ASSERT_EQ(evs.size(), 1u);
    m = evs[0].as<msg_ev>();
    EXPECT_EQ(m->ch_type, CH_DM);
    EXPECT_EQ(m->addr_a, ip("127.0.0.5"));
    EXPECT_EQ(m->addr_b, ip("127.0.0.5"));
    Received r;
    ASSERT_TRUE(host.recv(&r));
    EXPECT_EQ(r.bytes.size(), 30u);
    EXPECT_EQ(r.bytes[JX_OFF_TYPE], PKT_TXT_DIRECT_ACK);
    EXPECT_EQ(jx_get_be32(r.bytes.data() + JX_OFF_MSG_ID), 302u);
    // A group text there has no network id either; it is still filed under the private network.
    feed(make_dgram(PKT_TXT_GROUP, 0, 303, "host", t.data(), 4), "127.0.0.5", host.port);
    evs = take_events();
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_EQ(evs[0].as<msg_ev>()->addr_a, ip("127.0.0.5"));
    ASSERT_TRUE(host.recv(&r));
    EXPECT_EQ(r.bytes[JX_OFF_TYPE], PKT_TXT_GROUP_ACK);
}

TEST_F(Texts, OwnTextsAndAcknowledgementsEchoedBackAreDropped)
{
    JXNetwork* n = online_group();
    add_old_peer(ip(kGroup), kPeer1, "bob", 'a');
    take_events();
    sent_to_8855(0);
    const uint8_t idx = n->recent_idx;

    const std::string t = "mine";
    feed(make_dgram(PKT_TXT_GROUP, ip(kGroup), 600, comm.username, t.data(), 4), kSelf);
    EXPECT_TRUE(take_events().empty());
    EXPECT_TRUE(sent_to_8855().empty()) << "no acknowledgement of our own text";
    EXPECT_EQ(n->recent_idx, idx);

    ASSERT_EQ(jx_snd_txt(jx_ch_from_network(n, 0), "out"), 0);
    take_events();
    sent_to_8855(0);
    const auto* st =
        static_cast<const JXSentTxt*>(jx_list_data(jx_list_head(&jx_ch_from_network(n, 0)->sent_txts)));
    feed(make_dgram(PKT_TXT_GROUP_ACK, ip(kGroup), jx_dgram_msg_id(st->dgram), comm.username), kSelf);
    EXPECT_EQ(st->acks, 0);
    EXPECT_EQ(jx_set_size(&st->addressees), 1);
    EXPECT_TRUE(take_events().empty());
}

TEST_F(Dispatch, MalformedDatagramsOfEveryTypeAreDroppedWithoutHarm)
{
    JXNetwork* n = online_group();
    add_old_peer(ip(kGroup), kPeer1, "bob", 'a');
    take_events();
    sent_to_8855(0);

    // Too short for their type: a 3-byte beacon, an empty text, a beacon cut after 33 of its 36 bytes.
    const uint8_t three[3] = {0, 0, 1};
    feed(make_dgram(PKT_BEACON, ip(kGroup), 1, "eve", three, 3), "127.0.0.9");
    feed(make_dgram(PKT_TXT_GROUP, ip(kGroup), 2, "eve"), "127.0.0.9");
    feed(make_dgram(PKT_TXT_DIRECT, ip(kGroup), 3, "bob"), kPeer1);
    auto cut = make_dgram(PKT_BEACON, ip(kGroup), 4, "eve",
                          beacon_payload(0, other_instance('e').c_str()).data(), 36);
    cut.resize(63);
    feed(cut, "127.0.0.9");
    // Only the header's start: decoded from zeros, a beacon with no payload.
    feed(std::vector<uint8_t>{0x01, 0x55, 0x00, 0x01, PKT_BEACON}, "127.0.0.9");
    EXPECT_EQ(jx_set_size(&n->peers), 1);
    EXPECT_TRUE(take_events().empty());
    EXPECT_TRUE(sent_to_8855().empty()) << "malformed texts are not acknowledged";
    EXPECT_EQ(log_count("\tMalformed packet type 3 from 127.0.0.9 dropped"), 3u);
    EXPECT_TRUE(log_has("\tMalformed packet type 2 from 127.0.0.2 dropped: payload of 0 bytes\r\n"));

    // A text that declares more than arrived is taken for what arrived.
    const std::string t = "abcdefgh";
    auto short_txt = make_dgram(PKT_TXT_GROUP, ip(kGroup), 5, "bob", t.data(), 8);
    short_txt.resize(33);
    feed(short_txt, kPeer1);
    auto evs = take_events();
    ASSERT_EQ(evs.size(), 1u);
    EXPECT_STREQ(evs[0].as<msg_ev>()->text, "abc");

    // Header refusals.
    auto bad = make_dgram(PKT_BEACON, ip(kGroup), 6, "bob");
    bad[0] = 0x12;
    bad[1] = 0x34;
    feed(bad, kPeer1);
    EXPECT_TRUE(log_has("\tProgram Id not recognized [4660]. Droping packet...\r\n"));
    bad = make_dgram(PKT_LEAVE, ip(kGroup), 7, "bob");
    bad[2] = bad[3] = 0;
    feed(bad, kPeer1);
    EXPECT_TRUE(log_has("\tProtocol version not supported [0]. Droping packet...\r\n"));
    bad = make_dgram(PKT_LEAVE, ip(kGroup), 8, "bob");
    jx_put_be16(bad.data() + JX_OFF_PAYLOAD_LEN, 1441);
    feed(bad, kPeer1);
    EXPECT_TRUE(log_has("\tData length exceeded: 1471\r\n"));
    EXPECT_EQ(jx_set_size(&n->peers), 1) << "none of the refused leaves was processed";

    // Types without a processor here.
    feed(make_dgram(PKT_PUNCH, ip(kGroup), 9, "bob"), kPeer1, 8856);
    feed(make_dgram(200, ip(kGroup), 10, "bob"), kPeer1);
    feed(make_dgram(17, ip(kGroup), 11, "bob"), kPeer1);
    EXPECT_TRUE(log_has("\tJXPacket type not recognised: 18\r\n"));
    EXPECT_TRUE(log_has("\tJXPacket type not recognised: -56\r\n"));
    EXPECT_TRUE(log_has("\tJXPacket type not recognised: 17\r\n"));
    for (uint8_t type = PKT_FILE_META; type <= PKT_FILE_FIN_OTHER; type++) {
        if (type == PKT_META_ACK)
            continue;
        feed(make_dgram(type, ip(kGroup), 100U + type, "bob", three, 3), kPeer1, 8856);
    }
    EXPECT_EQ(log_count("File transfer packet type"), 8u);
    EXPECT_TRUE(take_events().empty());

    // Every type, every length from nothing to a full payload of junk, from a peer and a stranger:
    // whatever happens must stay inside the buffers (the sanitizers watch) and leave sane records.
    std::vector<uint8_t> junk(JX_PAYLOAD_MAX);
    for (size_t i = 0; i < junk.size(); i++)
        junk[i] = static_cast<uint8_t>(i * 37 + 11);
    uint32_t id = 5000;
    for (int type = 0; type < 20; type++) {
        if (type == PKT_LEAVE)
            continue;  // would drop the peer the sweep keeps using
        for (size_t len : {size_t{0}, size_t{1}, size_t{35}, size_t{36}, size_t{37}, JX_PAYLOAD_MAX}) {
            auto d = make_dgram(static_cast<uint8_t>(type), ip(kGroup), id++, "bob", junk.data(),
                                static_cast<uint16_t>(len));
            feed(d, kPeer1);
            d.resize(d.size() / 2);
            feed(d, "127.0.0.9", 1234);
        }
    }
    for (const auto& e : take_events()) {
        EXPECT_TRUE(e.kind == EV_TXT_RECEIVED || e.kind == EV_PEER_JOINED || e.kind == EV_CHANNEL_ADDED ||
                    e.kind == EV_PEER_RENAMED)
            << int(e.kind);
    }
    EXPECT_EQ(n->status, NET_ONLINE);
    EXPECT_LE(jx_set_size(&n->peers), 2);
    sent_to_8855(0);
}

TEST_F(Dispatch, ReadLoopTakesRealDatagramsAndReturnsAfterItsBudget)
{
    JXNetwork* n = online_group();
    take_events();
    Probe peer("127.0.0.7");
    ASSERT_GE(peer.fd, 0);
    const auto pl = beacon_payload(0, other_instance('p').c_str());
    ASSERT_TRUE(peer.send_to(make_dgram(PKT_BEACON, ip(kGroup), 1, "pat", pl.data(), 36), kSelf, 8855));
    ASSERT_TRUE(peer.send_to(make_dgram(PKT_PUNCH, ip(kGroup), 2, "pat"), kSelf, 8856));

    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(jx_read_loop(), 0);
    const auto spent = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(spent, std::chrono::microseconds(JX_READ_BUDGET_US))
        << "the loop gives the network its whole turn";
    const JXPeer* p = jx_peer_from_network(ip("127.0.0.7"), n);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->port, peer.port);
    EXPECT_TRUE(log_has("\tJXPacket type not recognised: 18\r\n")) << "any type is taken on any socket";
}

TEST_F(Presence, HostsQueryingEachOtherMeetInOnePrivateNetwork)
{
    // We asked 127.0.0.6 and have no answer yet; its own query reaches us first.
    JXChannel* ch = nullptr;
    ASSERT_EQ(jx_join_network("127.0.0.6", 0, &ch), 0);
    JXNetwork* n = jx_network_by_addr(ip("127.0.0.6"));
    take_events();
    jx_clock_advance(4);
    feed(make_dgram(PKT_QUERY, ip(kSelf), 3, "host"), "127.0.0.6", 40006);
    EXPECT_TRUE(log_has("\tAlready joined\r\n"));
    EXPECT_EQ(ch->type, CH_DM);
    EXPECT_EQ(n->type, NET_DIRECT_IP_OUTGOING);
    EXPECT_EQ(n->status, NET_ONLINE);
    EXPECT_EQ(n->online_since, kFrozenNow + 4);
    EXPECT_EQ(jx_list_size(&comm.networks), 1);
    auto evs = take_events();
    ASSERT_EQ(evs.size(), 2u);
    ASSERT_EQ(evs[0].kind, EV_NET_REFRESH);
    EXPECT_EQ(evs[0].as<net_ev>()->net_addr, ip("127.0.0.6"));
    expect_user_ev(evs[1], EV_PEER_JOINED, "127.0.0.6", "127.0.0.6", "host", "");
    EXPECT_EQ(jx_peer_from_network(ip("127.0.0.6"), n)->port, 40006);
}

TEST_F(Presence, StrangersCannotGrowPeersOrNetworksWithoutBound)
{
    JXNetwork* n = online_group();
    char addr[32];
    for (int i = 0; i < JX_MAX_PEERS_PER_NETWORK; i++) {
        std::snprintf(addr, sizeof(addr), "127.1.%d.%d", i / 250, i % 250 + 1);
        add_old_peer(ip(kGroup), addr, "many", 'm');
    }
    ASSERT_EQ(jx_set_size(&n->peers), JX_MAX_PEERS_PER_NETWORK);
    add_old_peer(ip(kGroup), "127.2.0.1", "onetoomany", 'x');
    EXPECT_EQ(jx_set_size(&n->peers), JX_MAX_PEERS_PER_NETWORK);
    EXPECT_EQ(jx_peer_from_network(ip("127.2.0.1"), n), nullptr);
    EXPECT_TRUE(log_has("\tPeer limit reached on 239.7.7.7, beacon from 127.2.0.1 dropped\r\n"));
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
    EXPECT_EQ(jx_list_size(&comm.networks), JX_MAX_NETWORKS);
    EXPECT_EQ(jx_network_by_addr(ip("127.4.0.1")), nullptr);
    EXPECT_TRUE(log_has("\tNetwork limit reached, query from 127.4.0.1 dropped\r\n"));
    // The limit only refuses new networks: a known host gets the usual answer.
    feed(make_dgram(PKT_QUERY, ip(kSelf), 2, "asker"), "127.3.0.2", 40000);
    EXPECT_TRUE(log_has("\tCould not join for request\r\n"));
    take_events();
}
