// What leaves the engine for each kind of network: socket (seen as the source port), header
// network id, destination port, and the presence and text packets byte by byte.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/comm.hpp"
#include "engine/matchers.hpp"
#include "engine/senders.hpp"
#include "engine/utils.hpp"
#include "engine_fixture.hpp"

using namespace jxtest;

namespace {

class Senders : public EngineFixture {
  protected:
    // A private network with `remote` as its only peer, as after the remote host's query.
    JXNetwork* private_net(const Probe& remote, uint8_t type)
    {
        JXChannel* ch = nullptr;
        EXPECT_EQ(jx_join_network(jx_ip_str(remote.addr).s, type, &ch), 0);
        JXNetwork* n = jx_network_by_addr(remote.addr);
        const JXPacket q = decode(make_dgram(PKT_QUERY, 0, 9, "remote"), remote.addr, remote.port);
        EXPECT_EQ(jx_add_peer(n, &q), JX_PEER_ADDED);
        take_events();
        return n;
    }

    static uint16_t local_port(int sock)
    {
        sockaddr_in a{};
        socklen_t len = sizeof(a);
        getsockname(sock, reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }
};

JXPacket parse(const Received& r)
{
    JXPacket p{};
    EXPECT_EQ(jx_unserialize(r.bytes.data(), r.bytes.size(), r.from_addr, htons(r.from_port), &p), 0);
    return p;
}

}  // namespace

TEST_F(Senders, RulesPickSocketNetworkIdAndPortPerNetworkType)
{
    JXNetwork* m = nullptr;
    JXChannel* ch = nullptr;
    ASSERT_EQ(jx_join_network("224.1.2.3", 0, &ch), 0);
    m = jx_network_by_addr(ip("224.1.2.3"));
    ASSERT_EQ(jx_join_network("255.255.255.255", 0, &ch), 0);
    JXNetwork* b = jx_network_by_addr(ip("255.255.255.255"));
    ASSERT_EQ(jx_join_network("10.0.0.7", 0, &ch), 0);
    JXNetwork* u = jx_network_by_addr(ip("10.0.0.7"));

    EXPECT_EQ(get_socket_4snd(m), comm.rcv_sock);
    EXPECT_EQ(get_socket_4snd(b), comm.rcv_sock);
    EXPECT_EQ(get_socket_4snd(u), comm.snd_sock);
    EXPECT_EQ(jx_get_addr_4srlz(m), ip("224.1.2.3"));
    EXPECT_EQ(jx_get_addr_4srlz(b), ip("255.255.255.255"));
    EXPECT_EQ(jx_get_addr_4srlz(u), ip("10.0.0.7"));
    EXPECT_EQ(get_port_4snd(m), 8855);
    EXPECT_EQ(get_port_4snd(b), 8855);
    EXPECT_EQ(get_port_4snd(u), 8855);

    Probe in_peer("127.0.0.20");
    JXNetwork* in = private_net(in_peer, NET_DIRECT_IP_INCOMING);
    Probe out_peer("127.0.0.21");
    JXNetwork* out = private_net(out_peer, NET_DIRECT_IP_OUTGOING);
    EXPECT_EQ(get_socket_4snd(in), comm.rcv_sock);
    EXPECT_EQ(get_socket_4snd(out), comm.snd_sock);
    EXPECT_EQ(jx_get_addr_4srlz(in), 0u);
    EXPECT_EQ(jx_get_addr_4srlz(out), 0u);
    EXPECT_EQ(get_port_4snd(in), in_peer.port);
    EXPECT_EQ(get_port_4snd(out), out_peer.port);
}

TEST_F(Senders, BeaconCarriesUptimeAndInstanceIdAndComesBackOnMulticast)
{
    JXChannel* ch = nullptr;
    ASSERT_EQ(jx_join_network("224.0.0.1", 0, &ch), 0);
    JXNetwork* n = jx_network_by_addr(ip("224.0.0.1"));
    std::strcpy(comm.username, "bob");
    drain_socket(comm.rcv_sock);

    ASSERT_EQ(jx_snd_beacon(n), 0);  // offline: uptime 0
    Received r;
    ASSERT_TRUE(recv_within(comm.rcv_sock, &r));
    ASSERT_EQ(r.bytes.size(), 66u);
    const uint8_t head[] = {0x01, 0x55, 0x00, 0x01, 0x03, 0x01, 0x00, 0x00, 0xE0};
    EXPECT_EQ(std::memcmp(r.bytes.data(), head, sizeof(head)), 0);
    EXPECT_EQ(std::memcmp(r.bytes.data() + 13, "bob\0\0\0\0\0\0\0\0\0\0\0\0", 15), 0);
    EXPECT_EQ(jx_get_be16(r.bytes.data() + 28), 36);
    EXPECT_EQ(jx_get_be32(r.bytes.data() + 30), 0u);
    EXPECT_EQ(std::memcmp(r.bytes.data() + 34, comm.instance_id, 32), 0);
    EXPECT_EQ(r.from_port, 8855);  // multicast traffic leaves from the receiving socket
    const uint32_t first_id = jx_get_be32(r.bytes.data() + 9);
    EXPECT_NE(first_id, 0u);

    jx_set_network_status(n, NET_ONLINE);
    jx_clock_advance(75);
    ASSERT_EQ(jx_snd_beacon(n), 0);
    ASSERT_TRUE(recv_within(comm.rcv_sock, &r));
    const uint8_t uptime[] = {0x00, 0x00, 0x00, 0x4B};
    EXPECT_EQ(std::memcmp(r.bytes.data() + 30, uptime, 4), 0);
    EXPECT_NE(jx_get_be32(r.bytes.data() + 9), first_id);  // every beacon has a fresh id

    // A closed network has nothing to count from: uptime 0 rather than seconds since 1970.
    n->status = NET_CLOSED;
    n->online_since = 0;
    ASSERT_EQ(jx_snd_beacon(n), 0);
    ASSERT_TRUE(recv_within(comm.rcv_sock, &r));
    EXPECT_EQ(jx_get_be32(r.bytes.data() + 30), 0u);
}

TEST_F(Senders, PrivateNetworkTrafficGoesToThePeersPortWithNetworkIdZero)
{
    Probe in_peer("127.0.0.22");
    JXNetwork* in = private_net(in_peer, NET_DIRECT_IP_INCOMING);
    Probe out_peer("127.0.0.23");
    JXNetwork* out = private_net(out_peer, NET_DIRECT_IP_OUTGOING);

    ASSERT_EQ(jx_snd_beacon(in), 0);
    Received r;
    ASSERT_TRUE(in_peer.recv(&r));
    JXPacket p = parse(r);
    EXPECT_EQ(p.type, PKT_BEACON);
    EXPECT_EQ(p.net_id, 0u);
    EXPECT_EQ(r.from_port, 8855);

    ASSERT_EQ(jx_snd_beacon(out), 0);
    ASSERT_TRUE(out_peer.recv(&r));
    EXPECT_EQ(parse(r).net_id, 0u);
    EXPECT_EQ(r.from_port, local_port(comm.snd_sock));  // the ephemeral port the remote answers to
    EXPECT_NE(r.from_port, 8855);

    ASSERT_EQ(jx_snd_leave(out), 0);
    ASSERT_TRUE(out_peer.recv(&r));
    EXPECT_EQ(parse(r).type, PKT_LEAVE);
    EXPECT_EQ(r.bytes.size(), 30u);

    // Once the peer is gone there is nowhere to send: nothing leaves.
    void* key = jx_peer_from_network(in_peer.addr, in);
    ASSERT_EQ(jx_set_remove(&in->peers, &key), 0);
    std::free(key);
    EXPECT_EQ(get_port_4snd(in), 0);
    EXPECT_EQ(jx_snd_beacon(in), 1);
    EXPECT_EQ(jx_snd_query(in), 1);
    EXPECT_EQ(jx_snd_leave(in), 1);
    EXPECT_FALSE(in_peer.recv(&r, 100));
    EXPECT_EQ(log_count("\tComputed dst port to 0, error!\r\n"), 3u);
}

TEST_F(Senders, QueryAsksTheRemoteHostFromTheEphemeralPort)
{
    // The remote host is ourselves: the query lands on our own receiving socket.
    JXChannel* ch = nullptr;
    ASSERT_EQ(jx_join_network("127.0.0.30", 0, &ch), 0);
    JXNetwork* n = jx_network_by_addr(ip("127.0.0.30"));
    drain_socket(comm.rcv_sock);
    ASSERT_EQ(jx_snd_query(n), 0);
    Received r;
    ASSERT_TRUE(recv_within(comm.rcv_sock, &r));
    const JXPacket p = parse(r);
    EXPECT_EQ(p.type, PKT_QUERY);
    EXPECT_EQ(p.payload_len, 0);
    EXPECT_EQ(p.net_id, ip("127.0.0.30"));
    EXPECT_EQ(r.from_port, local_port(comm.snd_sock));
}

TEST_F(Senders, AcknowledgementsReuseTheTextIdAndKnowOnlyTwoTextTypes)
{
    Probe peer("127.0.0.24");
    JXNetwork* d = private_net(peer, NET_DIRECT_IP_INCOMING);

    ASSERT_EQ(jx_txt_ack_snd(d, peer.addr, 258, PKT_TXT_DIRECT), 0);
    Received r;
    ASSERT_TRUE(peer.recv(&r));
    ASSERT_EQ(r.bytes.size(), 30u);
    EXPECT_EQ(r.bytes[4], PKT_TXT_DIRECT_ACK);
    const uint8_t id[] = {0x00, 0x00, 0x01, 0x02};
    EXPECT_EQ(std::memcmp(r.bytes.data() + 9, id, 4), 0);

    ASSERT_EQ(jx_txt_ack_snd(d, peer.addr, 7, PKT_TXT_GROUP), 0);
    ASSERT_TRUE(peer.recv(&r));
    EXPECT_EQ(r.bytes[4], PKT_TXT_GROUP_ACK);

    EXPECT_EQ(jx_txt_ack_snd(d, peer.addr, 7, 3), 2);
    EXPECT_EQ(jx_txt_ack_snd(d, peer.addr, 7, PKT_TXT_GROUP_ACK), 2);
    EXPECT_FALSE(peer.recv(&r, 100));

    // On a multicast network the acknowledgement goes to the sender's address at port 8855.
    JXChannel* ch = nullptr;
    ASSERT_EQ(jx_join_network("224.3.3.3", 0, &ch), 0);
    Probe sender("127.0.0.25", 0);
    drain_socket(comm.rcv_sock);
    ASSERT_EQ(jx_txt_ack_snd(jx_network_by_addr(ip("224.3.3.3")), ip("127.0.0.25"), 99, PKT_TXT_GROUP), 0);
    ASSERT_TRUE(recv_within(comm.rcv_sock, &r));  // 127.0.0.25:8855 is our own receiving socket
    const JXPacket p = parse(r);
    EXPECT_EQ(p.type, PKT_TXT_GROUP_ACK);
    EXPECT_EQ(p.msg_id, 99u);
    EXPECT_EQ(p.net_id, ip("224.3.3.3"));
}

TEST_F(Senders, TextDatagramAndItsResendAreByteIdentical)
{
    Probe peer("127.0.0.26");
    JXNetwork* d = private_net(peer, NET_DIRECT_IP_OUTGOING);
    JXChannel* ch = jx_ch_from_network(d, 0);
    ASSERT_NE(ch, nullptr);

    auto* st = static_cast<JXSentTxt*>(std::calloc(1, sizeof(JXSentTxt)));
    ASSERT_EQ(jx_snd_txt_dgram(d, ch, "hello there", 11, st->dgram, &st->len), 0);
    EXPECT_EQ(st->len, 41);
    Received first;
    ASSERT_TRUE(peer.recv(&first));
    ASSERT_EQ(first.bytes, std::vector<uint8_t>(st->dgram, st->dgram + st->len));
    const JXPacket p = parse(first);
    EXPECT_EQ(p.type, PKT_TXT_DIRECT);  // the one channel of a private network is direct
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p.payload), p.payload_len), "hello there");
    EXPECT_EQ(jx_dgram_msg_id(st->dgram), p.msg_id);

    st->retries = JX_TXT_RETRIES;
    jx_set_init(&st->addressees, jx_match_sent_text_addr, std::free);
    auto* a = static_cast<uint32_t*>(std::malloc(sizeof(uint32_t)));
    *a = peer.addr;
    ASSERT_EQ(jx_set_insert(&st->addressees, a), 0);
    jx_snd_txt_re(d, st);
    EXPECT_EQ(st->retries, JX_TXT_RETRIES - 1);
    Received again;
    ASSERT_TRUE(peer.recv(&again));
    EXPECT_EQ(again.bytes, first.bytes);

    // Nobody left to ask: nothing is sent, the retry is still used up.
    uint32_t key_addr = peer.addr;
    void* key = &key_addr;
    ASSERT_EQ(jx_set_remove(&st->addressees, &key), 0);
    std::free(key);
    jx_snd_txt_re(d, st);
    EXPECT_EQ(st->retries, JX_TXT_RETRIES - 2);
    EXPECT_FALSE(peer.recv(&again, 100));
    jx_sent_txt_free(st);

    // The largest text fits; one byte more is refused.
    std::string big(1440, 'b');
    uint8_t dgram[JX_DATAGRAM_MAX];
    uint16_t len = 0;
    EXPECT_EQ(jx_snd_txt_dgram(d, ch, big.data(), big.size(), dgram, &len), 0);
    EXPECT_EQ(len, 1470);
    ASSERT_TRUE(peer.recv(&again));
    EXPECT_EQ(again.bytes.size(), 1470u);
    big.push_back('b');
    EXPECT_EQ(jx_snd_txt_dgram(d, ch, big.data(), big.size(), dgram, &len), 1);
    EXPECT_FALSE(peer.recv(&again, 100));
    EXPECT_TRUE(log_has("\tUDP payload exceeds config limits!\r\n"));
}

TEST_F(Senders, GroupAndNetDmTextsOnAMulticastNetwork)
{
    JXChannel* main_ch = nullptr;
    ASSERT_EQ(jx_join_network("224.4.4.4", 0, &main_ch), 0);
    JXNetwork* n = jx_network_by_addr(ip("224.4.4.4"));
    // A peer on this host's own address so that the Net DM lands on our receiving socket.
    const JXPacket b = decode(make_dgram(PKT_BEACON, n->addr, 1, "p"), ip("127.0.0.27"), 8855);
    ASSERT_EQ(jx_add_peer(n, &b), JX_PEER_ADDED);
    JXChannel* dm = nullptr;
    ASSERT_EQ(jx_add_channel(n->addr, ip("127.0.0.27"), &dm), 0);
    take_events();
    drain_socket(comm.rcv_sock);

    uint8_t dgram[JX_DATAGRAM_MAX];
    uint16_t len = 0;
    ASSERT_EQ(jx_snd_txt_dgram(n, main_ch, "to all", 6, dgram, &len), 0);
    Received r;
    ASSERT_TRUE(recv_within(comm.rcv_sock, &r));  // the group text loops back
    EXPECT_EQ(parse(r).type, PKT_TXT_GROUP);
    EXPECT_EQ(parse(r).net_id, n->addr);

    ASSERT_EQ(jx_snd_txt_dgram(n, dm, "to you", 6, dgram, &len), 0);
    ASSERT_TRUE(recv_within(comm.rcv_sock, &r));
    EXPECT_EQ(parse(r).type, PKT_TXT_DIRECT);
    EXPECT_EQ(parse(r).net_id, n->addr);  // a Net DM keeps its network id
    EXPECT_EQ(r.bytes, std::vector<uint8_t>(dgram, dgram + len));
}

TEST_F(Senders, PunchLeavesFromTheDataSocket)
{
    Probe remote("127.0.0.28");
    JXChannel* ch = nullptr;
    ASSERT_EQ(jx_join_network("224.5.5.5", 0, &ch), 0);
    ASSERT_EQ(jx_snd_punch(jx_network_by_addr(ip("224.5.5.5")), remote.addr, remote.port), 0);
    Received r;
    ASSERT_TRUE(remote.recv(&r));
    const JXPacket p = parse(r);
    EXPECT_EQ(p.type, PKT_PUNCH);
    EXPECT_EQ(p.net_id, ip("224.5.5.5"));
    EXPECT_EQ(r.bytes.size(), 30u);
    EXPECT_EQ(r.from_port, 8856);
}
