// The periodic tasks on a frozen clock: query and beacon rhythms as seen on the wire (with the
// beacon's bytes), peer ageing, the offline rule, the order of the events one pass raises, and
// when the next pass is due.
#include "engine/crons.hpp"
#include "engine/texts.hpp"
#include "engine/turn.hpp"
#include "engine_fixture.hpp"

using namespace jxtest;

namespace {

using Crons = EngineFixture;

// Runs the periodic tasks once at every second from `from` to `to` (offsets from the frozen start):
// "second:type" of each datagram that reached our port 8855, and the first datagram.
Strs run_seconds(int from, int to, Dgram* first = nullptr)
{
    Strs seen;
    for (int s = from; s <= to; s++) {
        jx_clock_set(kFrozenNow + s);
        EXPECT_EQ(jx_crons_run(), 0);
        for (auto& d : sent(comm.rcv_sock, 20)) {
            if (first != nullptr && seen.empty())
                *first = d;
            seen.push_back(std::to_string(s) + ":" + std::to_string(d.type()));
        }
    }
    return seen;
}

TEST_F(Crons, GroupBeaconsEveryElevenSecondsAndANewPeerPullsTheNextForward)
{
    JXNetwork* n = join(kGroup);
    std::strcpy(comm.username, "bob");
    settle();
    // The first pass beacons at once; offline, it claims no uptime.
    Dgram b;
    ASSERT_EQ(run_seconds(0, 0, &b), Strs{"0:3"});
    EXPECT_EQ(b.brief(), "3 7.7.7.239 8855>239.7.7.7 66") << "group traffic leaves from the receiving socket";
    const std::string wire(b.bytes.begin(), b.bytes.end());
    EXPECT_EQ(wire.substr(0, 5), std::string("\x01\x55\x00\x01\x03", 5));
    EXPECT_EQ(wire.substr(13, 21), std::string("bob\0\0\0\0\0\0\0\0\0\0\0\0\0\x24\0\0\0\0", 21));
    EXPECT_EQ(wire.substr(34), comm.instance_id);

    // Our own beacon, looped back by the group, proves the network.
    feed(b.bytes, kSelf);
    EXPECT_EQ(n->status, NET_ONLINE);
    EXPECT_EQ(events(), Strs{"net_refresh 239.7.7.7"});
    Dgram b11;
    ASSERT_EQ(run_seconds(1, 22, &b11), (Strs{"11:3", "22:3"}));
    EXPECT_EQ(jx_get_be32(b11.bytes.data() + 30), 11u) << "uptime counts from going online";
    EXPECT_NE(b11.id(), b.id());

    // A newcomer at 27 pulls the beacon due at 33 forward to 30.
    jx_clock_set(kFrozenNow + 27);
    feed(beacon(ip(kGroup), "carol", 100000, 'a'), kPeer1);
    EXPECT_EQ(run_seconds(28, 41), (Strs{"30:3", "41:3"}));
}

TEST_F(Crons, OfflineAfter101SilentSecondsPeerDroppedAfter61AndEventsInTheOrderRaised)
{
    JXNetwork* group = online_group();  // own echo at 0
    // Peers' beacons go on arriving, but only our own prove the group.
    for (int s = 10; s <= 100; s += 10) {
        jx_clock_set(kFrozenNow + s);
        feed(beacon(ip(kGroup), "bob", 100000, 'a'), kPeer1);
    }
    jx_clock_set(kFrozenNow + 40);
    JXNetwork* priv = queried_by("127.0.0.5", 40000);
    // The private network's peer, silent since 40, is still allowed 60 s.
    jx_clock_set(kFrozenNow + 100);
    ASSERT_EQ(jx_crons_run(), 0);
    EXPECT_EQ(events(), Strs{});
    jx_clock_set(kFrozenNow + 101);
    ASSERT_EQ(jx_crons_run(), 0);
    EXPECT_EQ(events(), (Strs{"net_changed 239.7.7.7", "peer_dropped 127.0.0.5 127.0.0.5 host", "net_changed 127.0.0.5"}));
    EXPECT_EQ(std::make_tuple(group->status, priv->type, priv->status),
              std::make_tuple(NET_OFFLINE, NET_DIRECT_IP_INCOMING, NET_CLOSED));
    EXPECT_TRUE(log_line("Dropping host(127.0.0.5) from list - no KA received"));
    EXPECT_EQ(jx_set_size(&group->peers), 1) << "a group keeps the peers it still hears";
}

TEST_F(Crons, NextTurnIsDueAtTheSecondTheNextRuleActs)
{
    EXPECT_EQ(jx_next_due_us(), JX_DUE_NONE) << "nothing joined";
    JXNetwork* n = online_group(1);  // our echo and bob at 0
    EXPECT_EQ(jx_next_due_us(), JX_DUE_NOW) << "the first beacon";
    ASSERT_EQ(jx_crons_run(), 0);
    JXPeer* bob = jx_peer_from_network(ip(kPeer1), n);
    // Seconds from the frozen start: now, last beacon, last heard, bob last seen, last resend pass;
    // then when the next turn is due, in seconds from now.
    auto due_at = [&](int now, int beacon, int heard, int seen, int retry) {
        jx_clock_set(kFrozenNow + now);
        n->last_beacon = kFrozenNow + beacon, n->last_heard = kFrozenNow + heard;
        bob->last_seen = kFrozenNow + seen, n->last_retry = kFrozenNow + retry;
        return jx_next_due_us();
    };
    EXPECT_EQ(due_at(0, 0, 0, 0, 0), 11000000) << "beacon at 11";
    EXPECT_EQ(due_at(10, 0, 0, 0, 0), 1000000);
    EXPECT_EQ(due_at(11, 0, 0, 0, 0), JX_DUE_NOW);
    EXPECT_EQ(due_at(55, 55, 50, 0, 0), 6000000) << "bob dropped at 61";
    EXPECT_EQ(due_at(95, 95, 0, 90, 0), 6000000) << "offline at 101";
    EXPECT_EQ(due_at(200, 195, 0, 0, 0), JX_DUE_NOW) << "overdue";
    // Resend passes count only while a text is tracked.
    EXPECT_EQ(due_at(100, 100, 100, 100, 99), 11000000);
    ASSERT_EQ(jx_snd_txt(jx_ch_from_network(n, 0), "hi"), JX_TXT_OK);
    EXPECT_EQ(due_at(100, 100, 100, 100, 99), 2000000) << "resend pass at 102";
}

TEST_F(Crons, UnansweredHostIsQueriedEveryTwoSecondsAndItsAnswerMakesAnOutgoingPrivateNetwork)
{
    JXNetwork* n = join("127.0.0.6");
    settle();
    Dgram q;
    EXPECT_EQ(run_seconds(0, 6, &q), (Strs{"0:7", "2:7", "4:7", "6:7"}));
    EXPECT_EQ(jx_next_due_us(), 2000000) << "the next query";
    // From the unbound socket to port 8855 of the host (here: our own socket).
    const std::string our_port = std::to_string(local_port(comm.snd_sock));
    EXPECT_EQ(q.brief(), "7 6.0.0.127 " + our_port + ">127.0.0.6 30");

    // The host answers to that port, where the engine's turn takes it; our beacons then go to its
    // port from the same socket, network id 0 (the newcomer pulled the next one forward to 3 s after
    // the answer).
    Probe host("127.0.0.6");
    host.send_to(beacon(0, "host", 0, 'h', 21), kSelf, local_port(comm.snd_sock));
    ASSERT_EQ(jx_engine_turn(-1, 0), 0);
    EXPECT_EQ(state_of(n), std::make_tuple(NET_DIRECT_IP_OUTGOING, NET_ONLINE, 6, CH_DM));
    EXPECT_EQ(events(), Strs{"peer_joined 127.0.0.6 127.0.0.6 host"});
    EXPECT_EQ(run_seconds(7, 9), Strs{});
    const auto b = host.recv();
    EXPECT_EQ(briefs(b), Strs{"3 0.0.0.0 " + our_port + ">127.0.0.6 66"});
    EXPECT_EQ(jx_get_be32(b.at(0).bytes.data() + 30), 3u) << "uptime since the answer";

    // Silent from then on: the peer is dropped and the network closed; it asks again only once
    // joined again.
    jx_clock_set(kFrozenNow + 70);
    ASSERT_EQ(jx_crons_run(), 0);
    EXPECT_EQ(std::make_tuple(n->type, n->status), std::make_tuple(NET_UNSPEC, NET_CLOSED));
    EXPECT_EQ(jx_next_due_us(), JX_DUE_NONE) << "closed, it waits to be joined again";
    EXPECT_EQ(run_seconds(71, 80), Strs{});
    JXChannel* ch = nullptr;
    ASSERT_EQ(jx_join_network("127.0.0.6", 0, &ch), JX_JOIN_ALREADY);
    EXPECT_EQ(run_seconds(81, 83), (Strs{"81:7", "83:7"}));
}

}  // namespace
