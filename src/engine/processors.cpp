#include "engine/processors.hpp"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

#include "engine/comm.hpp"
#include "engine/events.hpp"
#include "engine/senders.hpp"
#include "engine/texts.hpp"
#include "engine/utils.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"

namespace {

// Smallest payload each presence and text packet needs; shorter ones are malformed.
size_t min_payload(uint8_t type)
{
    switch (type) {
    case PKT_BEACON:
        return JX_BEACON_LEN;
    case PKT_TXT_GROUP:
    case PKT_TXT_DIRECT:
        return 1;
    default:
        return 0;
    }
}

bool malformed(const JXPacket* pkt)
{
    if (pkt->payload_len >= min_payload(pkt->type))
        return false;
    jx_log("Malformed packet type %d from %s dropped: payload of %d bytes", pkt->type,
           jx_ip_str(pkt->src_addr).s, pkt->payload_len);
    return true;
}

}  // namespace

JXNetwork* jx_network_of_packet(const JXPacket* pkt)
{
    JXNetwork* network = jx_network_by_addr(pkt->net_id != 0 ? pkt->net_id : pkt->src_addr);
    if (network == nullptr)
        jx_log("Not from known network: [%s]", jx_ip_str(pkt->net_id).s);
    return network;
}

bool check_if_self(const JXNetwork* network, const JXPacket* pkt)
{
    return jx_is_group(network->type) && network->own_addr != 0 && pkt->src_addr == network->own_addr;
}

bool check_duplicate_id(JXNetwork* network, const JXPacket* pkt)
{
    for (uint64_t id : network->recent_ids) {
        if (id == pkt->msg_id)
            return true;
    }
    // The index is kept in range here even if a record was damaged: it is the only write.
    network->recent_ids[network->recent_idx % JX_RECENT_IDS] = pkt->msg_id;
    network->recent_idx = static_cast<uint8_t>((network->recent_idx + 1) % JX_RECENT_IDS);
    return false;
}

void jx_process_udp()
{
    JXPacket pkt;
    size_t got = comm.rcv_len > 0 ? static_cast<size_t>(comm.rcv_len) : 0;
    if (got > JX_DATAGRAM_MAX)
        got = JX_DATAGRAM_MAX;
    if (jx_unserialize(comm.rcv_buf, got, comm.rcv_from.sin_addr.s_addr, comm.rcv_from.sin_port, &pkt) != 0)
        return;
    // A datagram shorter than its declared payload is taken for what arrived.
    const size_t received = got > JX_HEADER_LEN ? got - JX_HEADER_LEN : 0;
    if (pkt.payload_len > received)
        pkt.payload_len = static_cast<uint16_t>(received);

    switch (pkt.type) {
    case PKT_TXT_GROUP:
    case PKT_TXT_DIRECT:
        proc_txt(&pkt);
        break;
    case PKT_BEACON:
        proc_beacon(&pkt);
        break;
    case PKT_LEAVE:
        proc_leave(&pkt);
        break;
    case PKT_TXT_GROUP_ACK:
    case PKT_TXT_DIRECT_ACK:
        proc_txt_ack(&pkt);
        break;
    case PKT_QUERY:
        proc_query(&pkt);
        break;
    case PKT_FILE_META:
    case PKT_GET_SEGMENT:
    case PKT_GET_SKIPPED:
    case PKT_CHUNK:
    case PKT_BATCH_DONE:
    case PKT_META_ACK:
    case PKT_FILE_FIN_OK:
    case PKT_FILE_FIN_FAILED:
    case PKT_FILE_FIN_OTHER:
        // File transfer is not built yet: its packets are dropped until its processors exist.
        jx_log("File transfer packet type %d from %s dropped: transfers not available", pkt.type,
               jx_ip_str(pkt.src_addr).s);
        break;
    default:
        jx_log("JXPacket type not recognised: %d", static_cast<int>(static_cast<int8_t>(pkt.type)));
        break;
    }
}

void proc_beacon(const JXPacket* pkt)
{
    if (malformed(pkt))
        return;
    JXNetwork* network = jx_network_of_packet(pkt);
    if (network == nullptr)
        return;
    const int64_t now = jx_clock_now();

    if (std::memcmp(pkt->payload + 4, comm.instance_id, JX_INSTANCE_ID_LEN) == 0 &&
        jx_is_group(network->type)) {
        // Our own beacon came back: the network carries our traffic, and now we know our address on it.
        network->own_addr = pkt->src_addr;
        network->last_heard = now;
        if (network->status == NET_OFFLINE) {
            jx_set_network_status(network, NET_ONLINE);
            jx_comm_raise(EV_NET_REFRESH, jx_build_net_ev(network->addr));
        }
        return;
    }

    if (jx_is_direct_ip(network->type)) {
        network->last_heard = now;
        if (network->status == NET_OFFLINE) {
            jx_set_network_status(network, NET_ONLINE);
            jx_comm_raise(EV_NET_REFRESH, jx_build_net_ev(network->addr));
        }
    }

    if (jx_peer_from_network(pkt->src_addr, network) == nullptr &&
        jx_set_size(&network->peers) >= JX_MAX_PEERS_PER_NETWORK) {
        jx_log("Peer limit reached on %s, beacon from %s dropped", jx_ip_str(network->addr).s,
               jx_ip_str(pkt->src_addr).s);
        return;
    }
    (void)jx_add_peer(network, pkt);
}

void proc_query(const JXPacket* pkt)
{
    if (jx_network_by_addr(pkt->src_addr) == nullptr && jx_set_size(&comm.networks) >= JX_MAX_NETWORKS) {
        jx_log("Network limit reached, query from %s dropped", jx_ip_str(pkt->src_addr).s);
        return;
    }
    JXChannel* channel = nullptr;
    const uint8_t rc = jx_join_network(jx_ip_str(pkt->src_addr).s, NET_DIRECT_IP_INCOMING, &channel);
    JXNetwork* network = nullptr;
    switch (rc) {
    case JX_JOIN_OK:
        network = jx_network_by_addr(channel->net_addr);
        break;
    case JX_JOIN_ALREADY:
        jx_log("Already joined");
        if (channel->type == CH_UNSPEC)
            channel->type = CH_DM;
        network = jx_network_by_addr(channel->net_addr);
        if (network == nullptr) {
            jx_log("Could not join for request - network can't be retrieved");
            return;
        }
        jx_set_network_status(network, NET_ONLINE);
        jx_comm_raise(EV_NET_REFRESH, jx_build_net_ev(network->addr));
        break;
    default:
        jx_log("Could not join for request");
        return;
    }
    if (network == nullptr)
        return;
    const uint8_t peer_rc = jx_add_peer(network, pkt);
    if (peer_rc != JX_PEER_ADDED && peer_rc != JX_PEER_REFRESHED) {
        jx_leave_network(network);
        return;
    }
    jx_log("Private network opened");
}

void proc_leave(const JXPacket* pkt)
{
    JXNetwork* network = jx_network_of_packet(pkt);
    if (network == nullptr)
        return;
    if (check_duplicate_id(network, pkt))
        return;

    JXPeer key{};
    key.addr = pkt->src_addr;
    void* data = &key;
    if (jx_set_remove(&network->peers, &data) == 0) {
        std::free(data);
        jx_comm_raise(EV_PEER_LEFT, jx_build_user_ev(network->addr, pkt->src_addr, pkt->username, ""));
        jx_log("%s(%s) left", pkt->username, jx_ip_str(pkt->src_addr).s);
    }
    if (jx_is_direct_ip(network->type) && jx_set_size(&network->peers) == 0) {
        jx_set_network_status(network, NET_CLOSED);
        jx_comm_raise(EV_NET_CHANGED, jx_build_net_ev(network->addr));
    }
}

void proc_txt(const JXPacket* pkt)
{
    if (malformed(pkt))
        return;
    JXNetwork* network = jx_network_of_packet(pkt);
    if (network == nullptr)
        return;
    jx_ts_peer(jx_peer_from_network(pkt->src_addr, network));
    if (check_if_self(network, pkt))
        return;

    // Acknowledged before the duplicate test: a resend means our first acknowledgement was lost.
    (void)jx_txt_ack_snd(network, pkt->src_addr, static_cast<uint32_t>(pkt->msg_id), pkt->type);
    if (check_duplicate_id(network, pkt))
        return;

    // A direct text on a multicast or broadcast network belongs to the Net DM channel of its sender;
    // everything else to the channel with peer address 0.
    const bool direct = pkt->type == PKT_TXT_DIRECT;
    const uint32_t key = direct && pkt->net_id != 0 ? pkt->src_addr : 0;
    JXChannel* channel = jx_ch_from_network(network, key);
    if (channel == nullptr && key != 0) {
        const uint8_t rc = jx_add_channel(network->addr, pkt->src_addr, &channel);
        if (rc != JX_CH_ADD_OK && rc != JX_CH_ADD_DIRECT_PEER)
            return;
    }
    if (channel == nullptr) {
        jx_log("No channel in proc of txt");
        return;
    }

    channel->unread++;
    // Direct-IP traffic carries network id 0; its network is the sender. This also files a group
    // text that a peer sent on a private network under that network rather than under 0.0.0.0.
    const uint32_t a = pkt->net_id != 0 ? pkt->net_id : pkt->src_addr;
    jx_comm_raise(EV_TXT_RECEIVED, jx_build_msg_ev(reinterpret_cast<const char*>(pkt->payload),
                                                   pkt->payload_len, channel->type, pkt->msg_id, a,
                                                   pkt->src_addr, jx_clock_now(), pkt->username));
}

void proc_txt_ack(const JXPacket* pkt)
{
    JXNetwork* network = jx_network_of_packet(pkt);
    if (network == nullptr)
        return;
    jx_ts_peer(jx_peer_from_network(pkt->src_addr, network));
    if (check_if_self(network, pkt))
        return;

    const bool direct = pkt->type == PKT_TXT_DIRECT_ACK;
    JXChannel* channel = jx_ch_from_network(network, direct && pkt->net_id != 0 ? pkt->src_addr : 0);
    if (channel == nullptr || jx_list_size(&channel->sent_txts) == 0)
        return;
    if (jx_sent_txt_ack(channel, pkt->src_addr, pkt->msg_id) == 0)
        return;

    const uint32_t a = pkt->net_id != 0 ? pkt->net_id : pkt->src_addr;
    jx_comm_raise(EV_TXT_DELIVERED,
                  jx_build_msg_ev(nullptr, 0, channel->type, pkt->msg_id, a, pkt->src_addr, 0, ""));
}
