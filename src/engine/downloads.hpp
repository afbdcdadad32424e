// downloads: the receiving side of a file transfer. Offers kept until the user accepts one, the
// segment plan, chunks gathered in memory and written a whole segment at a time, requests for
// missing chunks, the 15 s time-out that deletes a partial file, the finished record and the
// verification of a finished download (run by the task queue).
// May call: foundation, protocol, storage (transfer files), engine context/events/quotas/records/registry/
// pacing/senders/transfers.
#pragma once

#include <cstdint>

#include "engine/records.hpp"
#include "foundation/timer.hpp"
#include "protocol/protocol.hpp"

// Batch-dones of finished downloads, each answered with the fin again (the first was lost): a
// program about to end watches this count to answer such repeats first.
extern uint64_t jx_fin_repeats;

void proc_meta(const JXPacket* pkt);
void proc_chunk(const JXPacket* pkt);
void proc_batch_done(const JXPacket* pkt);

// Starts the pending download with this id in any joined network: creates its file and asks for
// the first segment (an empty file completes at once). 0 started; 1 no such download, or its file
// cannot be created (it stays pending); 2 not pending.
[[nodiscard]] uint8_t jx_accept_download(const uint8_t* id);
// Advances every download of the network; called once per turn.
void manage_downloads(JXNetwork* network);
// When the current segment may be complete: asks for missing chunks, or asks for the next segment
// and writes this one (hashing it), or writes the last and finishes: the digest decides between
// FIN_HASH_OK (PKT_FILE_FIN_OK, EV_DL_COMPLETE) and FIN_HASH_BAD (PKT_FILE_FIN_FAILED, EV_DL_FAILED). 1 when the download was removed (finished or failed), else 0.
uint8_t jx_check_dl(JXNetwork* network, JXTransfer* download);
// Plans and prepares the next segment. 0, or 1 when its buffer cannot be allocated.
uint8_t jx_compute_next_segment(JXTransfer* download);
// Ends the download as failed: file deleted, peer told, finished record kept, download removed.
void jx_fail_dl(JXTransfer* download, JXNetwork* network);
// 0 changed; 1 refused (logged): DL_WAIT not from DL_PENDING, only DL_REQUESTED and DL_WAIT.
uint8_t jx_set_dl_state(JXTransfer* download, uint8_t state);
JXTransfer* jx_get_dl(const JXNetwork* network, const uint8_t* id);
// Removes and destroys the download (a file still open is partial and is deleted). 0, 1 not found.
uint8_t jx_rm_dl(JXNetwork* network, const uint8_t* id);
JXTransferFin* jx_dl_fin(const JXTransfer* download, JXNetwork* network, uint8_t result);
// The user removes a download, and its uploader is told rather than left waiting: an offer not
// accepted is declined (PKT_FILE_FIN_OTHER), a running download fails there at once
// (PKT_FILE_FIN_FAILED). Then as jx_rm_dl (a partial file is deleted): 0, 1 not found.
uint8_t jx_cancel_dl(JXNetwork* network, const uint8_t* id);

// Queues the verification from disk of a finished download (FIN_COMPLETED, or already checked as
// it arrived: FIN_HASH_OK, FIN_HASH_BAD) and sets it FIN_HASH_CHECKING.
// 0 queued; 1 not possible (wrong state, file cannot be opened, no memory): nothing changes.
uint8_t jx_verify_download(JXTransferFin* fin);
// The queued verification of a record, or null.
const JXVerifyTask* jx_verify_task_of(const JXTransferFin* fin);
// Hashes the next part of a verification while the turn's budget lasts (`used` microseconds of it
// spent, measured on `watch`), at least one part. 1 when the file is hashed and the record's state
// set (FIN_HASH_OK or FIN_HASH_BAD, EV_HASH_READY raised); 0 when more remains.
uint8_t jx_verify_step(JXVerifyTask* task, const JXTimer* watch, double* used);
