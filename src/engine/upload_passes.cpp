#include "engine/upload_passes.hpp"

#include <algorithm>
#include <cstring>

#include "engine/pacing.hpp"
#include "engine/senders.hpp"
#include "engine/transfers.hpp"
#include "foundation/bit_utils.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"
#include "protocol/data_protocol.hpp"

namespace {

// Sends chunk `index` of the current segment from the segment buffer.
uint8_t send_chunk(JXNetwork* network, const JXTransfer* u, uint64_t index)
{
    if (u->seg_buf == nullptr || (index + 1) * u->chunk_size > u->seg_buf_size)
        return 1;
    uint8_t payload[JX_CHUNK_HDR_LEN + JX_CHUNK_SIZE_MAX];
    jx_data_serialize_chunk_hdr(payload, JX_CHUNK_HDR_LEN, u->id, u->segment, index);
    std::memcpy(payload + JX_CHUNK_HDR_LEN, u->seg_buf + index * u->chunk_size, u->chunk_size);
    return jx_snd_chunk(network, u, payload, static_cast<uint16_t>(JX_CHUNK_HDR_LEN + u->chunk_size));
}

void finish_segment(JXTransfer* u, double total)
{
    if (total < JX_TURN_BUDGET_US && u->limit < JX_LIMIT_MAX)
        u->limit = static_cast<uint16_t>(std::min<unsigned>(u->limit + JX_LIMIT_STEP, JX_LIMIT_MAX));
    (void)jx_set_ul_state(u, UL_BATCH_DONE);
    const uint64_t seg_bytes = u->chunk_size * u->chunk_count;
    u->bytes_left = u->bytes_left > seg_bytes ? u->bytes_left - seg_bytes : 0;
}

// Rate-based pacing: the chunks the upload's rate allows now, from one system call. The first
// pass goes in order; a re-send pass takes the lowest missing chunks. A finished pass says so at
// once (batch-done), not a turn later.
void pace_upload(JXNetwork* network, JXTransfer* u, int64_t now_us)
{
    const size_t dgram = JX_HEADER_LEN + JX_CHUNK_HDR_LEN + u->chunk_size;
    const uint32_t most = jx_rate_allowance(&u->pace, now_us, dgram, JX_PACE_BURST);
    if (most == 0)
        return;
    uint32_t index[JX_PACE_BURST];
    uint32_t n = 0;
    if (u->skipped != 0) {
        n = static_cast<uint32_t>(std::min<uint64_t>(jx_zeros_8bitmem(u->bitmap, u->chunk_count, index, most), most));
    } else {
        for (; n < most && n < u->chunks_left; n++)
            index[n] = static_cast<uint32_t>(u->seg_offset / u->chunk_size + n);
    }
    int err = 0;
    const uint32_t sent = n != 0 ? jx_snd_chunks(network, u, index, n, &err) : 0;
    jx_rate_sent(&u->pace, now_us, dgram, sent);
    if (sent != 0 || err == 0)  // as in a classic pass: a send that fails is no sign of life
        u->last_activity = jx_now_s();
    if (err != 0)
        jx_rate_blocked(&u->pace, now_us);
    for (uint32_t k = 0; k < sent; k++)
        jx_setbit_1_8bitmem(u->bitmap, index[k]);
    if (u->skipped == 0) {
        u->chunks_left -= sent;
        u->seg_offset += uint64_t{sent} * u->chunk_size;
        if (u->chunks_left != 0)
            return;
        finish_segment(u, 0);
    } else {
        if (jx_is_allbit_1_8bitmem(u->bitmap, u->chunk_count) == 0)
            return;
        u->skipped = 0;
        (void)jx_set_ul_state(u, UL_BATCH_DONE);
    }
    (void)jx_snd_batch_done(network, u);
    u->repeat_us = now_us;
}

}  // namespace

void jx_send_pass(JXNetwork* network, JXTransfer* u, double* total)
{
    JXTimer pass;
    jx_timer_start(&pass);
    // A pass is a sign of life, unless its only send failed: an upload whose datagrams cannot
    // leave at all (a cable pulled, a firewall) must time out rather than retry for ever.
    const uint64_t alive = u->last_activity;
    u->last_activity = jx_now_s();
    unsigned sent = 0;
    if (u->skipped != 0) {
        while (*total < JX_TURN_BUDGET_US && sent < u->limit) {
            const int32_t i = jx_getbit_0_8bitmem(u->bitmap, u->chunk_count);
            if (i < 0)
                break;
            if (send_chunk(network, u, static_cast<uint64_t>(i)) != 0) {
                if (sent == 0)
                    u->last_activity = alive;
                break;
            }
            jx_setbit_1_8bitmem(u->bitmap, static_cast<uint64_t>(i));
            *total += jx_timer_get_micro_lap(&pass);
            sent++;
        }
        if (jx_is_allbit_1_8bitmem(u->bitmap, u->chunk_count) != 0) {
            u->skipped = 0;
            (void)jx_set_ul_state(u, UL_BATCH_DONE);
        }
        return;
    }
    if (u->chunks_left == 0) {
        finish_segment(u, *total);
        return;
    }
    if (*total >= JX_TURN_BUDGET_US || u->limit == 0)
        return;
    for (;;) {
        const uint64_t index = u->seg_offset / u->chunk_size;
        const uint8_t rc = send_chunk(network, u, index);
        if (rc != 0) {
            jx_log("UPLOAD snret %hu", static_cast<unsigned short>(rc));
            if (sent == 0)
                u->last_activity = alive;
            return;
        }
        jx_setbit_1_8bitmem(u->bitmap, index);
        u->chunks_left--;
        u->seg_offset += u->chunk_size;
        *total += jx_timer_get_micro_lap(&pass);
        sent++;
        if (u->chunks_left == 0) {
            finish_segment(u, *total);
            return;
        }
        if (*total >= JX_TURN_BUDGET_US || sent >= u->limit)
            return;
    }
}

void jx_pace_uploads(JXNetwork* network, int64_t now_us)
{
    jx_list_elmt* el = jx_list_head(&network->uploads);
    while (el != nullptr) {
        auto* u = static_cast<JXTransfer*>(jx_list_data(el));
        el = jx_list_next(el);
        if (u->state == UL_SEND_BATCH)
            pace_upload(network, u, now_us);
    }
}

int64_t jx_uploads_due_us(const JXNetwork* network)
{
    int64_t due = INT64_MAX;
    for (jx_list_elmt* el = jx_list_head(&network->uploads); el != nullptr; el = jx_list_next(el)) {
        const auto* u = static_cast<const JXTransfer*>(jx_list_data(el));
        if (u->state == UL_SEND_BATCH)
            due = std::min(due, jx_rate_due_us(&u->pace));
    }
    return due;
}
