// What leaves the engine: the presence and acknowledgement packets byte by byte, the socket (seen
// as the source port) and the cases where nothing may leave.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/senders.hpp"
#include "engine_fixture.hpp"

using namespace jxtest;

namespace {

using Senders = EngineFixture;

TEST_F(Senders, BeaconFromBobOn224_0_0_1ByteByByte)
{
    JXNetwork* n = join("224.0.0.1");
    std::strcpy(comm.username, "bob");
    sent_to_8855(0);

    ASSERT_EQ(jx_snd_beacon(n), 0);  // offline: uptime 0
    auto r = sent_to_8855();         // multicast loops back to our own socket
    ASSERT_EQ(r.size(), 1u);
    ASSERT_EQ(r[0].bytes.size(), 66u);
    const uint8_t head[] = {0x01, 0x55, 0x00, 0x01, 0x03, 0x01, 0x00, 0x00, 0xE0};
    EXPECT_EQ(std::memcmp(r[0].bytes.data(), head, sizeof(head)), 0);
    EXPECT_EQ(std::memcmp(r[0].bytes.data() + 13, "bob\0\0\0\0\0\0\0\0\0\0\0\0\0\x24\0\0\0\0", 21), 0);
    EXPECT_EQ(std::memcmp(r[0].bytes.data() + 34, comm.instance_id, 32), 0);
    EXPECT_EQ(r[0].from_port, 8855);  // group traffic leaves from the receiving socket
    EXPECT_NE(r[0].id(), 0u);

    jx_set_network_status(n, NET_ONLINE);
    jx_clock_advance(75);
    ASSERT_EQ(jx_snd_beacon(n), 0);
    auto again = sent_to_8855();
    ASSERT_EQ(again.size(), 1u);
    const uint8_t uptime[] = {0x00, 0x00, 0x00, 0x4B};
    EXPECT_EQ(std::memcmp(again[0].bytes.data() + 30, uptime, 4), 0);
    EXPECT_NE(again[0].id(), r[0].id()) << "every beacon has a fresh id";

    // A closed network has nothing to count from: uptime 0 rather than seconds since 1970.
    n->status = NET_CLOSED;
    n->online_since = 0;
    ASSERT_EQ(jx_snd_beacon(n), 0);
    again = sent_to_8855();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].be32_at(30), 0u);

    // The broadcast network follows the group rules: receiving socket, its own address, port 8855.
    JXNetwork* b = join("255.255.255.255");
    EXPECT_EQ(get_socket_4snd(b), comm.rcv_sock);
    EXPECT_EQ(jx_get_addr_4srlz(b), INADDR_BROADCAST);
    EXPECT_EQ(get_port_4snd(b), 8855);
}

TEST_F(Senders, AcknowledgementsReuseTheTextIdAndNothingLeavesOnceThePeerIsGone)
{
    Probe peer("127.0.0.24");
    JXNetwork* d = queried_by("127.0.0.24", peer.port);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(jx_txt_ack_snd(d, peer.addr, 258, PKT_TXT_DIRECT), 0);
    ASSERT_EQ(jx_txt_ack_snd(d, peer.addr, 7, PKT_TXT_GROUP), 0);
    // Only the two text types are acknowledged.
    EXPECT_EQ(jx_txt_ack_snd(d, peer.addr, 7, PKT_BEACON), 2);
    EXPECT_EQ(jx_txt_ack_snd(d, peer.addr, 7, PKT_TXT_GROUP_ACK), 2);
    auto r = peer.recv();
    ASSERT_EQ(r.size(), 2u);
    ASSERT_EQ(r[0].bytes.size(), 30u);
    EXPECT_EQ(r[0].type(), PKT_TXT_DIRECT_ACK);
    const uint8_t id[] = {0x00, 0x00, 0x01, 0x02};
    EXPECT_EQ(std::memcmp(r[0].bytes.data() + 9, id, 4), 0);
    EXPECT_EQ(r[1].type(), PKT_TXT_GROUP_ACK);

    // Without its peer a private network has no port to send to.
    void* key = jx_peer_from_network(peer.addr, d);
    ASSERT_EQ(jx_set_remove(&d->peers, &key), 0);
    std::free(key);
    EXPECT_EQ(jx_snd_beacon(d), 1);
    EXPECT_EQ(jx_snd_query(d), 1);
    EXPECT_EQ(jx_snd_leave(d), 1);
    EXPECT_TRUE(peer.recv().empty());
    EXPECT_EQ(log_count("\tComputed dst port to 0, error!\r\n"), 3u);
}

TEST_F(Senders, PunchLeavesFromTheDataSocket)
{
    Probe remote("127.0.0.28");
    ASSERT_EQ(jx_snd_punch(join("224.5.5.5"), remote.addr, remote.port), 0);
    auto r = remote.recv();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type(), PKT_PUNCH);
    EXPECT_EQ(r[0].net_id(), (std::vector<uint8_t>{5, 5, 5, 224}));
    EXPECT_EQ(r[0].bytes.size(), 30u);
    EXPECT_EQ(r[0].from_port, 8856);
}

}  // namespace
