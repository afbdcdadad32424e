// records: the engine's records and who owns them, how members of their sets are told apart,
// how each record is destroyed, and the display names of their type values.
//
// Ownership: comm.networks owns every JXNetwork. A network owns its peers, its channels and its
// transfer lists; a channel owns its sent texts; a sent text owns its addressee set. Each container
// is given the destroy function of its records, so destroying a container releases everything
// below it (sockets and files excepted: leaving a network is the registry's job).
// May call: foundation (llist, set).
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

// Match callbacks: (key or member of the first set, member being scanned); nonzero when equal.
int jx_match_network(const void* key, const void* member);         // by address
int jx_match_channel(const void* key, const void* member);         // by network and peer address
int jx_match_peer(const void* key, const void* member);            // by address
int jx_match_sent_text_addr(const void* key, const void* member);  // 4-byte addresses
int jx_match_segment_chunk(const void* key, const void* member);   // first 8 bytes (transfer id)

// Empty containers of a new record, each with its records' destroy function.
void jx_network_init_lists(JXNetwork* network);
void jx_channel_init_lists(JXChannel* channel);
void jx_sent_txt_init_lists(JXSentTxt* sent);

// Destroy functions, also the containers' destroy callbacks. Each takes a record that is no
// longer linked anywhere and releases it with everything it owns.
void jx_network_destroy_lists(JXNetwork* network);  // the containers only; the record stays
void jx_channel_destroy(void* channel);
void jx_sent_txt_destroy(void* sent);

// Static 40-byte buffers, one per function, overwritten by the next call.
const char* jx_channel_type_str(uint8_t type);
const char* jx_network_type_str(uint8_t type);

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
