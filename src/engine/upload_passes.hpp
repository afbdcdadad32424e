// upload_passes: how an upload in UL_SEND_BATCH sends the chunks of its segment: the classic pass
// of one main-loop turn (`limit` chunks and the running-total budget) or the rate-based one (what
// the upload's rate allows whenever the loop wakes, in one system call).
// May call: foundation (bit_utils, timer, log), protocol, engine pacing/records/senders/transfers.
#pragma once

#include <cstdint>

#include "engine/records.hpp"

// Chunks the first pass of an upload may send; each segment finished within the budget adds 3.
inline constexpr uint16_t JX_LIMIT_START = 5;
inline constexpr uint16_t JX_LIMIT_STEP = 3;

// Classic: one pass per turn. `total` is the running total of stopwatch readings shared by every
// upload of the network in this turn: the reading after each chunk is the time since the start of
// this pass, so the total grows faster than the time spent, which paces the chunks together with
// `limit`.
void jx_send_pass(JXNetwork* network, JXTransfer* upload, double* total);
// Rate-based: every upload of the network in UL_SEND_BATCH sends what its rate allows at now_us
// (monotonic microseconds).
void jx_pace_uploads(JXNetwork* network, int64_t now_us);
// When the next of them may send (INT64_MAX: none is sending).
int64_t jx_uploads_due_us(const JXNetwork* network);
