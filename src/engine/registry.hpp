// registry: the joined networks with their channels and peers: lookups, the network a packet
// belongs to and the per-network rules every processor applies (own packets, duplicate ids),
// network status, joining and leaving (with multicast membership and broadcast permission on the
// receiving socket), channels (and the user's adoption of one strangers made), and adding or
// refreshing peers. Reports only through events.
// May call: foundation, protocol, storage (stranger_files), engine context/events/records/refusals/
// senders.
#pragma once

#include <cstdint>

#include "engine/records.hpp"
#include "foundation/ipv4.hpp"
#include "protocol/protocol.hpp"

// Bounds on what strangers can make this host allocate: every peer and every private network
// costs memory and a beacon every 11 s, and source addresses cost an attacker nothing.
inline constexpr int32_t JX_MAX_PEERS_PER_NETWORK = 1024;
inline constexpr int32_t JX_MAX_NETWORKS = 256;

// jx_add_network results (jx_join_network passes them on).
enum : uint8_t {
    JX_NET_ADD_OK = 0,
    JX_NET_ADD_NOMEM = 1,
    JX_NET_ADD_BCAST_FAILED = 2,
    JX_NET_ADD_MCAST_FAILED = 3,
    JX_NET_ADD_INSERT_FAILED = 4,
    JX_NET_ADD_EXISTS = 5,
    JX_NET_ADD_LOOPBACK = 7,
    JX_NET_ADD_DROP_FAILED = 12,
};

// jx_join_network's own results; it also passes on jx_add_network's and jx_add_channel's.
enum : uint8_t {
    JX_JOIN_OK = 0,
    JX_JOIN_BAD_ADDR = 1,
    JX_JOIN_ALREADY = 2,  // joined, not online: the main channel is handed out
    JX_JOIN_ONLINE = 4,   // joined and online: the main channel is handed out
};

// jx_add_channel results.
enum : uint8_t {
    JX_CH_ADD_OK = 0,
    JX_CH_ADD_NOMEM = 1,
    JX_CH_ADD_NO_NET = 2,
    JX_CH_ADD_NO_PEER = 3,
    JX_CH_ADD_DIRECT_PEER = 8,
    JX_CH_ADD_INSERT_FAILED = 11,
};

// jx_add_peer results.
enum : uint8_t {
    JX_PEER_ADDED = 0,
    JX_PEER_NULL_NET = 1,
    JX_PEER_NOMEM = 2,
    JX_PEER_INSERT_FAILED = 3,
    JX_PEER_REFRESHED = 4,
};

JXNetwork* jx_network_by_addr(uint32_t addr);
JXChannel* jx_channel_by_addr(uint32_t net_addr, uint32_t peer_addr);

// The joined network a packet belongs to: the header's network id, or the sender's address for
// direct-IP traffic (network id 0). Logs "Not from known network: [%s]" and gives null when none.
JXNetwork* jx_network_of_packet(const JXPacket* pkt);
// True when the packet is this host's own, looped back on a multicast or broadcast network.
bool check_if_self(const JXNetwork* network, const JXPacket* pkt);
// True when the packet's id is among the network's recent ids (JX_RECENT_IDS); otherwise the id is
// recorded.
bool check_duplicate_id(JXNetwork* network, const JXPacket* pkt);

// NET_ONLINE: online since now. NET_OFFLINE: online since 0. NET_CLOSED: an outgoing direct-IP
// network falls back to NET_UNSPEC. Null network or other values: nothing.
void jx_set_network_status(JXNetwork* network, uint8_t status);
// Marks a peer heard from now (null: nothing).
void jx_ts_peer(JXPeer* peer);

// Receiving-socket options (0, or errno when the option was refused).
int jx_mcast_join(uint32_t group);
int jx_mcast_drop(uint32_t group);
int jx_bcast_enable();

[[nodiscard]] uint8_t jx_join_network(const char* text, uint8_t requested_type, JXChannel** channel);
[[nodiscard]] uint8_t jx_add_network(uint32_t addr, uint8_t requested_type, JXNetwork** network);
[[nodiscard]] uint8_t jx_add_channel(uint32_t net_addr, uint32_t peer_addr, JXChannel** channel);
// Sends a leave packet, drops every record of the network and frees it. 0; 1 for null.
uint8_t jx_leave_network(JXNetwork* network);
// Leaves every joined network, the engine's last word on each.
void jx_leave_networks();
// The user opened the channel or wrote in it: a channel (and for a main or private channel, its
// network) that strangers' traffic made is the user's from now on, its file no longer strangers'.
void jx_adopt_channel(JXNetwork* network, JXChannel* channel);
// Adds or refreshes the sender of a beacon or query. JX_PEER_* codes.
[[nodiscard]] uint8_t jx_add_peer(JXNetwork* network, const JXPacket* pkt);
