#include "engine/dispatcher.hpp"

#include <iterator>

#include "engine/context.hpp"
#include "engine/downloads.hpp"
#include "engine/presence.hpp"
#include "engine/texts.hpp"
#include "engine/uploads.hpp"
#include "foundation/ipv4.hpp"
#include "foundation/log.hpp"
#include "protocol/data_protocol.hpp"

namespace {

// In type order. A text needs at least one byte (an empty one is never sent); the presence
// packets besides the beacon are header-only.
constexpr JXPacketRow PACKETS[] = {
    {PKT_TXT_GROUP, 1, proc_txt},
    {PKT_TXT_DIRECT, 1, proc_txt},
    {PKT_BEACON, JX_BEACON_LEN, proc_beacon},
    {PKT_LEAVE, 0, proc_leave},
    {PKT_TXT_GROUP_ACK, 0, proc_txt_ack},
    {PKT_TXT_DIRECT_ACK, 0, proc_txt_ack},
    {PKT_QUERY, 0, proc_query},
    {PKT_FILE_META, JX_META_FIXED_LEN, proc_meta},
    {PKT_GET_SEGMENT, JX_SEGMENT_LEN, proc_get_segment},
    {PKT_GET_SKIPPED, JX_SKIPPED_LEN, proc_get_skipped},
    {PKT_CHUNK, JX_CHUNK_HDR_LEN, proc_chunk},
    {PKT_BATCH_DONE, JX_BATCH_DONE_LEN, proc_batch_done},
    {PKT_META_ACK, JX_META_ACK_LEN, proc_meta_ack},
    {PKT_FILE_FIN_OK, JX_FIN_LEN, proc_file_fin},
    {PKT_FILE_FIN_FAILED, JX_FIN_LEN, proc_file_fin},
    {PKT_FILE_FIN_OTHER, JX_FIN_LEN, proc_file_fin},
    // A punch only opens a path through the sender's NAT; it carries nothing to act on here.
    {PKT_PUNCH, 0, nullptr},
};

constexpr bool rows_in_order()
{
    for (size_t i = 1; i < std::size(PACKETS); i++)
        if (PACKETS[i - 1].type >= PACKETS[i].type)
            return false;
    return true;
}
static_assert(rows_in_order(), "one row per packet type, in type order");
static_assert(std::size(PACKETS) == 17, "types 1..16 and the punch");

}  // namespace

const JXPacketRow* jx_packet_row(uint8_t type)
{
    for (const JXPacketRow& row : PACKETS)
        if (row.type == type)
            return &row;
    return nullptr;
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
    const JXPacketRow* row = jx_packet_row(pkt.type);
    if (row != nullptr && pkt.payload_len < row->min_payload) {
        jx_log("Malformed packet type %d from %s dropped: payload of %d bytes", pkt.type,
               jx_ip_str(pkt.src_addr).s, pkt.payload_len);
        return;
    }
    if (row == nullptr || row->proc == nullptr) {
        jx_log("JXPacket type not recognised: %d", static_cast<int>(static_cast<int8_t>(pkt.type)));
        return;
    }
    row->proc(&pkt);
}
