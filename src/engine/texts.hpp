// texts: sending a text on a channel and tracking its delivery (the sent-text records kept per
// channel, acknowledgements counted against them, the 3-second resend pass and the verdicts), and
// receiving texts and acknowledgements.
// May call: foundation, protocol, engine context/events/quotas/records/registry/senders.
#pragma once

#include <cstdint>

#include "protocol/protocol.hpp"

struct JXNetwork;
struct JXChannel;

// jx_snd_txt results.
enum : uint8_t {
    JX_TXT_OK = 0,          // sent, and tracked when the network has peers
    JX_TXT_NOT_SENT = 1,    // the datagram could not be built or sent (logged)
    JX_TXT_NO_NETWORK = 2,  // the channel's network is not joined (or no channel)
    JX_TXT_NO_PEER = 3,     // a Net DM channel whose peer is gone
    JX_TXT_UNTRACKED = 4,   // sent, but no tracking record could be allocated
    JX_TXT_OFFLINE = 5,     // the network is not online
};

// Sends `text` (NUL-terminated, 1..1440 bytes) on the channel, raises EV_TXT_SENT and keeps a
// sent-text record with the addressees that must acknowledge it.
[[nodiscard]] uint8_t jx_snd_txt(JXChannel* channel, const char* text);

// Counts an acknowledgement from `addr` for text `msg_id` against the channel's sent texts. When
// it was the last addressee of a record, the record is unlinked and freed and the result is 1
// (the caller reports the delivery); otherwise 0.
uint8_t jx_sent_txt_ack(JXChannel* channel, uint32_t addr, uint64_t msg_id);

// The resend pass of one network: at most once every 3 s, resends each tracked text to whoever
// has not acknowledged it and reports texts whose five resends are used up.
void txt_retry(JXNetwork* network);
// The second (of jx_mono_now) of the network's next resend pass while it tracks texts; INT64_MAX
// when it tracks none (a pass would have nothing to do).
int64_t txt_retry_due(const JXNetwork* network);

// Processors of texts (types 1, 2) and their acknowledgements (types 5, 6).
void proc_txt(const JXPacket* pkt);
void proc_txt_ack(const JXPacket* pkt);
