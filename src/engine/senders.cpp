#include "engine/senders.hpp"

#include <arpa/inet.h>

#include <cstring>

#include "engine/comm.hpp"
#include "engine/registry.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"

namespace {

// Serializes one packet of `network` and sends it to `addr` by the network's rules.
uint8_t snd_on_net(const JXNetwork* network, uint8_t type, uint32_t addr, uint32_t msg_id,
                   const uint8_t* payload, uint16_t payload_len)
{
    uint8_t dgram[JX_DATAGRAM_MAX];
    const uint32_t len = jx_serialize(dgram, sizeof(dgram), type, jx_get_addr_4srlz(network), msg_id,
                                      comm.username, payload, payload_len);
    return snd_udp(get_socket_4snd(network), addr, get_port_4snd(network), dgram, len % 65536);
}

}  // namespace

int get_socket_4snd(const JXNetwork* network)
{
    switch (network->type) {
    case NET_MULTICAST:
    case NET_BROADCAST:
    case NET_DIRECT_IP_INCOMING:
        return comm.rcv_sock;
    case NET_UNSPEC:
    case NET_DIRECT_IP_OUTGOING:
    default:
        return comm.snd_sock;
    }
}

uint32_t jx_get_addr_4srlz(const JXNetwork* network)
{
    switch (network->type) {
    case NET_DIRECT_IP_INCOMING:
    case NET_DIRECT_IP_OUTGOING:
        return 0;
    default:
        return network->addr;
    }
}

uint16_t get_port_4snd(const JXNetwork* network)
{
    switch (network->type) {
    case NET_DIRECT_IP_INCOMING:
    case NET_DIRECT_IP_OUTGOING: {
        // The remote host is the network: its replies come from wherever its socket is bound.
        const JXPeer* peer = jx_peer_from_network(network->addr, network);
        return peer != nullptr ? peer->port : 0;
    }
    default:
        return comm.port;
    }
}

uint8_t jx_snd_beacon(JXNetwork* network)
{
    uint8_t payload[JX_BEACON_LEN] = {};
    // Uptime only counts while online; a closed network has no online-since time to count from.
    uint32_t uptime = 0;
    const int64_t now = jx_clock_now();
    if (network->status == NET_ONLINE && now > network->online_since)
        uptime = static_cast<uint32_t>(now - network->online_since);
    jx_beacon_put(payload, uptime, comm.instance_id);
    return snd_on_net(network, PKT_BEACON, network->addr, get_msg_id_4srlz(), payload, sizeof(payload));
}

uint8_t jx_snd_query(JXNetwork* network)
{
    return snd_on_net(network, PKT_QUERY, network->addr, get_msg_id_4srlz(), nullptr, 0);
}

uint8_t jx_snd_leave(JXNetwork* network)
{
    return snd_on_net(network, PKT_LEAVE, network->addr, get_msg_id_4srlz(), nullptr, 0);
}

uint8_t jx_snd_punch(JXNetwork* network, uint32_t addr, uint16_t port)
{
    uint8_t dgram[JX_DATAGRAM_MAX];
    const uint32_t len = jx_serialize(dgram, sizeof(dgram), PKT_PUNCH, jx_get_addr_4srlz(network),
                                      get_msg_id_4srlz(), comm.username, nullptr, 0);
    return snd_udp(comm.data_sock, addr, port, dgram, len);
}

uint8_t jx_snd_txt_dgram(JXNetwork* network, const JXChannel* channel, const char* text, size_t text_len,
                         uint8_t* dgram, uint16_t* dgram_len)
{
    if (dgram_len != nullptr)
        *dgram_len = 0;
    if (text_len > JX_PAYLOAD_MAX) {
        jx_log("UDP payload exceeds config limits!");
        return 1;
    }
    const bool direct = channel->type == CH_NET_DM || channel->type == CH_DM;
    const uint32_t to = channel->type == CH_NET_DM ? channel->peer_addr : network->addr;
    const uint32_t len =
        jx_serialize(dgram, JX_DATAGRAM_MAX, direct ? PKT_TXT_DIRECT : PKT_TXT_GROUP,
                     jx_get_addr_4srlz(network), get_msg_id_4srlz(), comm.username,
                     reinterpret_cast<const uint8_t*>(text), static_cast<uint16_t>(text_len));
    if (dgram_len != nullptr)
        *dgram_len = static_cast<uint16_t>(len);
    return snd_udp(get_socket_4snd(network), to, get_port_4snd(network), dgram, len);
}

void jx_snd_txt_re(JXNetwork* network, JXSentTxt* sent)
{
    const int sock = get_socket_4snd(network);
    const uint16_t port = get_port_4snd(network);
    for (jx_list_elmt* el = jx_list_head(&sent->addressees); el != nullptr; el = jx_list_next(el)) {
        uint32_t addr = 0;
        std::memcpy(&addr, jx_list_data(el), sizeof(addr));
        (void)snd_udp(sock, addr, port, sent->dgram, sent->len);
    }
    if (sent->retries > 0)
        sent->retries--;
}

uint8_t jx_txt_ack_snd(JXNetwork* network, uint32_t addr, uint32_t msg_id, uint8_t txt_type)
{
    uint8_t type = 0;
    switch (txt_type) {
    case PKT_TXT_GROUP:
        type = PKT_TXT_GROUP_ACK;
        break;
    case PKT_TXT_DIRECT:
        type = PKT_TXT_DIRECT_ACK;
        break;
    default:
        return 2;
    }
    return snd_on_net(network, type, addr, msg_id, nullptr, 0);
}
