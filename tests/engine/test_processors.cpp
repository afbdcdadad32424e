// The receive side: datagrams handed to the dispatcher (or sent for real through the read loop);
// presence and text processors checked by their state changes, their events (order and payloads)
// and the datagrams they send back.
#include <fcntl.h>

#include "engine/crons.hpp"
#include "engine/dispatcher.hpp"
#include "engine/readloop.hpp"
#include "engine/texts.hpp"
#include "engine_fixture.hpp"

using namespace jxtest;

using Presence = EngineFixture;
using Dispatch = EngineFixture;

TEST_F(Presence, OnlyPeersThatCameAfterUsAreAnnouncedAndARenameOnce)
{
    JXNetwork* n = join(kGroup);
    jx_clock_advance(5);
    feed(beacon(ip(kGroup), comm.username, 0, 0), kSelf);
    EXPECT_EQ(n->own_addr, ip(kSelf));
    settle();
    // Online for 50 s: a peer online for 51 s was there before us and is added without a notice;
    // only the screens listing peers are told.
    jx_clock_advance(50);
    feed(beacon(ip(kGroup), "old", 51, 'a'), kPeer1);
    feed(beacon(ip(kGroup), "new", 20, 'b'), kPeer2, 40001);
    feed(beacon(ip(kGroup), "same", 50, 'c'), kPeer3);
    EXPECT_EQ(events(), (Strs{"net_refresh 239.7.7.7", "peer_joined 239.7.7.7 127.0.0.3 new",
                              "peer_joined 239.7.7.7 127.0.0.4 same"}));
    EXPECT_TRUE(log_line("Joined old : 127.0.0.2"));
    EXPECT_EQ(n->last_heard, kFrozenNow + 5) << "peers' beacons do not prove the group";
    // A new name is raised once; the record takes the new name, port, time and beacon.
    jx_clock_advance(11);
    const auto renamed = beacon(ip(kGroup), "newer", 31, 'b');
    feed(renamed, kPeer2, 40100);
    feed(renamed, kPeer2, 40100);
    EXPECT_EQ(events(), Strs{"peer_renamed 239.7.7.7 127.0.0.3 newer was new"});
    const JXPeer* p = jx_peer_from_network(ip(kPeer2), n);
    EXPECT_EQ(std::make_tuple(std::string(p->username), p->port, p->last_seen, p->beacon_head[3]),
              std::make_tuple(std::string("newer"), uint16_t{40100}, kFrozenNow + 66, uint8_t{31}));
    // On a private network every newcomer is announced, whatever its uptime.
    join("127.0.0.8", NET_DIRECT_IP_INCOMING);
    settle();
    feed(beacon(0, "far", 100000, 'f'), "127.0.0.8", 40002);
    EXPECT_EQ(events(), Strs{"peer_joined 127.0.0.8 127.0.0.8 far"});
}

TEST_F(Presence, DuplicateWindowOutlastsTheResendsOfABusyNetworkAndWraps)
{
    JXNetwork* n = online_group(2);
    settle();
    JXPacket p{};
    // A resend comes up to 15 s later: at 50 texts a second, 750 other ids arrive in between. The
    // window holds the last 1024.
    const uint64_t last = 1000 + 1023;
    for (uint64_t id = 1000; id <= last; id++) {
        p.msg_id = id;
        ASSERT_FALSE(check_duplicate_id(n, &p)) << id;
    }
    // {id, duplicate?}: 5000 overwrites the oldest (1000); 1000 then takes 1001's slot, 1001 takes 1002's.
    const std::pair<uint64_t, bool> rows[] = {{1000, true},  {last, true},  {5000, false},
                                              {1000, false}, {1001, false}, {1003, true}};
    for (const auto& [id, dup] : rows) {
        p.msg_id = id;
        EXPECT_EQ(check_duplicate_id(n, &p), dup) << id;
    }
    // Texts and leaves share the window: a text with a leave's id is acknowledged, not shown. A leave
    // from a host that is no peer changes nothing.
    feed(make_dgram(PKT_LEAVE, ip(kGroup), 40, "eve"), "127.0.0.9");
    feed(make_dgram(PKT_LEAVE, ip(kGroup), 777, "carol"), kPeer2);
    feed(make_dgram(PKT_TXT_GROUP, ip(kGroup), 777, "bob", "x"), kPeer1);
    EXPECT_EQ(events(), Strs{"peer_left 239.7.7.7 127.0.0.3 carol"});
    EXPECT_EQ(briefs(sent()), Strs{"5 7.7.7.239 8855>127.0.0.2 30"});
    EXPECT_EQ(std::make_tuple(n->status, jx_set_size(&n->peers)), std::make_tuple(NET_ONLINE, 1))
        << "a group stays when peers leave";

    // Strangers cannot grow the peers without bound; known peers are still refreshed.
    char a[32];
    for (int i = 0; i < JX_MAX_PEERS_PER_NETWORK; i++) {
        std::snprintf(a, sizeof(a), "127.1.%d.%d", i / 250, i % 250 + 1);
        feed(beacon(ip(kGroup), "many", 100000, 'm'), a);
    }
    EXPECT_EQ(jx_set_size(&n->peers), JX_MAX_PEERS_PER_NETWORK);
    jx_clock_advance(5);
    feed(beacon(ip(kGroup), "many", 100000, 'm'), "127.1.0.1");
    EXPECT_EQ(jx_peer_from_network(ip("127.1.0.1"), n)->last_seen, kFrozenNow + 5);
}

TEST_F(Presence, QueryOpensAPrivateNetworkTheLastLeaveClosesItAndAQueryReopensIt)
{
    feed(make_dgram(PKT_QUERY, ip(kSelf), 11, "asker"), "127.0.0.5", 40000);
    JXNetwork* n = jx_network_by_addr(ip("127.0.0.5"));
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(state_of(n), std::make_tuple(NET_DIRECT_IP_INCOMING, NET_ONLINE, 0, CH_DM));
    EXPECT_EQ(events(), (Strs{"channel_added 127.0.0.5 0.0.0.0", "peer_joined 127.0.0.5 127.0.0.5 asker"}));
    // Queries that keep coming while it is online are ignored; so are those from our own address.
    feed(make_dgram(PKT_QUERY, ip(kSelf), 12, "asker"), "127.0.0.5", 40000);
    feed(make_dgram(PKT_QUERY, ip(kSelf), 13, "lo"), "127.0.0.1", 40000);
    EXPECT_EQ(std::make_tuple(events(), comm.networks.size), std::make_tuple(Strs{}, 1));
    EXPECT_EQ(log_count("\tCould not join for request\r\n"), 2u);
    // The last peer's leave (the duplicate is not seen) closes it.
    feed(make_dgram(PKT_LEAVE, 0, 900, "asker"), "127.0.0.5", 40000);
    feed(make_dgram(PKT_LEAVE, 0, 900, "asker"), "127.0.0.5", 40000);
    EXPECT_EQ(events(), (Strs{"peer_left 127.0.0.5 127.0.0.5 asker", "net_changed 127.0.0.5"}));
    EXPECT_EQ(std::make_tuple(n->type, n->status), std::make_tuple(NET_DIRECT_IP_INCOMING, NET_CLOSED));

    // The host asks again long after, for real through the read loop from its unbound socket: the
    // closed network opens once more, heard now, so the offline rule (100 s) does not take it down
    // again in the next pass, which beacons from port 8855 to the port the query came from.
    jx_clock_advance(150);
    Probe asker("127.0.0.5");
    asker.send_to(make_dgram(PKT_QUERY, ip(kSelf), 14, "asker"), kSelf, 8855);
    ASSERT_EQ(jx_read_loop(), 0);
    EXPECT_EQ(state_of(n), std::make_tuple(NET_DIRECT_IP_INCOMING, NET_ONLINE, 150, CH_DM));
    EXPECT_EQ(events(), (Strs{"net_refresh 127.0.0.5", "peer_joined 127.0.0.5 127.0.0.5 asker"}));
    ASSERT_EQ(jx_crons_run(), 0);
    EXPECT_EQ(n->status, NET_ONLINE);
    EXPECT_EQ(briefs(asker.recv()), Strs{"3 0.0.0.0 8855>127.0.0.5 66"});

    // Hosts querying each other meet in one network: 127.0.0.6 asks before answering our query.
    JXNetwork* o = join("127.0.0.6");
    settle();
    feed(make_dgram(PKT_QUERY, ip(kSelf), 3, "host"), "127.0.0.6", 40006);
    EXPECT_EQ(state_of(o), std::make_tuple(NET_DIRECT_IP_OUTGOING, NET_ONLINE, 150, CH_DM));
    EXPECT_EQ(std::make_tuple(events(), comm.networks.size),
              std::make_tuple(Strs{"net_refresh 127.0.0.6", "peer_joined 127.0.0.6 127.0.0.6 host"}, 2));
    // Closing the engine leaves the networks: the host hears it the same way.
    jx_comm_close();
    started = false;
    EXPECT_EQ(briefs(asker.recv()), Strs{"4 0.0.0.0 8855>127.0.0.5 30"});
}

TEST_F(Presence, ReceivedTextsAreAcknowledgedEveryTimeShownOnceAndFiledByChannel)
{
    JXNetwork* n = online_group(1);
    settle();
    jx_clock_advance(9);
    // A group text and its resend, the largest text (control bytes and all), a direct text that
    // makes bob's channel, and one from a stranger: dropped unacknowledged.
    const std::string big = "\x1b" + std::string(1438, 'q') + "E";
    feed(make_dgram(PKT_TXT_GROUP, ip(kGroup), 258, "bob", "hello there"), kPeer1);
    feed(make_dgram(PKT_TXT_GROUP, ip(kGroup), 258, "bob", "hello there"), kPeer1);
    feed(make_dgram(PKT_TXT_GROUP, ip(kGroup), 259, "bob", big), kPeer1);
    feed(make_dgram(PKT_TXT_DIRECT, ip(kGroup), 300, "bob", "psst"), kPeer1);
    feed(make_dgram(PKT_TXT_DIRECT, ip(kGroup), 301, "eve", "psst"), "127.0.0.9");
    EXPECT_EQ(events(),
              (Strs{"txt_received Main #258 239.7.7.7 127.0.0.2 @9 bob: hello there",
                    "txt_received Main #259 239.7.7.7 127.0.0.2 @9 bob: " + big, "channel_added 239.7.7.7 127.0.0.2",
                    "txt_received Net DM #300 239.7.7.7 127.0.0.2 @9 bob: psst"}));
    const auto acks = sent();
    EXPECT_EQ(briefs(acks), (Strs{"5 7.7.7.239 8855>127.0.0.2 30", "5 7.7.7.239 8855>127.0.0.2 30",
                                  "5 7.7.7.239 8855>127.0.0.2 30", "6 7.7.7.239 8855>127.0.0.2 30"}));
    EXPECT_EQ(acks[0].id(), 258u);
    EXPECT_EQ(std::make_tuple(jx_ch_from_network(n, 0)->unread, jx_ch_from_network(n, ip(kPeer1))->unread),
              std::make_tuple(uint64_t{2}, uint64_t{1}));
    EXPECT_EQ(jx_peer_from_network(ip(kPeer1), n)->last_seen, kFrozenNow + 9);

    // Our own text looped back is neither acknowledged, recorded nor shown.
    const uint8_t idx = n->recent_idx;
    feed(make_dgram(PKT_TXT_GROUP, ip(kGroup), 600, comm.username, "mine"), kSelf);
    EXPECT_EQ(std::make_tuple(events(), sent().size(), n->recent_idx), std::make_tuple(Strs{}, 0ul, idx));

    // On a private network (network id 0) any text goes to its only channel, filed under the sender.
    Probe host("127.0.0.5");
    queried_by("127.0.0.5", host.port);
    feed(make_dgram(PKT_TXT_DIRECT, 0, 302, "host", "a"), "127.0.0.5", host.port);
    feed(make_dgram(PKT_TXT_GROUP, 0, 303, "host", "b"), "127.0.0.5", host.port);
    EXPECT_EQ(events(), (Strs{"txt_received DM #302 127.0.0.5 127.0.0.5 @9 host: a",
                              "txt_received DM #303 127.0.0.5 127.0.0.5 @9 host: b"}));
    EXPECT_EQ(briefs(host.recv()), (Strs{"6 0.0.0.0 8855>127.0.0.5 30", "5 0.0.0.0 8855>127.0.0.5 30"}));
}

// The fields each type carries: texts at least a byte; beacon uptime and instance id; file offer
// id 8, digest 32, size 8, chunk size 2, port 2, name length 2; segment request id 8, segment 8,
// chunk size 2, chunk count 4; skipped-chunk request id 8, segment 8, 512-bit bitmap; chunk id 8,
// segment 8, index 8; batch done id 8, segment 8; offer ack id 8, port 2; the three transfer ends
// the id. The rest are header-only. Every type the program knows has its row, the punch (18)
// without a processor; 0, 17 and 19 on are unknown.
TEST(PacketTable, EveryKnownTypeHasItsRowAndSmallestPayload)
{
    const size_t want[] = {0, 1, 1, 36, 0, 0, 0, 0, 54, 22, 80, 24, 16, 10, 8, 8, 8, 0, 0, 0};
    for (int type = 0; type < 256; type++) {
        const JXPacketRow* row = jx_packet_row(static_cast<uint8_t>(type));
        const bool known = (type >= 1 && type <= 16) || type == 18;
        ASSERT_EQ(row != nullptr, known) << type;
        EXPECT_EQ(row != nullptr ? row->min_payload : 0, type < 20 ? want[type] : 0) << type;
        if (row != nullptr) {
            EXPECT_EQ(row->proc == nullptr, type == PKT_PUNCH) << type;
        }
    }
}

TEST_F(Dispatch, MalformedAndStrayDatagramsAreDroppedWithTheirLogLine)
{
    JXNetwork* n = online_group(1);
    settle();
    // Too short for their type: a 3-byte beacon, an empty text, a beacon cut after 35 of its 36
    // bytes, and only the header's start (decoded from zeros: a beacon with no payload).
    feed(make_dgram(PKT_BEACON, ip(kGroup), 1, "eve", "abc"), "127.0.0.9");
    feed(make_dgram(PKT_TXT_DIRECT, ip(kGroup), 3, "bob"), kPeer1);
    auto cut = beacon(ip(kGroup), "eve", 0, 'e', 4);
    cut.resize(JX_HEADER_LEN + 35);
    feed(cut, "127.0.0.9");
    feed({0x01, 0x55, 0x00, 0x01, PKT_BEACON}, "127.0.0.9");
    EXPECT_EQ(log_count("\tMalformed packet type 3 from 127.0.0.9 dropped"), 3u);
    // Packets of networks not joined, one the decoder refuses, and a type without a processor
    // (logged as a signed byte).
    feed(beacon(ip("239.9.9.9"), "x", 0, 'a'), kPeer1);
    feed(make_dgram(PKT_TXT_GROUP, 0, 5, "x", "hi"), kPeer1);
    auto too_long = make_dgram(PKT_LEAVE, ip(kGroup), 6, "bob");
    jx_put_be16(too_long.data() + JX_OFF_PAYLOAD_LEN, 1441);
    feed(too_long, kPeer1);
    feed(make_dgram(200, ip(kGroup), 9, "bob"), kPeer1);
    EXPECT_TRUE(log_line("JXPacket type not recognised: -56"));
    // None of it was shown, acknowledged or changed the network.
    EXPECT_EQ(std::make_tuple(events(), sent().size(), jx_set_size(&n->peers)),
              std::make_tuple(Strs{}, 0ul, 1));
    // A text that declares more than arrived is taken for what arrived.
    auto short_txt = make_dgram(PKT_TXT_GROUP, ip(kGroup), 5, "bob", "abcdefgh");
    short_txt.resize(33);
    feed(short_txt, kPeer1);
    EXPECT_EQ(events(), Strs{"txt_received Main #5 239.7.7.7 127.0.0.2 @0 bob: abc"});
}

TEST_F(Dispatch, ReadLoopTakesDatagramsOnEverySocketEndsAnIdleWaitAndStopsOnASelectFailure)
{
    JXNetwork* n = online_group();
    Probe peer("127.0.0.7");
    peer.send_to(beacon(ip(kGroup), "pat", 0, 'p', 1), kSelf, 8855);
    peer.send_to(make_dgram(PKT_PUNCH, ip(kGroup), 2, "pat"), kSelf, 8856);
    // An idle turn allowed to wait an hour takes what came and ends; so does one woken by a key,
    // whose byte stays for the reader. (A turn that does not end is cut by the alarm.)
    int key[2];
    ASSERT_EQ(pipe2(key, O_NONBLOCK), 0);
    alarm(60);
    ASSERT_EQ(jx_read_loop(3600LL * 1000000, key[0]), 0);
    ASSERT_NE(jx_peer_from_network(ip("127.0.0.7"), n), nullptr);
    EXPECT_EQ(jx_peer_from_network(ip("127.0.0.7"), n)->port, peer.port);
    EXPECT_TRUE(log_line("JXPacket type not recognised: 18"));
    ASSERT_EQ(write(key[1], "k", 1), 1);
    ASSERT_EQ(jx_read_loop(3600LL * 1000000, key[0]), 0);
    alarm(0);
    char k = 0;
    EXPECT_EQ(read(key[0], &k, 1), 1);
    close(key[0]), close(key[1]);
    // Closing the socket behind the engine's back makes select fail with EBADF.
    ASSERT_EQ(close(comm.rcv_sock), 0);
    EXPECT_EQ(jx_read_loop(), 1);
    EXPECT_EQ(comm.running, 0);
    EXPECT_TRUE(log_line("Select failed - 9 in jx_read_loop"));
    comm.rcv_sock = -1;  // keep the engine's close from closing a number someone else may reuse
}
