// snd: the one sending primitive and the fresh message id every sender takes.
// May call: foundation (log), the socket interface.
//
// The senders that pick socket, header network id and port from a network (the per-network rules,
// beacon, query, leave, punch, text resend, acknowledgement) need the engine's network and peer
// records and its sockets, so they live in engine/senders.hpp; keeping them there lets this layer
// link without the engine (protocol <- engine).
#pragma once

#include <cstddef>
#include <cstdint>

// Sends `len` bytes to `addr` (network order) and `port` (host order) on `sock`.
// Returns 0 on success, 1 when the datagram is over 1470 bytes, the port is 0, or the send failed
// or was short (each logged).
[[nodiscard]] uint8_t snd_udp(int sock, uint32_t addr, uint16_t port, const uint8_t* dgram, size_t len);

// A fresh message id: never 0.
uint32_t get_msg_id_4srlz();
