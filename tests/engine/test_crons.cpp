// The periodic tasks on a frozen clock: the query and beacon rhythms as seen on the wire, peer
// ageing, the offline rule, closing private networks, the order of the events raised in one pass,
// and the task queue.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "engine/crons.hpp"
#include "engine/events.hpp"
#include "engine_fixture.hpp"

using namespace jxtest;

namespace {

using Crons = EngineFixture;

// Runs the periodic tasks once at every second from `from` to `to` (offsets from the frozen start)
// and gives what reached our own port 8855, with the second it was sent in.
std::vector<std::pair<int, Dgram>> run_seconds(int from, int to)
{
    std::vector<std::pair<int, Dgram>> seen;
    for (int s = from; s <= to; s++) {
        jx_clock_set(kFrozenNow + s);
        EXPECT_EQ(jx_crons_run(), 0);
        for (auto& d : sent_to_8855(20))
            seen.emplace_back(s, std::move(d));
    }
    return seen;
}

// The seconds in which a datagram of `type` was seen, and the first such datagram.
std::vector<int> seconds_of(const std::vector<std::pair<int, Dgram>>& seen, uint8_t type,
                            Dgram* first = nullptr)
{
    std::vector<int> at;
    for (const auto& [s, d] : seen) {
        if (d.type() == type && first != nullptr && at.empty())
            *first = d;
        if (d.type() == type)
            at.push_back(s);
    }
    return at;
}

TEST_F(Crons, UnansweredHostIsQueriedEveryTwoSecondsAndNeverBeaconed)
{
    JXNetwork* n = join("127.0.0.9");
    sent_to_8855(0);
    const auto seen = run_seconds(0, 10);
    EXPECT_EQ(seconds_of(seen, PKT_QUERY), (std::vector<int>{0, 2, 4, 6, 8, 10}));
    EXPECT_EQ(seen.size(), 6u) << "queries only";
    for (const auto& [sec, d] : seen)
        EXPECT_EQ(d.to_addr, ip("127.0.0.9")) << sec;
    EXPECT_EQ(n->status, NET_OFFLINE);
}

TEST_F(Crons, GroupBeaconsEveryElevenSecondsAndItsEchoBringsItOnline)
{
    JXNetwork* n = join(kGroup);
    settle();

    // The first pass after joining beacons at once; offline, it claims no uptime.
    ASSERT_EQ(jx_crons_run(), 0);
    auto first = sent_to_8855();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].to_addr, ip(kGroup));
    EXPECT_EQ(first[0].bytes.size(), 66u);
    EXPECT_EQ(first[0].type(), PKT_BEACON);
    EXPECT_EQ(first[0].be32_at(30), 0u);

    // Our own beacon, looped back by the group, proves the network.
    feed(first[0].bytes, kSelf);
    EXPECT_EQ(n->status, NET_ONLINE);
    EXPECT_EQ(kinds(take_events()), std::vector<uint8_t>{EV_NET_REFRESH});

    const auto seen = run_seconds(1, 33);
    Dgram b11;
    ASSERT_EQ(seconds_of(seen, PKT_BEACON, &b11), (std::vector<int>{11, 22, 33}));
    EXPECT_EQ(b11.be32_at(30), 11u) << "uptime counts from going online";
}

TEST_F(Crons, NewPeerPullsTheNextBeaconForwardToWithinThreeSeconds)
{
    JXNetwork* n = online_group();
    ASSERT_EQ(jx_crons_run(), 0);  // beacon at 0
    sent_to_8855(0);
    jx_clock_set(kFrozenNow + 5);
    add_old_peer(ip(kGroup), kPeer1, "bob", 'a');
    EXPECT_EQ(n->last_beacon, kFrozenNow - 3);
    EXPECT_EQ(seconds_of(run_seconds(6, 12), PKT_BEACON), (std::vector<int>{8}));
    // A known peer pulls nothing; nor does a newcomer when the last beacon is older than 8 s.
    add_old_peer(ip(kGroup), kPeer1, "bob", 'a');
    EXPECT_EQ(n->last_beacon, kFrozenNow + 8);
    jx_clock_set(kFrozenNow + 17);
    add_old_peer(ip(kGroup), kPeer2, "carol", 'b');
    EXPECT_EQ(n->last_beacon, kFrozenNow + 8);
}

TEST_F(Crons, OfflineAfter101SilentSecondsAndEventsInTheOrderRaised)
{
    JXNetwork* group = online_group();  // own echo at 0
    // Peers' beacons go on arriving, but only our own prove the group.
    for (int s = 10; s <= 100; s += 10) {
        jx_clock_set(kFrozenNow + s);
        add_old_peer(ip(kGroup), kPeer1, "bob", 'a');
    }
    jx_clock_set(kFrozenNow + 40);
    JXNetwork* priv = queried_by("127.0.0.5", 40000);

    // The private network's peer, silent since 40, is still allowed 60 s.
    jx_clock_set(kFrozenNow + 100);
    ASSERT_EQ(jx_crons_run(), 0);
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(group->status, NET_ONLINE);
    EXPECT_EQ(priv->status, NET_ONLINE);

    jx_clock_set(kFrozenNow + 101);
    sent_to_8855(0);
    ASSERT_EQ(jx_crons_run(), 0);
    auto evs = take_events();
    ASSERT_EQ(kinds(evs), (std::vector<uint8_t>{EV_NET_CHANGED, EV_PEER_DROPPED, EV_NET_CHANGED}));
    EXPECT_EQ(evs[0].as<net_ev>()->net_addr, ip(kGroup));
    expect_user_ev(evs[1], EV_PEER_DROPPED, "127.0.0.5", "127.0.0.5", "host");
    EXPECT_EQ(evs[2].as<net_ev>()->net_addr, ip("127.0.0.5"));
    EXPECT_EQ(group->status, NET_OFFLINE);
    EXPECT_EQ(group->online_since, 0);
    EXPECT_EQ(priv->status, NET_CLOSED);
    EXPECT_EQ(priv->type, NET_DIRECT_IP_INCOMING);
    EXPECT_TRUE(log_line("Dropping host(127.0.0.5) from list - no KA received"));
    EXPECT_EQ(jx_set_size(&group->peers), 1) << "a group keeps the peers it still hears";

    // Offline, the group's beacons claim no uptime again; the closed private network keeps trying to
    // beacon and fails for want of its peer's port.
    const size_t port_errors = log_count("\tComputed dst port to 0, error!\r\n");
    Dgram b;
    ASSERT_FALSE(seconds_of(run_seconds(102, 112), PKT_BEACON, &b).empty());
    EXPECT_EQ(b.be32_at(30), 0u);
    EXPECT_GT(log_count("\tComputed dst port to 0, error!\r\n"), port_errors);
}

TEST_F(Crons, ClosedOutgoingNetworkStaysQuietUntilJoinedAgain)
{
    JXNetwork* n = join("127.0.0.6");
    feed(beacon(0, "host", 0, other_instance('h'), 5), "127.0.0.6", 40002);
    ASSERT_EQ(n->type, NET_DIRECT_IP_OUTGOING);
    jx_clock_set(kFrozenNow + 61);
    ASSERT_EQ(jx_crons_run(), 0);
    EXPECT_EQ(n->status, NET_CLOSED);
    EXPECT_EQ(n->type, NET_UNSPEC);
    take_events();

    sent_to_8855(0);
    EXPECT_TRUE(run_seconds(62, 80).empty());

    // Joined again, it asks once more.
    JXChannel* ch = nullptr;
    ASSERT_EQ(jx_join_network("127.0.0.6", 0, &ch), JX_JOIN_ALREADY);
    EXPECT_EQ(n->status, NET_OFFLINE);
    EXPECT_EQ(seconds_of(run_seconds(81, 83), PKT_QUERY), (std::vector<int>{81, 83}));
}

}  // namespace
