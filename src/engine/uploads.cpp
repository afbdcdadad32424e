#include "engine/uploads.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "engine/context.hpp"
#include "engine/events.hpp"
#include "engine/pacing.hpp"
#include "engine/registry.hpp"
#include "engine/senders.hpp"
#include "engine/transfers.hpp"
#include "engine/upload_passes.hpp"
#include "foundation/bit_utils.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"
#include "foundation/utility.hpp"
#include "protocol/data_protocol.hpp"

namespace {

// Ends an upload that failed on this side: the peer is told, the record kept, the upload removed.
void fail_upload(JXNetwork* network, JXTransfer* u)
{
    jx_raise_transfer_ev(EV_UL_FAILED, network, u);
    jx_log("Upload failed");
    const JXTransferFin* fin = jx_ul_fin(u, network, FIN_FAILED);
    // Before the offer was answered there is no data port to tell.
    if (fin != nullptr && u->port != 0)
        (void)jx_snd_file_fin(network, fin, u->port);
    (void)jx_rm_ul(network, u->id);
}

void hash_step(JXTransfer* u)
{
    JXTimer watch;
    jx_timer_start(&watch);
    double used = 0;
    if (!jx_hash_in_budget(u->stream, &u->meta, &watch, &used))
        return;
    // Segments are read from the stream's position, so it goes back to the start at once rather
    // than only before the offer is repeated.
    std::rewind(u->stream);
    jx_log("Ready for sending [%s]", u->meta.name);
    u->last_activity = jx_now_s();
    u->bytes_left = u->meta.size;
    (void)jx_set_ul_state(u, UL_SEND_META);
    jx_comm_raise(EV_HASH_READY, jx_build_hash_ev(u->id, u->meta.digest));
}

}  // namespace

uint8_t jx_add_upload(JXChannel* channel, const char* path)
{
    JXNetwork* network = channel != nullptr ? jx_network_by_addr(channel->net_addr) : nullptr;
    if (network == nullptr)
        return JX_UL_NO_NETWORK;
    if (network->status != NET_ONLINE)
        return JX_UL_OFFLINE;
    if (channel->type != CH_NET_DM && channel->type != CH_DM)
        return JX_UL_NOT_PRIVATE;
    if (channel->type == CH_NET_DM && jx_peer_from_network(channel->peer_addr, network) == nullptr)
        return JX_UL_NO_PEER;
    auto* u = static_cast<JXTransfer*>(std::calloc(1, sizeof(JXTransfer)));
    if (u == nullptr)
        return JX_UL_NOT_ADDED;
    if (jx_fso_metadata(&u->meta, &u->stream, path) != 0) {
        jx_log("Meta file error for [%s]", path != nullptr ? path : "");
        std::free(u);
        return JX_UL_BAD_FILE;
    }
    jx_random_bytes(u->id, sizeof u->id);
    u->addr = channel->type == CH_NET_DM ? channel->peer_addr : network->addr;
    if (jx_list_ins_next(&network->uploads, nullptr, u) != 0) {
        jx_upload_destroy(u);
        jx_log("Failed to add upload to list");
        return JX_UL_NOT_ADDED;
    }
    u->last_activity = jx_now_s();
    u->limit = JX_LIMIT_START;
    u->state = UL_HASHING;
    jx_raise_transfer_ev(EV_UL_PREPARING, network, u);
    return JX_UL_OK;
}

void manage_uploads(JXNetwork* network)
{
    double total = 0;
    jx_list_elmt* el = jx_list_head(&network->uploads);
    while (el != nullptr) {
        // The upload may be removed below, so the next one is taken first.
        jx_list_elmt* next = jx_list_next(el);
        auto* u = static_cast<JXTransfer*>(jx_list_data(el));
        el = next;
        const bool waits = u->state == UL_SEND_META || u->state == UL_SEND_BATCH || u->state == UL_BATCH_DONE;
        if (waits && jx_now_s() > u->last_activity + JX_TRANSFER_TIMEOUT_S) {
            fail_upload(network, u);
            continue;
        }
        switch (u->state) {
        case UL_HASHING:
            hash_step(u);
            break;
        case UL_SEND_META:
            if (jx_repeat_due(u)) {
                std::rewind(u->stream);
                (void)jx_snd_file_meta(network, u);
            }
            break;
        case UL_BATCH_DONE:
            if (jx_repeat_due(u))
                (void)jx_snd_batch_done(network, u);
            break;
        case UL_SEND_BATCH:
            // The rate-based sender sends when its rate allows (jx_pace_uploads), not per turn.
            if (jx_pacing_classic())
                jx_send_pass(network, u, &total);
            break;
        default:
            break;
        }
    }
}

void proc_meta_ack(const JXPacket* pkt)
{
    JXNetwork* network = nullptr;
    JXTransfer* u = jx_transfer_of_packet(pkt, true, &network, "Ul(meta) not found");
    uint8_t id[JX_TRANSFER_ID_LEN];
    uint16_t port = 0;
    if (u == nullptr || jx_data_unserialize_meta_ack(pkt->payload, pkt->payload_len, id, &port) != 0)
        return;
    u->port = port;
    (void)jx_snd_punch(network, u->addr, u->port);
    u->last_activity = jx_now_s();
    (void)jx_set_ul_state(u, UL_PENDING);
}

void proc_get_segment(const JXPacket* pkt)
{
    JXNetwork* network = nullptr;
    JXTransfer* u = jx_transfer_of_packet(pkt, true, &network, "Ul not found for seg");
    JXSegmentReq req{};
    if (u == nullptr || jx_data_unserialize_segment(pkt->payload, pkt->payload_len, &req) != 0)
        return;
    // Segments are read from the file in order, so only the next one can be served: a repeat of
    // the current request, or a late copy of an earlier one, is ignored.
    if (req.segment != u->segment + 1 || u->state == UL_HASHING)
        return;
    if (req.chunk_size == 0 || req.chunk_size > JX_CHUNK_SIZE_MAX || req.chunk_count == 0 ||
        req.chunk_count > JX_MAX_CHUNKS) {
        jx_log("Segment request out of bounds from %s dropped: chunk size %u, %u chunks",
               jx_ip_str(pkt->src_addr).s, static_cast<unsigned>(req.chunk_size), req.chunk_count);
        return;
    }
    const uint64_t now = jx_now_s();
    u->last_activity = now;
    if (u->port == 0)
        u->port = ntohs(pkt->src_port);  // the offer's answer was lost; the request shows the port
    if (u->start_time == 0) {
        u->start_time = now;
        jx_raise_transfer_ev(EV_UL_STARTED, network, u);
    }
    // A segment asked for before any re-send request arrived whole: the path took its pace.
    if (u->segment == 0)
        jx_rate_init(&u->pace, jx_pacing_now_us());
    else
        jx_rate_report(&u->pace, jx_pacing_now_us(), u->segment, 0, static_cast<uint32_t>(u->chunk_count));
    jx_measure_segment(u);
    const size_t need = static_cast<size_t>(req.chunk_size) * req.chunk_count;
    if (jx_seg_buf_reserve(u, need) != 0) {
        // Left as it was, a late skipped-chunk request would send from the buffer that is gone.
        jx_log("Allocating memory for segment data failed");
        fail_upload(network, u);
        return;
    }
    u->chunk_size = req.chunk_size;
    u->seg_offset = 0;
    std::memset(u->bitmap, 0, sizeof u->bitmap);
    u->chunks_left = u->chunk_count = req.chunk_count;
    u->skipped = 0;
    u->segment = req.segment;
    jx_timer_start(&u->seg_timer);
    // A segment the file cannot give whole (asked past its end, or the file shrank) would go out
    // with stale bytes: the upload fails instead.
    if (jx_fso_read_filepart2(u->stream, u->seg_buf, need) != 0) {
        fail_upload(network, u);
        return;
    }
    (void)jx_set_ul_state(u, UL_SEND_BATCH);
}

void proc_get_skipped(const JXPacket* pkt)
{
    JXNetwork* network = nullptr;
    JXTransfer* u = jx_transfer_of_packet(pkt, true, &network, "Ul not found for skipped");
    uint8_t id[JX_TRANSFER_ID_LEN];
    uint64_t segment = 0;
    uint8_t bitmap[JX_BITMAP_LEN];
    if (u == nullptr ||
        jx_data_unserialize_skipped(pkt->payload, pkt->payload_len, id, &segment, bitmap) != 0)
        return;
    if (segment != u->segment || u->segment == 0 || u->skipped != 0)
        return;
    std::memcpy(u->bitmap, bitmap, sizeof u->bitmap);
    jx_rate_report(&u->pace, jx_pacing_now_us(), segment,
                   static_cast<uint32_t>(jx_zeros_8bitmem(u->bitmap, u->chunk_count, nullptr, 0)),
                   static_cast<uint32_t>(u->chunk_count));
    u->skipped = 1;
    u->last_activity = jx_now_s();
    (void)jx_set_ul_state(u, UL_SEND_BATCH);
}

void proc_file_fin(const JXPacket* pkt)
{
    JXNetwork* network = nullptr;
    JXTransfer* u = jx_transfer_of_packet(pkt, true, &network, "Upload not found for fin-ul");
    if (u == nullptr)
        return;
    uint8_t result = FIN_NONE;
    if (pkt->type == PKT_FILE_FIN_OK) {
        jx_raise_transfer_ev(EV_UL_COMPLETE, network, u);
        result = FIN_COMPLETED;
    } else if (pkt->type == PKT_FILE_FIN_FAILED) {
        jx_raise_transfer_ev(EV_UL_FAILED, network, u);
        result = FIN_FAILED;
    } else {
        jx_raise_transfer_ev(EV_UL_DECLINED, network, u);
    }
    (void)jx_ul_fin(u, network, result);
    (void)jx_rm_ul(network, u->id);
}

JXTransfer* jx_get_ul(const JXNetwork* network, const uint8_t* id)
{
    return network != nullptr ? jx_find_transfer(&network->uploads, id) : nullptr;
}

uint8_t jx_rm_ul(JXNetwork* network, const uint8_t* id)
{
    if (network != nullptr && jx_remove_transfer(&network->uploads, id) == 0)
        return 0;
    jx_log("Upload not found");
    jx_log("rm here");
    return 1;
}

JXTransferFin* jx_ul_fin(const JXTransfer* upload, JXNetwork* network, uint8_t result)
{
    return jx_make_fin(upload, &network->fin_uploads, result);
}
