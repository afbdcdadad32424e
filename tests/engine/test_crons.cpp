// The periodic tasks on a frozen clock: the query and beacon rhythms as seen on the wire, peer
// ageing, the offline rule, closing private networks, the order of the events raised in one pass,
// and the task queue.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/comm.hpp"
#include "engine/crons.hpp"
#include "engine/events.hpp"
#include "engine/utils.hpp"
#include "presence_helpers.hpp"

using namespace jxtest;

namespace {

using Crons = EngineFixture;

// Runs the periodic tasks once at every second from `from` to `to` (offsets from the frozen start)
// and gives, per second, the datagrams that reached our own port 8855.
std::vector<std::vector<Looped>> run_seconds(int from, int to)
{
    std::vector<std::vector<Looped>> out;
    for (int s = from; s <= to; s++) {
        jx_clock_set(kFrozenNow + s);
        EXPECT_EQ(jx_crons_run(), 0);
        out.push_back(sent_to_8855(20));
    }
    return out;
}

std::vector<int> seconds_with(const std::vector<std::vector<Looped>>& per_second, int first, uint8_t type)
{
    std::vector<int> at;
    for (size_t i = 0; i < per_second.size(); i++) {
        for (const auto& l : per_second[i]) {
            if (dgram_type(l) == type)
                at.push_back(first + static_cast<int>(i));
        }
    }
    return at;
}

}  // namespace

TEST_F(Crons, UnansweredHostIsQueriedEveryTwoSecondsAndNeverBeaconed)
{
    JXChannel* ch = nullptr;
    ASSERT_EQ(jx_join_network("127.0.0.9", 0, &ch), 0);
    JXNetwork* n = jx_network_by_addr(ip("127.0.0.9"));
    sent_to_8855(0);
    const auto seen = run_seconds(0, 10);
    EXPECT_EQ(seconds_with(seen, 0, PKT_QUERY), (std::vector<int>{0, 2, 4, 6, 8, 10}));
    EXPECT_TRUE(seconds_with(seen, 0, PKT_BEACON).empty());
    for (const auto& sec : seen) {
        for (const auto& l : sec)
            EXPECT_EQ(l.to_addr, ip("127.0.0.9"));
    }
    EXPECT_EQ(n->status, NET_OFFLINE);
    EXPECT_EQ(n->last_beacon, kFrozenNow + 10);
}

TEST_F(Crons, GroupBeaconsEveryElevenSecondsAndItsEchoBringsItOnline)
{
    JXChannel* ch = nullptr;
    ASSERT_EQ(jx_join_network(kGroup, 0, &ch), 0);
    JXNetwork* n = jx_network_by_addr(ip(kGroup));
    take_events();
    sent_to_8855(0);

    // The first pass after joining beacons at once; offline, it claims no uptime.
    ASSERT_EQ(jx_crons_run(), 0);
    auto first = sent_to_8855();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].to_addr, ip(kGroup));
    ASSERT_EQ(first[0].bytes.size(), 66u);
    EXPECT_EQ(dgram_type(first[0]), PKT_BEACON);
    EXPECT_EQ(std::vector<uint8_t>(first[0].bytes.begin() + 5, first[0].bytes.begin() + 9),
              (std::vector<uint8_t>{7, 7, 7, 239}));
    EXPECT_EQ(jx_get_be32(first[0].bytes.data() + 30), 0u);
    EXPECT_EQ(std::memcmp(first[0].bytes.data() + 34, comm.instance_id, 32), 0);

    // Our own beacon, looped back by the group, proves the network.
    feed(first[0].bytes, kSelf);
    EXPECT_EQ(n->status, NET_ONLINE);
    EXPECT_EQ(event_kinds(take_events()), std::vector<uint8_t>{EV_NET_REFRESH});

    const auto seen = run_seconds(1, 33);
    const auto at = seconds_with(seen, 1, PKT_BEACON);
    ASSERT_EQ(at, (std::vector<int>{11, 22, 33}));
    const auto& b11 = seen[11 - 1].front();
    EXPECT_EQ(jx_get_be32(b11.bytes.data() + 30), 11u) << "uptime counts from going online";
    EXPECT_EQ(jx_get_be32(seen[33 - 1].front().bytes.data() + 30), 33u);
}

TEST_F(Crons, NewPeerPullsTheNextBeaconForwardToWithinThreeSeconds)
{
    JXNetwork* n = online_group();
    ASSERT_EQ(jx_crons_run(), 0);  // beacon at 0
    sent_to_8855(0);
    jx_clock_set(kFrozenNow + 5);
    feed_beacon(ip(kGroup), kPeer1, "bob", 1, other_instance('a').c_str());
    EXPECT_EQ(n->last_beacon, kFrozenNow - 3);
    const auto seen = run_seconds(6, 12);
    EXPECT_EQ(seconds_with(seen, 6, PKT_BEACON), (std::vector<int>{8}));
}

TEST_F(Crons, PeersSilentFor61SecondsAreDropped)
{
    JXNetwork* n = online_group();
    add_old_peer(ip(kGroup), kPeer1, "bob", 'a');
    jx_clock_set(kFrozenNow + 30);
    add_old_peer(ip(kGroup), kPeer2, "carol", 'b');
    take_events();

    jx_clock_set(kFrozenNow + 60);
    ASSERT_EQ(jx_crons_run(), 0);
    EXPECT_EQ(jx_set_size(&n->peers), 2) << "60 s of silence is still allowed";
    EXPECT_TRUE(take_events().empty());

    jx_clock_set(kFrozenNow + 61);
    ASSERT_EQ(jx_crons_run(), 0);
    auto evs = take_events();
    ASSERT_EQ(evs.size(), 1u);
    ASSERT_EQ(evs[0].kind, EV_PEER_DROPPED);
    const auto* u = evs[0].as<user_ev>();
    EXPECT_EQ(u->net_addr, ip(kGroup));
    EXPECT_EQ(u->peer_addr, ip(kPeer1));
    EXPECT_STREQ(u->name1, "bob");
    EXPECT_STREQ(u->name2, "");
    EXPECT_EQ(jx_peer_from_network(ip(kPeer1), n), nullptr);
    EXPECT_NE(jx_peer_from_network(ip(kPeer2), n), nullptr);
    EXPECT_TRUE(log_has("\tDropping bob(127.0.0.2) from list - no KA received\r\n"));
    EXPECT_EQ(n->status, NET_ONLINE) << "a group network does not close when peers go";

    jx_clock_set(kFrozenNow + 91);
    ASSERT_EQ(jx_crons_run(), 0);
    EXPECT_EQ(jx_set_size(&n->peers), 0);
    EXPECT_EQ(event_kinds(take_events()), std::vector<uint8_t>{EV_PEER_DROPPED});
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
    feed(make_dgram(PKT_QUERY, ip(kSelf), 1, "host"), "127.0.0.5", 40000);
    JXNetwork* priv = jx_network_by_addr(ip("127.0.0.5"));
    ASSERT_NE(priv, nullptr);
    take_events();

    jx_clock_set(kFrozenNow + 100);
    ASSERT_EQ(jx_crons_run(), 0);
    EXPECT_TRUE(take_events().empty());
    EXPECT_EQ(group->status, NET_ONLINE);
    EXPECT_EQ(priv->status, NET_ONLINE);

    jx_clock_set(kFrozenNow + 101);
    sent_to_8855(0);
    ASSERT_EQ(jx_crons_run(), 0);
    auto evs = take_events();
    ASSERT_EQ(event_kinds(evs), (std::vector<uint8_t>{EV_NET_CHANGED, EV_PEER_DROPPED, EV_NET_CHANGED}));
    EXPECT_EQ(evs[0].as<net_ev>()->net_addr, ip(kGroup));
    EXPECT_EQ(evs[1].as<user_ev>()->net_addr, ip("127.0.0.5"));
    EXPECT_EQ(evs[1].as<user_ev>()->peer_addr, ip("127.0.0.5"));
    EXPECT_STREQ(evs[1].as<user_ev>()->name1, "host");
    EXPECT_EQ(evs[2].as<net_ev>()->net_addr, ip("127.0.0.5"));
    EXPECT_EQ(group->status, NET_OFFLINE);
    EXPECT_EQ(group->online_since, 0);
    EXPECT_EQ(priv->status, NET_CLOSED);
    EXPECT_EQ(priv->type, NET_DIRECT_IP_INCOMING);

    // Offline, the group's beacons claim no uptime again; the closed private network keeps trying to
    // beacon and fails for want of its peer's port.
    const size_t port_errors = log_count("\tComputed dst port to 0, error!\r\n");
    const auto seen = run_seconds(102, 112);
    const auto at = seconds_with(seen, 102, PKT_BEACON);
    ASSERT_FALSE(at.empty());
    EXPECT_EQ(jx_get_be32(seen[at[0] - 102].front().bytes.data() + 30), 0u);
    EXPECT_GT(log_count("\tComputed dst port to 0, error!\r\n"), port_errors);
}

TEST_F(Crons, ClosedOutgoingNetworkStaysQuietUntilJoinedAgain)
{
    JXChannel* ch = nullptr;
    ASSERT_EQ(jx_join_network("127.0.0.6", 0, &ch), 0);
    feed_beacon(0, "127.0.0.6", "host", 0, other_instance('h').c_str(), 5, 40002);
    JXNetwork* n = jx_network_by_addr(ip("127.0.0.6"));
    ASSERT_EQ(n->type, NET_DIRECT_IP_OUTGOING);
    jx_clock_set(kFrozenNow + 61);
    ASSERT_EQ(jx_crons_run(), 0);
    EXPECT_EQ(n->status, NET_CLOSED);
    EXPECT_EQ(n->type, NET_UNSPEC);
    take_events();

    sent_to_8855(0);
    const auto seen = run_seconds(62, 80);
    EXPECT_TRUE(seconds_with(seen, 62, PKT_QUERY).empty());
    EXPECT_TRUE(seconds_with(seen, 62, PKT_BEACON).empty());

    // Joined again, it asks once more.
    ASSERT_EQ(jx_join_network("127.0.0.6", 0, &ch), 2);
    EXPECT_EQ(n->status, NET_OFFLINE);
    const auto again = run_seconds(81, 83);
    EXPECT_EQ(seconds_with(again, 81, PKT_QUERY), (std::vector<int>{81, 83}));
}

TEST_F(Crons, TaskQueueKeepsVerificationsForLaterAndDropsEmptyTasks)
{
    auto* payload = std::calloc(1, 64);
    ASSERT_EQ(jx_comm_add_task(TASK_VERIFY_DOWNLOAD, nullptr), 0);
    ASSERT_EQ(jx_comm_add_task(TASK_VERIFY_DOWNLOAD, payload), 0);
    ASSERT_EQ(jx_comm_add_task(9, nullptr), 0);
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(jx_crons_run(), 0);

    ASSERT_EQ(jx_list_size(&comm.tasks), 2);
    const auto* t1 = static_cast<const JXTask*>(jx_list_data(jx_list_head(&comm.tasks)));
    const auto* t2 = static_cast<const JXTask*>(jx_list_data(jx_list_next(jx_list_head(&comm.tasks))));
    EXPECT_EQ(t1->kind, TASK_VERIFY_DOWNLOAD);
    EXPECT_EQ(t1->payload, payload);
    EXPECT_EQ(t2->kind, 9);
    EXPECT_EQ(log_count("\tTask without payload dropped\r\n"), 1u);
    EXPECT_EQ(log_count("\tTask kind 1 not handled yet\r\n"), 1u) << "noted once, not every turn";
    EXPECT_TRUE(take_events().empty());
    // The queue's destroy callback frees only the records.
    std::free(payload);
}
