// jx_peer's parts (the tool is described in jx_peer.cpp): the wire side every scripted peer uses
// (peer_wire.cpp: sockets, packets, raw packets from forged sources, offers and requests written
// as a hostile peer may write them) and the hostile peers (peer_hostile.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol/protocol.hpp"

inline constexpr int BEACON_S = 11;

// Message ids go on from a random start, never 0.
extern uint32_t g_next_id;

double now_s();
// The address s in network order; a usage error ends the tool.
uint32_t addr_of(const char* s);
// A UDP socket bound to addr:port (port 0: any); addr 0 with a group also joins the group.
int bound(uint32_t addr, uint16_t port, uint32_t group = 0);
// One packet into dgram (1470 bytes) with the next message id; its length.
size_t make_pkt(uint8_t* dgram, uint8_t type, uint32_t net, const char* name, const void* payload, size_t len,
                uint32_t* id_out = nullptr);
// Sends one packet; returns its message id.
uint32_t send_pkt(int s, uint32_t to, uint16_t port, uint8_t type, uint32_t net, const char* name,
                  const void* payload, size_t len);
// One packet in a UDP datagram from any source address (a raw socket).
void send_raw(uint32_t src, uint32_t to, uint16_t port, uint8_t type, uint32_t net, const char* name,
              const void* payload = nullptr, size_t len = 0);
void beacon(int s, uint32_t net, const char* name, uint32_t uptime, const char* instance);
// Receives one datagram of s into pkt; false when nothing could be decoded.
bool receive(int s, JXPacket* pkt);
// Waits up to `seconds` for a packet of `type` from `from` on s; false when none came.
bool await(int s, uint32_t from, uint8_t type, double seconds, JXPacket* pkt);
std::vector<uint8_t> payload_of(const std::string& s);
// An offer payload as a hostile peer may write it: any name bytes, any claimed name length.
std::vector<uint8_t> offer(const std::string& name, size_t claimed = 0, uint16_t chunk = 1370);
std::vector<uint8_t> seg_req(const uint8_t* id, uint64_t segment, uint16_t size, uint32_t count);
// A transfer id of 16 hex digits.
bool parse_id(const char* s, uint8_t* id);

// The hostile peers (peer_hostile.cpp): see the modes hostile, forge and forged of jx_peer.cpp.
int hostile(uint32_t net, uint32_t self, uint32_t target, double seconds, const char* file);
void forge(int s, uint32_t net, uint32_t target, const uint8_t* id, const char* name);
int forged(const std::string& action, uint32_t net, uint32_t first, int count, uint32_t target);
