// dispatcher: decodes the datagram in the receive buffer, drops it when its payload is too short
// for its type, and hands it to its feature's processor.
// May call: foundation (log), protocol, engine comm and the features' processors.
#pragma once

// Decodes comm.rcv_buf (comm.rcv_len bytes from comm.rcv_from) and hands it to its processor.
// The packet's payload length is cut to the bytes actually received, so no processor depends on
// bytes that never arrived.
void jx_process_udp();
