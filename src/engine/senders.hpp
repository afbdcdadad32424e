// senders: every packet that belongs to a network leaves through the rules here: which socket,
// which header network id, which destination port, a fresh message id; plus the presence and text
// senders (beacon, query, leave, punch, text datagram, resend, acknowledgement) and the
// file-transfer senders (offer and its answer by the network's rules; the rest from data_sock to
// the transfer's address and data port). They live in the
// engine rather than in protocol/snd because they read the engine's sockets, identity and peer table.
// jx_snd_txt itself (tracking, events, result codes) belongs to the text module; it builds and
// sends its datagram with jx_snd_txt_dgram.
// May call: protocol (protocol, snd), foundation (timer, log), engine context/records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/protocol.hpp"
#include "protocol/snd.hpp"

struct JXNetwork;
struct JXChannel;
struct JXSentTxt;
struct JXTransfer;
struct JXTransferFin;

// Per-network sending rules.
int get_socket_4snd(const JXNetwork* network);
uint32_t jx_get_addr_4srlz(const JXNetwork* network);  // header network id; 0 on direct-IP
uint16_t get_port_4snd(const JXNetwork* network);      // host order; 0 when a direct-IP peer is gone

// Each returns the result of snd_udp (0 sent, 1 not sent).
uint8_t jx_snd_beacon(JXNetwork* network);
uint8_t jx_snd_query(JXNetwork* network);
uint8_t jx_snd_leave(JXNetwork* network);
// From data_sock to `addr` (network order), `port` (host order).
uint8_t jx_snd_punch(JXNetwork* network, uint32_t addr, uint16_t port);

// Builds a text datagram with a fresh id (PKT_TXT_DIRECT for CH_NET_DM/CH_DM, else PKT_TXT_GROUP)
// into `dgram` (1470 bytes), sends it to the channel's peer (CH_NET_DM) or the network address, and
// stores its length in *dgram_len. 0 sent, 1 not sent (a text over 1440 bytes is refused).
uint8_t jx_snd_txt_dgram(JXNetwork* network, const JXChannel* channel, const char* text, size_t text_len,
                         uint8_t* dgram, uint16_t* dgram_len);

// Unicast resends of a text to at most this many addressees; more on a group get one copy to the group.
inline constexpr int32_t JX_RESEND_UNICAST_MAX = 4;
// Sends the stored datagram unchanged to every remaining addressee (to the group instead when
// more than JX_RESEND_UNICAST_MAX remain), then one retry is used up.
void jx_snd_txt_re(JXNetwork* network, JXSentTxt* sent);

// Header-only acknowledgement of text `msg_id` to `addr`: PKT_TXT_GROUP_ACK for text type 1,
// PKT_TXT_DIRECT_ACK for 2. 2 (nothing sent) for any other type, else snd_udp's result.
uint8_t jx_txt_ack_snd(JXNetwork* network, uint32_t addr, uint32_t msg_id, uint8_t txt_type);

// File transfer. Each builds its payload from the transfer record; results as snd_udp's.
uint8_t jx_snd_file_meta(JXNetwork* network, const JXTransfer* upload);
uint8_t jx_snd_file_meta_ack(JXNetwork* network, const JXTransfer* download);
uint8_t jx_snd_get_segment(JXNetwork* network, const JXTransfer* download);
uint8_t jx_snd_get_skipped(JXNetwork* network, const JXTransfer* download);
// `payload` is a whole chunk payload (header and data) that the uploader assembled.
uint8_t jx_snd_chunk(JXNetwork* network, const JXTransfer* upload, const uint8_t* payload, uint16_t len);
// Chunks index[0..n) of the upload's current segment, straight from its segment buffer, in one
// system call (sendmmsg) that never waits; at most JX_PACE_BURST. The number that went; *err is 0,
// or the errno of the first that did not (EAGAIN or ENOBUFS: the way out is full).
uint32_t jx_snd_chunks(JXNetwork* network, const JXTransfer* upload, const uint32_t* index, uint32_t n, int* err);
uint8_t jx_snd_batch_done(JXNetwork* network, const JXTransfer* upload);
// The fin the record was made to tell (PKT_FILE_FIN_OK for a completed download whose digest
// matched, else PKT_FILE_FIN_FAILED), to the record's address and `port` (host order).
uint8_t jx_snd_file_fin(JXNetwork* network, const JXTransferFin* fin, uint16_t port);
// A fin of `type` (PKT_FILE_FIN_*) for transfer `id` to `addr` and `port` (host order).
uint8_t jx_snd_fin(JXNetwork* network, uint8_t type, uint32_t addr, uint16_t port, const uint8_t* id);
