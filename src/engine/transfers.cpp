#include "engine/transfers.hpp"

#include <cstdlib>
#include <cstring>

#include "engine/context.hpp"
#include "engine/events.hpp"
#include "engine/pacing.hpp"
#include "engine/quotas.hpp"
#include "engine/registry.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"
#include "storage/transfer_files.hpp"

namespace {

template <typename T>
T* find(const jx_list* list, const uint8_t* id)
{
    return static_cast<T*>(jx_list_find(
        list, [&](void* rec) { return std::memcmp(static_cast<T*>(rec)->id, id, JX_TRANSFER_ID_LEN) == 0; }));
}

// Ids are random, yet a finished record may repeat one (an offer failed twice): only the first goes.
template <typename T>
uint8_t remove(jx_list* list, const uint8_t* id)
{
    bool found = false;
    (void)jx_list_remove_if(list, [&](void* rec) {
        if (found || std::memcmp(static_cast<T*>(rec)->id, id, JX_TRANSFER_ID_LEN) != 0)
            return false;
        return found = true;
    });
    return found ? 0 : 1;
}

}  // namespace

bool jx_repeat_due(JXTransfer* t)
{
    if (jx_pacing_classic())
        return true;
    const int64_t now = jx_pacing_now_us();
    if (now - t->repeat_us < JX_REPEAT_US)
        return false;
    t->repeat_us = now;
    return true;
}

JXNetwork* jx_transfer_network(const JXPacket* pkt)
{
    JXNetwork* network = jx_network_of_packet(pkt);
    if (network != nullptr)
        jx_ts_peer(jx_peer_from_network(pkt->src_addr, network));
    return network;
}

JXTransfer* jx_transfer_of_packet(const JXPacket* pkt, bool upload, JXNetwork** network,
                                  const char* not_found)
{
    *network = jx_transfer_network(pkt);
    if (*network == nullptr)
        return nullptr;
    JXTransfer* t = jx_find_transfer(upload ? &(*network)->uploads : &(*network)->downloads, pkt->payload);
    if (t == nullptr) {
        if (not_found != nullptr)
            jx_log("%s", not_found);
        return nullptr;
    }
    if (t->addr != pkt->src_addr) {
        jx_log("Packet type %d from %s refused: its transfer's peer is %s", pkt->type,
               jx_ip_str(pkt->src_addr).s, jx_ip_str(t->addr).s);
        return nullptr;
    }
    return t;
}

bool jx_transfers_busy(const JXNetwork* network)
{
    auto busy = [](uint8_t idle) {
        return [idle](void* t) { return static_cast<const JXTransfer*>(t)->state != idle; };
    };
    return jx_list_find(&network->uploads, busy(UL_PENDING)) != nullptr ||
           jx_list_find(&network->downloads, busy(DL_PENDING)) != nullptr;
}

bool jx_hash_in_budget(FILE* stream, JXFileMeta* meta, const JXTimer* watch, double* used)
{
    while (jx_fso_sha256_sum2(stream, meta, JX_HASH_SLICE) != 0) {
        // The stopwatch's reading since the start is added after every slice, as for chunks.
        *used += jx_timer_get_micro_lap(watch);
        if (*used >= JX_TURN_BUDGET_US)
            return false;
    }
    return true;
}

void jx_measure_segment(JXTransfer* t)
{
    if (t->segment != 0) {
        jx_timer_stop(&t->seg_timer);
        const double us = jx_timer_get_micro(&t->seg_timer);
        if (us > 0)
            t->speed = static_cast<double>(t->chunk_size * t->chunk_count) / us;
    }
    t->eta =
        t->speed > 0 ? static_cast<uint64_t>(static_cast<double>(t->bytes_left) / (t->speed * 1000000)) : 0;
}

JXTransfer* jx_find_transfer(const jx_list* list, const uint8_t* id)
{
    return find<JXTransfer>(list, id);
}

uint8_t jx_remove_transfer(jx_list* list, const uint8_t* id)
{
    return remove<JXTransfer>(list, id);
}

JXTransferFin* jx_make_fin(const JXTransfer* t, jx_list* fins, uint8_t result)
{
    auto* f = static_cast<JXTransferFin*>(std::calloc(1, sizeof(JXTransferFin)));
    if (f == nullptr)
        return nullptr;
    f->state = result;
    f->start_time = t->start_time;
    f->end_time = jx_now_s();
    f->addr = t->addr;
    std::memcpy(f->id, t->id, sizeof f->id);
    std::memcpy(&f->meta, &t->meta, sizeof f->meta);
    f->told = result == FIN_COMPLETED || result == FIN_HASH_OK ? PKT_FILE_FIN_OK : PKT_FILE_FIN_FAILED;
    if (jx_list_ins_next(fins, nullptr, f) != 0) {
        std::free(f);
        return nullptr;
    }
    return f;
}

JXTransferFin* jx_get_fin(const jx_list* fins, const uint8_t* id)
{
    return find<JXTransferFin>(fins, id);
}

uint8_t jx_rm_fin(jx_list* fins, const uint8_t* id)
{
    return remove<JXTransferFin>(fins, id);
}

uint8_t jx_seg_buf_reserve(JXTransfer* t, size_t n)
{
    if (t->seg_buf != nullptr && t->seg_buf_size >= n)
        return 0;
    std::free(t->seg_buf);
    t->seg_buf = static_cast<uint8_t*>(std::malloc(n));
    t->seg_buf_size = t->seg_buf != nullptr ? n : 0;
    return t->seg_buf != nullptr ? 0 : 1;
}

namespace {

// A withdrawn offer was never accepted: its record has no start time.
bool withdrawn(const JXTransferFin* f)
{
    return f->state == FIN_FAILED && f->start_time == 0;
}

void trim_withdrawn()
{
    for (;;) {
        int32_t n = 0;
        JXNetwork* in = nullptr;
        const JXTransferFin* oldest = nullptr;
        for (jx_list_elmt* el = jx_list_head(&comm.networks); el != nullptr; el = jx_list_next(el)) {
            auto* net = static_cast<JXNetwork*>(jx_list_data(el));
            for (jx_list_elmt* f = jx_list_head(&net->fin_downloads); f != nullptr; f = jx_list_next(f)) {
                const auto* fin = static_cast<const JXTransferFin*>(jx_list_data(f));
                if (!withdrawn(fin))
                    continue;
                n++;
                if (oldest == nullptr || fin->end_time <= oldest->end_time)
                    oldest = fin, in = net;
            }
        }
        if (n <= JX_MAX_WITHDRAWN || jx_rm_fin(&in->fin_downloads, oldest->id) != 0)
            return;
    }
}

// Ends every transfer of `list` from or to addr whose state is `state`, as failed.
void end_waiting(JXNetwork* network, jx_list* list, jx_list* fins, uint32_t addr, uint8_t state, uint8_t ev)
{
    (void)jx_list_remove_if(list, [&](void* rec) {
        const auto* t = static_cast<const JXTransfer*>(rec);
        if (t->addr != addr || t->state != state)
            return false;
        jx_raise_transfer_ev(ev, network, t);
        (void)jx_make_fin(t, fins, FIN_FAILED);
        return true;
    });
}

}  // namespace

void jx_transfers_peer_gone(JXNetwork* network, uint32_t addr)
{
    if (network == nullptr)
        return;
    end_waiting(network, &network->downloads, &network->fin_downloads, addr, DL_PENDING, EV_DL_FAILED);
    end_waiting(network, &network->uploads, &network->fin_uploads, addr, UL_PENDING, EV_UL_FAILED);
    trim_withdrawn();
}

void jx_raise_transfer_ev(uint8_t kind, const JXNetwork* network, const JXTransfer* t, uint8_t result)
{
    file_ev* ev = jx_build_file_ev(t->meta.name, strnlen(t->meta.name, sizeof t->meta.name),
                                   jx_is_direct_ip(network->type) ? CH_DM : CH_NET_DM, network->addr, t->addr);
    if (ev != nullptr) {
        std::memcpy(ev->id, t->id, sizeof ev->id);
        std::memcpy(ev->digest, t->meta.digest, sizeof ev->digest);
        ev->size = t->meta.size;
        if (result == FIN_NONE)
            result = kind == EV_UL_COMPLETE   ? FIN_COMPLETED
                     : kind == EV_DL_COMPLETE ? FIN_HASH_OK
                     : kind == EV_UL_FAILED || kind == EV_DL_FAILED ? FIN_FAILED
                                                                     : FIN_NONE;
        ev->result = result;
    }
    jx_comm_raise(kind, ev);
}
