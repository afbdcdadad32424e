// utils: the registry of joined networks, their channels and peers: records, type and status
// values, lookups, joining, leaving and peer bookkeeping, multicast membership and broadcast
// permission on the receiving socket. Reports only through events.
// May call: foundation (set, llist, utility, timer, log), engine comm/events/matchers/senders.
#pragma once

#include <cstdint>

#include "foundation/llist.hpp"
#include "foundation/set.hpp"
#include "protocol/protocol.hpp"

// Network types.
enum : uint8_t {
    NET_UNSPEC = 0,              // joined with a unicast or subnet-broadcast address; no answer yet
    NET_MULTICAST = 1,           // 224.0.0.0/4
    NET_BROADCAST = 2,           // 255.255.255.255
    NET_DIRECT_IP_INCOMING = 3,  // opened here because a remote host's query arrived
    NET_DIRECT_IP_OUTGOING = 4,  // a NET_UNSPEC network whose remote host answered
};

// Network status.
enum : uint8_t {
    NET_OFFLINE = 0,
    NET_ONLINE = 1,
    NET_CLOSED = 2,  // a direct-IP network whose only peer left or timed out
};

// Channel types.
enum : uint8_t {
    CH_UNSPEC = 0,  // channel of a NET_UNSPEC network
    CH_MAIN = 1,    // multicast or broadcast network, peer address 0
    CH_NET_DM = 2,  // multicast or broadcast network, one peer
    CH_DM = 3,      // direct-IP network, peer address 0
};

inline constexpr int JX_RECENT_IDS = 100;

struct JXNetwork {
    uint8_t type;
    uint8_t status;
    uint8_t recent_idx;                  // next slot of recent_ids, 0..99
    uint64_t recent_ids[JX_RECENT_IDS];  // ids of the last accepted texts and leaves, a ring
    int64_t last_beacon;                 // last beacon or query sent; 0 at creation
    int64_t last_heard;                  // last proof that the network is alive
    int64_t online_since;                // 0 while not online
    int64_t last_retry;                  // last text retry pass
    uint32_t own_addr;                   // own address seen in echoed beacons; 0 until then
    uint32_t addr;                       // network order; unique within comm.networks
    jx_set peers;                        // of JXPeer
    jx_set channels;                     // of JXChannel
    jx_list downloads;                   // transfer records; the home screen counts their sizes
    jx_list uploads;
    jx_list fin_downloads;
    jx_list fin_uploads;
};

struct JXChannel {
    uint8_t type;
    uint32_t net_addr;
    uint32_t peer_addr;  // the peer of a CH_NET_DM channel, else 0
    uint64_t unread;
    jx_list sent_txts;  // of JXSentTxt, newest first
};

struct JXPeer {
    uint8_t alive;  // 0 when added, 1 once heard again
    uint16_t port;  // host order: source port of its packets
    uint32_t addr;  // network order; unique within a network
    int64_t last_seen;
    uint8_t beacon_head[32];  // first 32 payload bytes of the packet that added/refreshed it
    char username[16];
};

inline constexpr int JX_TXT_RETRIES = 5;

// A sent text waiting for acknowledgements. The message id is read back from the datagram.
struct JXSentTxt {
    uint8_t retries;  // 5 when created; one less per resend pass
    uint16_t len;     // bytes of dgram
    uint16_t acks;    // acknowledgements received (repeats count)
    uint8_t dgram[JX_DATAGRAM_MAX];
    jx_set addressees;  // of separately allocated uint32_t addresses not yet acknowledged
};

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

// Dotted form of an address (network order), returned by value so that several can appear in one
// log call: jx_ip_str(a).s
struct JXIpStr {
    char s[16];
};
JXIpStr jx_ip_str(uint32_t addr);

JXNetwork* jx_network_by_addr(uint32_t addr);
JXChannel* jx_channel_by_addr(uint32_t net_addr, uint32_t peer_addr);
JXChannel* jx_ch_from_network(const JXNetwork* network, uint32_t peer_addr);
JXPeer* jx_peer_from_network(uint32_t addr, const JXNetwork* network);

// NET_ONLINE: online since now. NET_OFFLINE: online since 0. NET_CLOSED: an outgoing direct-IP
// network falls back to NET_UNSPEC. Null network or other values: nothing.
void jx_set_network_status(JXNetwork* network, uint8_t status);
// Marks a peer heard from now (null: nothing).
void jx_ts_peer(JXPeer* peer);

// Static 40-byte buffers, one per function, overwritten by the next call.
const char* jx_channel_type_str(uint8_t type);
const char* jx_network_type_str(uint8_t type);

// 0 when text is a strict dotted quad (no leading zeros, no spaces), else 1 (also for null).
uint8_t ipv4_check(const char* text);
bool is_bcast_addr(uint32_t addr);
// Private networks with one remote host, opened by either side.
inline bool jx_is_direct_ip(uint8_t type)
{
    return type == NET_DIRECT_IP_INCOMING || type == NET_DIRECT_IP_OUTGOING;
}
// Multicast and broadcast networks, where this host hears its own traffic back.
inline bool jx_is_group(uint8_t type)
{
    return type == NET_MULTICAST || type == NET_BROADCAST;
}
bool is_mcast_addr(uint32_t addr);

// Receiving-socket options (0, or errno when the option was refused).
int jx_mcast_join(uint32_t group);
int jx_mcast_drop(uint32_t group);
int jx_bcast_enable();

[[nodiscard]] uint8_t jx_join_network(const char* text, uint8_t requested_type, JXChannel** channel);
[[nodiscard]] uint8_t jx_add_network(uint32_t addr, uint8_t requested_type, JXNetwork** network);
[[nodiscard]] uint8_t jx_add_channel(uint32_t net_addr, uint32_t peer_addr, JXChannel** channel);
// Sends a leave packet, drops every record of the network and frees it. 0; 1 for null.
uint8_t jx_leave_network(JXNetwork* network);
// Adds or refreshes the sender of a beacon or query. JX_PEER_* codes.
[[nodiscard]] uint8_t jx_add_peer(JXNetwork* network, const JXPacket* pkt);

// Frees a sent-text record with its addressee set (the record must be unlinked already).
void jx_sent_txt_free(JXSentTxt* st);
