#include "engine/downloads.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/context.hpp"
#include "engine/events.hpp"
#include "engine/pacing.hpp"
#include "engine/quotas.hpp"
#include "engine/refusals.hpp"
#include "engine/registry.hpp"
#include "engine/senders.hpp"
#include "engine/transfers.hpp"
#include "foundation/bit_utils.hpp"
#include "foundation/log.hpp"
#include "foundation/sha256.hpp"
#include "foundation/utility.hpp"
#include "protocol/data_protocol.hpp"
#include "storage/fso.hpp"

uint64_t jx_fin_repeats = 0;

namespace {

void answer_offer(JXNetwork* network, const JXTransfer* d)
{
    (void)jx_snd_punch(network, d->addr, d->port);
    (void)jx_snd_file_meta_ack(network, d);
}

// An offer whose name cannot be stored: its sender is told at once, so that its upload ends
// instead of offering for ever. Nothing is kept, so strangers cannot fill a list this way.
void refuse_offer(JXNetwork* network, const uint8_t* id, uint32_t from)
{
    jx_log("Offer from %s refused: its file name cannot be stored", jx_ip_str(from).s);
    JXTransferFin told{};
    std::memcpy(told.id, id, sizeof told.id);
    told.addr = from;
    told.state = FIN_FAILED;
    (void)jx_snd_file_fin(network, &told, JX_DATA_PORT);
}

// The file is whole. Its digest, taken as the segments were written, decides what the peer is
// told: a file that does not match what was offered did not arrive, whatever the count of bytes
// says. The finished record keeps the file either way and shows the check's result.
void complete(JXNetwork* network, JXTransfer* d)
{
    // The digest was taken from memory: the file is whole only once its last bytes are written.
    if (!jx_transfer_release(d)) {
        jx_fail_dl(d, network);
        return;
    }
    uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_finish_ctx(&d->meta.sha_ctx, digest);
    const bool intact = std::memcmp(digest, d->meta.digest, sizeof digest) == 0;
    jx_log("File check done [%s]", d->meta.name);
    const JXTransferFin* fin = jx_dl_fin(d, network, intact ? FIN_HASH_OK : FIN_HASH_BAD);
    if (fin == nullptr) {
        jx_fail_dl(d, network);
        return;
    }
    (void)jx_snd_file_fin(network, fin, d->port);
    jx_raise_transfer_ev(intact ? EV_DL_COMPLETE : EV_DL_FAILED, network, d, fin->state);
    (void)jx_rm_dl(network, d->id);
    char took[JX_ETA_SIZE];
    jx_sec_to_eta(static_cast<int64_t>(fin->end_time - fin->start_time), took);
    jx_log("Download done, transfer time: %s", took);
}

// Writes the segment held in the buffer and hashes it on the way. false when the download failed.
bool store_segment(JXNetwork* network, JXTransfer* d, size_t bytes)
{
    if (jx_fso_write_filepart2(d->stream, d->seg_buf, bytes) != 0) {
        jx_fail_dl(d, network);
        return false;
    }
    sha256_process_bytes(d->seg_buf, bytes, &d->meta.sha_ctx);
    return true;
}

}  // namespace

void proc_meta(const JXPacket* pkt)
{
    JXNetwork* network = jx_transfer_network(pkt);
    if (network == nullptr)
        return;
    JXOffer offer{};
    if (jx_data_unserialize_meta(pkt->payload, pkt->payload_len, &offer) != 0 ||
        std::strlen(offer.name) != offer.name_len) {
        jx_log("Can't unsrlz data from meta");
        return;
    }
    // Decided now, so that the pending row already shows the name the file will have.
    char safe[JX_SAFE_NAME_MAX + 1];
    if (!jx_fso_safe_name(offer.name, safe, sizeof safe)) {
        // Told, and logged, only to a host we know: any other source may be forged, and its flood
        // is counted like other refused offers.
        if (jx_is_direct_ip(network->type) || jx_peer_from_network(pkt->src_addr, network) != nullptr) {
            jx_log("Forbidden char filename");
            refuse_offer(network, offer.id, pkt->src_addr);
        } else {
            jx_refuse(JX_REFUSE_OFFER, pkt->src_addr);
        }
        return;
    }
    if (JXTransfer* known = jx_get_dl(network, offer.id); known != nullptr) {
        jx_log("Dl already in list");
        // The uploader repeats its offer until one answer arrives: an answer may have been lost.
        if (known->addr == pkt->src_addr)
            answer_offer(network, known);
        return;
    }
    // Its notice goes to the direct channel with the sender (a private network's only channel),
    // which is found, or made within the caps, before the offer is taken.
    if (!jx_offer_room(network, pkt->src_addr))
        return;
    JXChannel* channel =
        jx_stranger_channel(network, jx_is_direct_ip(network->type) ? 0 : pkt->src_addr, pkt->src_addr);
    if (channel == nullptr || !jx_keep_stranger_channel(channel, pkt->src_addr))
        return;
    auto* d = static_cast<JXTransfer*>(std::calloc(1, sizeof(JXTransfer)));
    if (d == nullptr)
        return;
    std::memcpy(d->id, offer.id, sizeof d->id);
    std::memcpy(d->meta.digest, offer.digest, sizeof d->meta.digest);
    std::memcpy(d->meta.name, safe, sizeof safe);
    jx_str_sanitize(offer.name, offer.name_len, d->meta.offered, sizeof d->meta.offered);
    d->meta.size = offer.size;
    d->limit = offer.chunk_size;
    d->addr = pkt->src_addr;
    d->port = JX_DATA_PORT;
    if (jx_list_ins_next(&network->downloads, nullptr, d) != 0) {
        std::free(d);
        jx_log("Failed add dl to list");
        return;
    }
    jx_raise_transfer_ev(EV_DL_OFFERED, network, d);
    answer_offer(network, d);
}

void proc_chunk(const JXPacket* pkt)
{
    JXNetwork* network = nullptr;
    JXTransfer* d = jx_transfer_of_packet(pkt, false, &network, "Processing chunk dl not found");
    JXChunk c{};
    if (d == nullptr || jx_data_unserialize_chunk(pkt->payload, pkt->payload_len, &c) != 0)
        return;
    if (c.segment != d->segment) {
        jx_log("Chk from old seg");
        return;
    }
    // Exactly the segment's chunk size: a shorter chunk would mark its place filled and leave
    // stale bytes in the file.
    if (c.index >= d->chunk_count || c.data_len != d->chunk_size || d->seg_buf == nullptr)
        return;
    d->last_activity = jx_now_s();
    // Only a chunk not seen before counts: a repeated one would take the count below zero.
    if ((d->bitmap[c.index / 8] & (1u << (c.index % 8))) == 0 && d->chunks_left > 0)
        d->chunks_left--;
    jx_setbit_1_8bitmem(d->bitmap, c.index);
    std::memcpy(d->seg_buf + c.index * d->chunk_size, c.data, d->chunk_size);
    if (d->state != DL_WAIT)
        (void)jx_set_dl_state(d, DL_WAIT);
    // Rate-based pacing asks for the next segment as soon as the last chunk of this one is in,
    // not a turn later.
    if (!jx_pacing_classic() && d->state == DL_WAIT && d->chunks_left == 0) {
        d->skipped = 0;
        (void)jx_check_dl(network, d);
    }
}

void proc_batch_done(const JXPacket* pkt)
{
    JXNetwork* network = nullptr;
    JXTransfer* d = jx_transfer_of_packet(pkt, false, &network, nullptr);
    uint8_t id[JX_TRANSFER_ID_LEN];
    uint64_t segment = 0;
    if (network == nullptr ||
        jx_data_unserialize_batch_done(pkt->payload, pkt->payload_len, id, &segment) != 0)
        return;
    if (d != nullptr) {
        if (segment == d->segment && d->state != DL_PENDING) {
            d->skipped = jx_is_allbit_1_8bitmem(d->bitmap, d->chunk_count) != 0 ? 0 : 1;
            (void)jx_check_dl(network, d);
        }
        return;
    }
    // Our first fin may have been lost: the uploader is still waiting for it.
    const JXTransferFin* fin = jx_get_fin(&network->fin_downloads, id);
    if (fin != nullptr && fin->addr == pkt->src_addr) {
        jx_fin_repeats++;
        (void)jx_snd_file_fin(network, fin, JX_DATA_PORT);
    }
}

uint8_t jx_accept_download(const uint8_t* id)
{
    JXNetwork* network = nullptr;
    JXTransfer* d = nullptr;
    for (jx_list_elmt* el = jx_list_head(&comm.networks); el != nullptr && d == nullptr;
         el = jx_list_next(el)) {
        network = static_cast<JXNetwork*>(jx_list_data(el));
        d = jx_get_dl(network, id);
    }
    if (d == nullptr)
        return 1;
    if (d->state != DL_PENDING)
        return 2;
    d->stream = jx_fso_get_dl_fp(&d->meta);
    if (d->stream == nullptr)
        return 1;
    // Taking a file takes its sender's channel up: no flood may drop the network it comes through.
    jx_adopt_channel(network, jx_ch_from_network(network, jx_is_direct_ip(network->type) ? 0 : d->addr));
    const uint64_t now = jx_now_s();
    d->eta = 0;
    d->speed = 0;
    d->bytes_left = d->meta.size;
    d->last_activity = now;
    d->start_time = now;
    sha256_init_ctx(&d->meta.sha_ctx);
    (void)jx_check_dl(network, d);
    return 0;
}

uint8_t jx_compute_next_segment(JXTransfer* d)
{
    // An offer never carries chunk size 0 (it is refused), but a plan must not divide by it.
    const uint64_t c = d->limit != 0 && d->limit < comm.data_payload_max ? d->limit : comm.data_payload_max;
    uint64_t size = c;
    uint64_t count = 1;
    if (d->bytes_left >= c) {
        count = d->bytes_left / c;
        if (count > JX_MAX_CHUNKS)
            count = JX_MAX_CHUNKS;
    } else {
        size = d->bytes_left;
    }
    if (jx_seg_buf_reserve(d, size * count) != 0) {
        jx_log("mallocing data_t FAILED dl");
        return 1;
    }
    d->segment++;
    d->bytes_left -= size * count;
    std::memset(d->bitmap, 0, sizeof d->bitmap);
    d->chunk_size = static_cast<uint16_t>(size);
    d->skipped = 0;
    d->chunks_left = d->chunk_count = count;
    jx_timer_start(&d->seg_timer);
    return 0;
}

uint8_t jx_check_dl(JXNetwork* network, JXTransfer* d)
{
    if (d->skipped != 0) {
        (void)jx_snd_get_skipped(network, d);
        d->state = DL_REQUESTED;
        d->repeat_us = jx_pacing_now_us();
        return 0;
    }
    if (jx_is_allbit_1_8bitmem(d->bitmap, d->chunk_count) == 0)
        return 0;
    // Before the first request the buffer holds nothing.
    const size_t held = d->state != DL_PENDING ? d->chunk_size * d->chunk_count : 0;
    if (d->bytes_left == 0) {
        if (held == 0 || store_segment(network, d, held))
            complete(network, d);
        return 1;
    }
    jx_measure_segment(d);
    // The next segment is asked for before this one is written, so the uploader reads and sends
    // it while we write. No chunk is taken in between, and the next segment is never larger, so
    // the buffer still holds this one.
    if (jx_compute_next_segment(d) != 0) {
        jx_fail_dl(d, network);
        return 1;
    }
    (void)jx_snd_get_segment(network, d);
    d->state = DL_REQUESTED;
    d->repeat_us = jx_pacing_now_us();
    return held != 0 && !store_segment(network, d, held) ? 1 : 0;
}

void manage_downloads(JXNetwork* network)
{
    jx_list_elmt* el = jx_list_head(&network->downloads);
    while (el != nullptr) {
        // The download may be removed below, so the next one is taken first.
        jx_list_elmt* next = jx_list_next(el);
        auto* d = static_cast<JXTransfer*>(jx_list_data(el));
        el = next;
        if (d->state == DL_WAIT && d->chunks_left == 0) {
            d->skipped = jx_is_allbit_1_8bitmem(d->bitmap, d->chunk_count) != 0 ? 0 : 1;
            (void)jx_check_dl(network, d);
            continue;  // its request has just gone out
        }
        if (d->state == DL_PENDING)
            continue;
        if (jx_now_s() > d->last_activity + JX_TRANSFER_TIMEOUT_S) {
            jx_fail_dl(d, network);
            continue;
        }
        if (d->state == DL_REQUESTED && jx_repeat_due(d))
            (void)(d->skipped != 0 ? jx_snd_get_skipped(network, d) : jx_snd_get_segment(network, d));
    }
}

void jx_fail_dl(JXTransfer* d, JXNetwork* network)
{
    jx_transfer_release(d);
    jx_raise_transfer_ev(EV_DL_FAILED, network, d);
    jx_fso_remove_file(d->meta.name, d->meta.dir);
    jx_log("Download failed, rm file...");
    const JXTransferFin* fin = jx_dl_fin(d, network, FIN_FAILED);
    if (fin != nullptr)
        (void)jx_snd_file_fin(network, fin, d->port);
    (void)jx_rm_dl(network, d->id);
}

uint8_t jx_set_dl_state(JXTransfer* d, uint8_t state)
{
    if (state == DL_WAIT && d->state == DL_PENDING) {
        jx_log("Can't change dl state from 'pending' to 'wait'");
        return 1;
    }
    if (state != DL_REQUESTED && state != DL_WAIT) {
        jx_log("Unknown dl state change request");
        return 1;
    }
    d->state = state;
    return 0;
}

JXTransfer* jx_get_dl(const JXNetwork* network, const uint8_t* id)
{
    return network != nullptr ? jx_find_transfer(&network->downloads, id) : nullptr;
}

uint8_t jx_rm_dl(JXNetwork* network, const uint8_t* id)
{
    return network != nullptr ? jx_remove_transfer(&network->downloads, id) : 1;
}

uint8_t jx_cancel_dl(JXNetwork* network, const uint8_t* id)
{
    const JXTransfer* d = jx_get_dl(network, id);
    if (d == nullptr)
        return 1;
    (void)jx_snd_fin(network, d->state == DL_PENDING ? PKT_FILE_FIN_OTHER : PKT_FILE_FIN_FAILED, d->addr,
                     d->port, d->id);
    return jx_rm_dl(network, id);
}

JXTransferFin* jx_dl_fin(const JXTransfer* download, JXNetwork* network, uint8_t result)
{
    return jx_make_fin(download, &network->fin_downloads, result);
}

uint8_t jx_verify_download(JXTransferFin* fin)
{
    // A download is checked as it is written; asking again reads the file back from disk.
    if (fin == nullptr ||
        (fin->state != FIN_COMPLETED && fin->state != FIN_HASH_OK && fin->state != FIN_HASH_BAD))
        return 1;
    auto* task = static_cast<JXVerifyTask*>(std::calloc(1, sizeof(JXVerifyTask)));
    if (task == nullptr)
        return 1;
    char path[JX_META_NAME_SIZE * 2];
    std::snprintf(path, sizeof path, "%s%s", fin->meta.dir, fin->meta.name);
    task->fin = fin;
    task->stream = std::fopen(path, "rb");
    if (task->stream == nullptr || jx_comm_add_task(TASK_VERIFY_DOWNLOAD, task) != 0) {
        jx_verify_task_free(task);
        return 1;
    }
    fin->state = FIN_HASH_CHECKING;
    return 0;
}

const JXVerifyTask* jx_verify_task_of(const JXTransferFin* fin)
{
    const auto* task = static_cast<const JXTask*>(jx_list_find(
        &comm.tasks, [&](void* t) { return jx_task_verifies(static_cast<const JXTask*>(t), fin); }));
    return task != nullptr ? static_cast<const JXVerifyTask*>(task->payload) : nullptr;
}

uint8_t jx_verify_step(JXVerifyTask* task, const JXTimer* watch, double* used)
{
    if (!jx_hash_in_budget(task->stream, &task->hash, watch, used))
        return 0;
    JXTransferFin* fin = task->fin;
    jx_log("File check done [%s]", fin->meta.name);
    jx_comm_raise(EV_HASH_READY, jx_build_hash_ev(fin->id, fin->meta.digest));
    // A file that could not be read to its end hashes short and fails here.
    const bool same = task->hash.size == fin->meta.size &&
                      std::memcmp(task->hash.digest, fin->meta.digest, sizeof fin->meta.digest) == 0;
    fin->state = same ? FIN_HASH_OK : FIN_HASH_BAD;
    return 1;
}
