// transfers: what uploads and downloads share: the time rules and per-turn budgets, the opening of
// their packet handlers, finding a transfer by its id, the hashing budget, speed and time left,
// the finished records, the segment buffer, and the file event of a transfer.
// May call: foundation, storage (transfer files), engine context/events/pacing/quotas/records/
// registry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "engine/records.hpp"
#include "foundation/timer.hpp"

// A transfer that hears nothing for longer than this fails.
inline constexpr int64_t JX_TRANSFER_TIMEOUT_S = 15;
// Microseconds of hashing, and of chunk sending, per turn of the main loop.
inline constexpr double JX_TURN_BUDGET_US = 10000;
// Bytes hashed per step within that budget.
inline constexpr size_t JX_HASH_SLICE = 1000000;
// Chunks a sending pass may grow to: a whole segment.
inline constexpr uint16_t JX_LIMIT_MAX = JX_MAX_CHUNKS;

// Monotonic seconds, as the transfer records keep them: they time transfers out and measure them.
inline uint64_t jx_now_s()
{
    return static_cast<uint64_t>(jx_mono_now());
}

// Whether the offer, batch-done or request a transfer waits with goes out again now: on every turn
// with classic pacing, else once JX_REPEAT_US have passed since it last went (then it is taken
// as sent now).
bool jx_repeat_due(JXTransfer* t);

// The network of a transfer packet (null and logged when none), with its sender marked as seen.
JXNetwork* jx_transfer_network(const JXPacket* pkt);

// The opening every handler of a packet about a running transfer shares: *network is the packet's
// network (jx_transfer_network; null when none), and the result the upload (upload true) or
// download the packet names, when it comes from that transfer's peer: nobody else may steer it.
// Null, with a log line, for a packet from another address, and with `not_found` (when not null)
// logged for an id no transfer has.
JXTransfer* jx_transfer_of_packet(const JXPacket* pkt, bool upload, JXNetwork** network,
                                  const char* not_found);

// True while a transfer of the network works on every turn: all but the uploads that wait, without
// time limit, for the user on the other side to accept, and the offers that wait for ours.
bool jx_transfers_busy(const JXNetwork* network);

// Hashes slices of the stream into meta while the turn's budget lasts (`used` microseconds of it
// spent, measured on `watch`), at least one slice. True when the whole file is hashed.
bool jx_hash_in_budget(FILE* stream, JXFileMeta* meta, const JXTimer* watch, double* used);

// Ends the measure of the transfer's current segment (none before the first): its speed, and the
// time left for bytes_left at that speed (0 while there is no speed).
void jx_measure_segment(JXTransfer* t);

// The first transfer of an uploads or downloads list with this transfer id, or null.
JXTransfer* jx_find_transfer(const jx_list* list, const uint8_t* id);
// Unlinks the first transfer with this id and destroys it with the list's destroy function.
// 0 done, 1 not found.
uint8_t jx_remove_transfer(jx_list* list, const uint8_t* id);

// The finished record of a transfer with `result` and end time now, put at the head of `fins`
// (the network's finished uploads or downloads). Null when it cannot be made; nothing remains.
JXTransferFin* jx_make_fin(const JXTransfer* t, jx_list* fins, uint8_t result);
JXTransferFin* jx_get_fin(const jx_list* fins, const uint8_t* id);
// Removes and destroys a finished record (a verification of it is cancelled). 0 done, 1 not found.
uint8_t jx_rm_fin(jx_list* fins, const uint8_t* id);

// The segment buffer holds at least n bytes: reallocated only when it holds fewer. 0, or 1 when
// that failed (the old buffer is then released).
uint8_t jx_seg_buf_reserve(JXTransfer* t, size_t n);

// The peer at addr left the network or was dropped: its pending offers are withdrawn and our
// uploads that wait for it to start are ended, each as failed (a finished record, EV_DL_FAILED or
// EV_UL_FAILED), so the screens show them ended. Transfers under way have their own time-out. The
// oldest records of withdrawn offers go beyond JX_MAX_WITHDRAWN in all: strangers can offer and
// leave for ever.
void jx_transfers_peer_gone(JXNetwork* network, uint32_t addr);

// Raises a file event of the transfer: its name, CH_DM on a direct-IP network else CH_NET_DM,
// the network and the other side's address, its id, size and digest, and the result of an event
// that ends it: `result` when given, else FIN_COMPLETED (EV_UL_COMPLETE), FIN_HASH_OK
// (EV_DL_COMPLETE) or FIN_FAILED (EV_UL_FAILED, EV_DL_FAILED).
void jx_raise_transfer_ev(uint8_t kind, const JXNetwork* network, const JXTransfer* t, uint8_t result = FIN_NONE);
