// uploads: the sending side of a file transfer. Creating an upload for a private channel, the
// periodic work (hashing in slices, offering until answered, paced chunk passes, repeating
// batch-done, the 15 s time-out) and the handlers of the downloader's answer, segment requests,
// re-send requests and final result.
// May call: foundation, protocol, storage (transfer files), engine context/events/records/registry/
// pacing/senders/transfers/upload_passes.
#pragma once

#include <cstdint>

#include "engine/records.hpp"
#include "protocol/protocol.hpp"

// jx_add_upload results.
enum : uint8_t {
    JX_UL_OK = 0,
    JX_UL_NOT_ADDED = 1,    // no memory for the record, or it could not be linked
    JX_UL_NO_NETWORK = 2,   // the channel's network is not joined
    JX_UL_NO_PEER = 3,      // a Net DM channel whose peer is gone
    JX_UL_BAD_FILE = 4,     // cannot be opened, not a regular file, or a forbidden name
    JX_UL_OFFLINE = 5,      // the network is not online
    JX_UL_NOT_PRIVATE = 6,  // files go to one peer: only Net DM and DM channels
};

// Offers the file at `path` to the peer of a private channel: the upload starts hashing and
// EV_UL_PREPARING is raised. JX_UL_* codes.
[[nodiscard]] uint8_t jx_add_upload(JXChannel* channel, const char* path);
// Advances every upload of the network; called once per turn.
void manage_uploads(JXNetwork* network);

void proc_meta_ack(const JXPacket* pkt);
void proc_get_segment(const JXPacket* pkt);
void proc_get_skipped(const JXPacket* pkt);
// PKT_FILE_FIN_OK, PKT_FILE_FIN_FAILED and PKT_FILE_FIN_OTHER.
void proc_file_fin(const JXPacket* pkt);

JXTransfer* jx_get_ul(const JXNetwork* network, const uint8_t* id);
// Removes and destroys the upload (its file is closed). 0 done, 1 not found (logged).
uint8_t jx_rm_ul(JXNetwork* network, const uint8_t* id);
// The finished record of the upload with `result`, at the head of the finished uploads.
JXTransferFin* jx_ul_fin(const JXTransfer* upload, JXNetwork* network, uint8_t result);
