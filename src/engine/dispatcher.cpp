#include "engine/dispatcher.hpp"

#include "engine/comm.hpp"
#include "engine/downloads.hpp"
#include "engine/presence.hpp"
#include "engine/texts.hpp"
#include "engine/uploads.hpp"
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
        proc_meta(&pkt);
        break;
    case PKT_GET_SEGMENT:
        proc_get_segment(&pkt);
        break;
    case PKT_GET_SKIPPED:
        proc_get_skipped(&pkt);
        break;
    case PKT_CHUNK:
        proc_chunk(&pkt);
        break;
    case PKT_BATCH_DONE:
        proc_batch_done(&pkt);
        break;
    case PKT_META_ACK:
        proc_meta_ack(&pkt);
        break;
    case PKT_FILE_FIN_OK:
    case PKT_FILE_FIN_FAILED:
    case PKT_FILE_FIN_OTHER:
        proc_file_fin(&pkt);
        break;
    default:
        jx_log("JXPacket type not recognised: %d", static_cast<int>(static_cast<int8_t>(pkt.type)));
        break;
    }
}
