#include "engine/dispatcher.hpp"

#include "engine/comm.hpp"
#include "engine/presence.hpp"
#include "engine/texts.hpp"
#include "foundation/ipv4.hpp"
#include "foundation/log.hpp"

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
    if (pkt.payload_len < jx_min_payload(pkt.type)) {
        jx_log("Malformed packet type %d from %s dropped: payload of %d bytes", pkt.type,
               jx_ip_str(pkt.src_addr).s, pkt.payload_len);
        return;
    }

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
