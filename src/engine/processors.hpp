// processors: decoding and dispatch of the datagram in the receive buffer, the rules every packet
// processor shares (the network a packet belongs to, this host's own packets, duplicate ids), and
// the processors of presence (beacon, query, leave) and texts (text, acknowledgement).
// May call: protocol, foundation (log, timer, set), engine comm/events/utils/senders/texts.
#pragma once

#include <cstdint>

#include "protocol/protocol.hpp"

struct JXNetwork;

// Bounds on what strangers can make this host allocate: every peer and every private network
// costs memory and a beacon every 11 s, and source addresses cost an attacker nothing.
inline constexpr int32_t JX_MAX_PEERS_PER_NETWORK = 1024;
inline constexpr int32_t JX_MAX_NETWORKS = 256;

// Decodes comm.rcv_buf (comm.rcv_len bytes from comm.rcv_from) and hands it to its processor.
// The packet's payload length is cut to the bytes actually received, so no processor depends on
// bytes that never arrived.
void jx_process_udp();

// The joined network a packet belongs to: the header's network id, or the sender's address for
// direct-IP traffic (network id 0). Logs "Not from known network: [%s]" and gives null when none.
JXNetwork* jx_network_of_packet(const JXPacket* pkt);

// True when the packet is this host's own, looped back on a multicast or broadcast network.
bool check_if_self(const JXNetwork* network, const JXPacket* pkt);

// True when the packet's id is among the network's 100 recent ids; otherwise the id is recorded.
bool check_duplicate_id(JXNetwork* network, const JXPacket* pkt);

void proc_beacon(const JXPacket* pkt);
void proc_query(const JXPacket* pkt);
void proc_leave(const JXPacket* pkt);
void proc_txt(const JXPacket* pkt);
void proc_txt_ack(const JXPacket* pkt);
