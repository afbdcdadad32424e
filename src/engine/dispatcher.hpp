// dispatcher: the table of packet types (one row per type the program knows: the smallest payload
// its fields need and its processor), and the step that decodes the datagram in the receive
// buffer, drops it when its payload is too short for its type, and hands it to its processor.
// A new packet type is one row here, its number in protocol.hpp and its processor in its feature.
// May call: foundation (log), protocol, engine context and the features' processors.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/protocol.hpp"

using jx_proc_fn = void (*)(const JXPacket* pkt);

struct JXPacketRow {
    uint8_t type;
    size_t min_payload;  // anything shorter is dropped before the processor sees it
    jx_proc_fn proc;     // null: known, but nothing to do on arrival (logged as not recognised)
};

// The row of a packet type; null for a type the program does not know.
const JXPacketRow* jx_packet_row(uint8_t type);

// Decodes comm.rcv_buf (comm.rcv_len bytes from comm.rcv_from) and hands it to its processor.
// The packet's payload length is cut to the bytes actually received, so no processor depends on
// bytes that never arrived.
void jx_process_udp();
