#include "engine/senders.hpp"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "engine/context.hpp"
#include "engine/records.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"
#include "protocol/data_protocol.hpp"

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

// One file-transfer packet from data_sock to `addr`:`port`, header network id by the network's rule.
uint8_t snd_data(const JXNetwork* network, uint8_t type, uint32_t addr, uint16_t port, const uint8_t* payload,
                 size_t payload_len)
{
    if (payload_len == 0)
        return 1;
    uint8_t dgram[JX_DATAGRAM_MAX];
    const uint32_t len =
        jx_serialize(dgram, sizeof(dgram), type, jx_get_addr_4srlz(network), get_msg_id_4srlz(),
                     comm.username, payload, static_cast<uint16_t>(payload_len));
    return snd_udp(comm.data_sock, addr, port, dgram, len);
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
    const int64_t now = jx_mono_now();
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
    // Peers that never acknowledge cost nothing to claim: beyond a few, one copy to the group
    // reaches them all, so one typed line makes at most 1 + 5 * JX_RESEND_UNICAST_MAX datagrams.
    if (jx_is_group(network->type) && jx_set_size(&sent->addressees) > JX_RESEND_UNICAST_MAX) {
        (void)snd_udp(sock, network->addr, port, sent->dgram, sent->len);
    } else {
        for (jx_list_elmt* el = jx_list_head(&sent->addressees); el != nullptr; el = jx_list_next(el)) {
            uint32_t addr = 0;
            std::memcpy(&addr, jx_list_data(el), sizeof(addr));
            (void)snd_udp(sock, addr, port, sent->dgram, sent->len);
        }
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

uint8_t jx_snd_file_meta(JXNetwork* network, const JXTransfer* upload)
{
    JXOffer offer{};
    std::memcpy(offer.id, upload->id, sizeof offer.id);
    std::memcpy(offer.digest, upload->meta.digest, sizeof offer.digest);
    offer.size = upload->meta.size;
    offer.chunk_size = comm.data_payload_max;
    offer.data_port = JX_DATA_PORT;
    std::memcpy(offer.name, upload->meta.name, sizeof offer.name - 1);
    uint8_t payload[JX_PAYLOAD_MAX];
    const size_t len = jx_data_serialize_meta(payload, sizeof payload, &offer);
    if (len == 0)
        return 1;
    return snd_on_net(network, PKT_FILE_META, upload->addr, get_msg_id_4srlz(), payload,
                      static_cast<uint16_t>(len));
}

uint8_t jx_snd_file_meta_ack(JXNetwork* network, const JXTransfer* download)
{
    uint8_t payload[JX_META_ACK_LEN];
    jx_data_serialize_meta_ack(payload, sizeof payload, download->id, JX_DATA_PORT);
    return snd_on_net(network, PKT_META_ACK, download->addr, get_msg_id_4srlz(), payload, sizeof payload);
}

uint8_t jx_snd_get_segment(JXNetwork* network, const JXTransfer* download)
{
    JXSegmentReq req{};
    std::memcpy(req.id, download->id, sizeof req.id);
    req.segment = download->segment;
    req.chunk_size = download->chunk_size;
    req.chunk_count = static_cast<uint32_t>(download->chunk_count);
    uint8_t payload[JX_SEGMENT_LEN];
    const size_t len = jx_data_serialize_segment(payload, sizeof payload, &req);
    return snd_data(network, PKT_GET_SEGMENT, download->addr, download->port, payload, len);
}

uint8_t jx_snd_get_skipped(JXNetwork* network, const JXTransfer* download)
{
    uint8_t payload[JX_SKIPPED_LEN];
    const size_t len =
        jx_data_serialize_skipped(payload, sizeof payload, download->id, download->segment, download->bitmap);
    return snd_data(network, PKT_GET_SKIPPED, download->addr, download->port, payload, len);
}

uint8_t jx_snd_chunk(JXNetwork* network, const JXTransfer* upload, const uint8_t* payload, uint16_t len)
{
    return snd_data(network, PKT_CHUNK, upload->addr, upload->port, payload, len);
}

uint32_t jx_snd_chunks(JXNetwork* network, const JXTransfer* upload, const uint32_t* index, uint32_t n, int* err)
{
    *err = 0;
    n = n < JX_PACE_BURST ? n : JX_PACE_BURST;
    if (upload->port == 0 || upload->seg_buf == nullptr) {
        *err = EDESTADDRREQ;
        return 0;
    }
    // Header and chunk header are built per datagram, the data is taken from the segment buffer
    // where it lies: the bytes on the wire are those of jx_snd_chunk.
    static uint8_t heads[JX_PACE_BURST][JX_HEADER_LEN + JX_CHUNK_HDR_LEN];
    static iovec iov[JX_PACE_BURST][2];
    static mmsghdr msgs[JX_PACE_BURST];
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(upload->port);
    to.sin_addr.s_addr = upload->addr;
    const uint32_t net_id = jx_get_addr_4srlz(network);
    uint32_t k = 0;
    for (; k < n; k++) {
        if ((uint64_t{index[k]} + 1) * upload->chunk_size > upload->seg_buf_size)
            break;
        uint8_t chunk_hdr[JX_CHUNK_HDR_LEN];
        jx_data_serialize_chunk_hdr(chunk_hdr, sizeof chunk_hdr, upload->id, upload->segment, index[k]);
        // The length field says the whole payload; only the chunk header is copied here.
        jx_serialize(heads[k], sizeof heads[k], PKT_CHUNK, net_id, get_msg_id_4srlz(), comm.username, chunk_hdr,
                     static_cast<uint16_t>(JX_CHUNK_HDR_LEN + upload->chunk_size));
        iov[k][0] = {heads[k], sizeof heads[k]};
        iov[k][1] = {upload->seg_buf + size_t{index[k]} * upload->chunk_size, upload->chunk_size};
        msgs[k] = mmsghdr{};
        msgs[k].msg_hdr.msg_name = &to;
        msgs[k].msg_hdr.msg_namelen = sizeof to;
        msgs[k].msg_hdr.msg_iov = iov[k];
        msgs[k].msg_hdr.msg_iovlen = 2;
    }
    if (k == 0)
        return 0;
    const int sent = sendmmsg(comm.data_sock, msgs, k, MSG_DONTWAIT);
    if (sent < 0) {
        *err = errno;
        if (*err != EAGAIN && *err != EWOULDBLOCK && *err != ENOBUFS) {
            jx_log("Error in sending data - %d", *err);
            jx_log_errno(*err);
        }
        return 0;
    }
    if (static_cast<uint32_t>(sent) < k)
        *err = EAGAIN;
    return static_cast<uint32_t>(sent);
}

uint8_t jx_snd_batch_done(JXNetwork* network, const JXTransfer* upload)
{
    uint8_t payload[JX_BATCH_DONE_LEN];
    const size_t len = jx_data_serialize_batch_done(payload, sizeof payload, upload->id, upload->segment);
    return snd_data(network, PKT_BATCH_DONE, upload->addr, upload->port, payload, len);
}

uint8_t jx_snd_file_fin(JXNetwork* network, const JXTransferFin* fin, uint16_t port)
{
    // The result first sent, whatever came of the record since (a verification from disk turns it
    // into a checksum state). A record made by hand, without it, is told by its state.
    uint8_t type = fin->told;
    if (type != PKT_FILE_FIN_OK && type != PKT_FILE_FIN_FAILED)
        type = fin->state == FIN_COMPLETED || fin->state == FIN_HASH_OK ? PKT_FILE_FIN_OK : PKT_FILE_FIN_FAILED;
    return jx_snd_fin(network, type, fin->addr, port, fin->id);
}

uint8_t jx_snd_fin(JXNetwork* network, uint8_t type, uint32_t addr, uint16_t port, const uint8_t* id)
{
    uint8_t payload[JX_FIN_LEN];
    const size_t len = jx_data_serialize_fin(payload, sizeof payload, id);
    return snd_data(network, type, addr, port, payload, len);
}
