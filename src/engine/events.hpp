// events: the event kinds, the payload record each kind carries, and the builders. Each builder
// allocates one zero-filled record (free() releases it) or logs and returns null; producers hand
// the result straight to jx_comm_raise. May call: foundation (log).
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/protocol.hpp"

// Event kinds: the only way the engine reports to the terminal.
enum : uint8_t {
    EV_PEER_JOINED = 1,
    EV_PEER_LEFT = 2,
    EV_PEER_DROPPED = 3,
    EV_PEER_RENAMED = 4,
    EV_NET_CHANGED = 5,
    EV_NET_REFRESH = 6,
    EV_TXT_RECEIVED = 7,
    EV_TXT_SENT = 8,
    EV_CHANNEL_ADDED = 9,
    EV_TXT_DELIVERED = 10,
    EV_TXT_UNDELIVERED = 11,
    EV_TXT_PARTLY_UNDELIVERED = 12,
    EV_DL_COMPLETE = 13,
    EV_UL_COMPLETE = 14,
    EV_UL_FAILED = 15,
    EV_DL_FAILED = 16,
    EV_DL_OFFERED = 17,
    EV_UL_PREPARING = 18,
    EV_UL_STARTED = 19,
    EV_HASH_READY = 20,
    EV_UL_DECLINED = 21,  // the downloader declined the offer (PKT_FILE_FIN_OTHER)
};

// The queue owns the record; whoever takes it from the queue frees the payload (free) and then
// the record. A null payload means its builder failed: the consumer drops the event.
struct JXEvent {
    uint8_t kind;
    void* payload;
};

// Payload record types.
enum : uint8_t {
    EVP_NONE = 0,  // a kind that does not exist
    EVP_USER = 1,  // user_ev
    EVP_NET = 2,   // net_ev
    EVP_CH = 3,    // ch_ev
    EVP_MSG = 4,   // msg_ev
    EVP_FILE = 5,  // file_ev
    EVP_HASH = 6,  // hash_ev
};

// The one table of event kinds: what every reader of the queue (the terminal, the driver, the
// tests) learns a kind's name and payload record from. A new kind is one number above and one row
// here, then one row in the terminal's table of redraws (terminal/events.cpp), which a
// static_assert keeps in step with this one.
struct JXEventKind {
    uint8_t kind;
    const char* name;  // the constant's own name, "EV_PEER_JOINED"
    uint8_t payload;   // EVP_*
};

inline constexpr JXEventKind JX_EVENT_KINDS[] = {
    {EV_PEER_JOINED, "EV_PEER_JOINED", EVP_USER},
    {EV_PEER_LEFT, "EV_PEER_LEFT", EVP_USER},
    {EV_PEER_DROPPED, "EV_PEER_DROPPED", EVP_USER},
    {EV_PEER_RENAMED, "EV_PEER_RENAMED", EVP_USER},
    {EV_NET_CHANGED, "EV_NET_CHANGED", EVP_NET},
    {EV_NET_REFRESH, "EV_NET_REFRESH", EVP_NET},
    {EV_TXT_RECEIVED, "EV_TXT_RECEIVED", EVP_MSG},
    {EV_TXT_SENT, "EV_TXT_SENT", EVP_MSG},
    {EV_CHANNEL_ADDED, "EV_CHANNEL_ADDED", EVP_CH},
    {EV_TXT_DELIVERED, "EV_TXT_DELIVERED", EVP_MSG},
    {EV_TXT_UNDELIVERED, "EV_TXT_UNDELIVERED", EVP_MSG},
    {EV_TXT_PARTLY_UNDELIVERED, "EV_TXT_PARTLY_UNDELIVERED", EVP_MSG},
    {EV_DL_COMPLETE, "EV_DL_COMPLETE", EVP_FILE},
    {EV_UL_COMPLETE, "EV_UL_COMPLETE", EVP_FILE},
    {EV_UL_FAILED, "EV_UL_FAILED", EVP_FILE},
    {EV_DL_FAILED, "EV_DL_FAILED", EVP_FILE},
    {EV_DL_OFFERED, "EV_DL_OFFERED", EVP_FILE},
    {EV_UL_PREPARING, "EV_UL_PREPARING", EVP_FILE},
    {EV_UL_STARTED, "EV_UL_STARTED", EVP_FILE},
    {EV_HASH_READY, "EV_HASH_READY", EVP_HASH},
    {EV_UL_DECLINED, "EV_UL_DECLINED", EVP_FILE},
};
inline constexpr size_t JX_EVENT_KIND_COUNT = sizeof JX_EVENT_KINDS / sizeof JX_EVENT_KINDS[0];

// Row i holds kind i + 1, so a kind finds its row by number.
constexpr bool jx_event_kinds_in_order()
{
    for (size_t i = 0; i < JX_EVENT_KIND_COUNT; i++)
        if (JX_EVENT_KINDS[i].kind != i + 1 || JX_EVENT_KINDS[i].payload == EVP_NONE)
            return false;
    return true;
}
static_assert(jx_event_kinds_in_order(), "one row per event kind, in kind order from 1");

// The row of a kind; null for a kind that does not exist.
const JXEventKind* jx_event_kind(uint8_t kind);
// The payload record a kind carries, EVP_NONE for a kind that does not exist.
uint8_t jx_event_payload_type(uint8_t kind);
// The kind's name ("EV_PEER_JOINED"), or null for a kind that does not exist.
const char* jx_event_name(uint8_t kind);

struct ch_ev {
    uint32_t net_addr;
    uint32_t peer_addr;  // 0 for a main channel and a direct-IP network's channel
};

struct net_ev {
    uint32_t net_addr;
};

struct hash_ev {
    uint8_t digest[32];
    uint8_t id[8];  // the transfer id
};

inline constexpr size_t JX_FILE_EV_NAME = 1024;

struct file_ev {
    uint8_t ch_type;  // CH_DM on a direct-IP network, else CH_NET_DM
    uint32_t net_addr;
    uint32_t peer_addr;
    char name[JX_FILE_EV_NAME];  // always NUL-terminated
    // What a transfer's events add (zero when the builder is called alone): the transfer id, the
    // file's size and digest as known when raised, and for an event that ends the transfer its
    // result (FIN_*: completed, failed, digest mismatch; 0 for a declined offer and the rest).
    uint8_t id[8];
    uint64_t size;
    uint8_t digest[32];
    uint8_t result;
};

// Room for a whole received text (the largest payload) and a NUL: events live only in memory,
// so nothing a peer sent is cut before the terminal stores it.
inline constexpr size_t JX_MSG_EV_TEXT = JX_PAYLOAD_MAX + 1;

struct msg_ev {
    uint8_t ch_type;
    uint64_t msg_id;
    uint32_t addr_a;  // the channel's network (per producer)
    uint32_t addr_b;  // the peer
    int64_t time;     // 0 in delivery events
    char username[16];
    char text[JX_MSG_EV_TEXT];  // always NUL-terminated; empty in delivery events
};

struct user_ev {
    uint32_t net_addr;
    uint32_t peer_addr;
    char name1[16];  // the peer's name (the new one for a rename)
    char name2[16];  // the former name for a rename, else empty
};

ch_ev* jx_build_ch_ev(uint32_t net_addr, uint32_t peer_addr);
net_ev* jx_build_net_ev(uint32_t net_addr);
// `id` is 8 bytes, `digest` 32 bytes; either may be null (left zero).
hash_ev* jx_build_hash_ev(const uint8_t* id, const uint8_t* digest);
// At most 1023 bytes of the name are kept so that it stays terminated.
file_ev* jx_build_file_ev(const char* name, size_t name_len, uint8_t ch_type, uint32_t net_addr,
                          uint32_t peer_addr);
// At most 1440 bytes of text (the largest payload) and 15 of the user name are kept.
msg_ev* jx_build_msg_ev(const char* text, size_t text_len, uint8_t ch_type, uint64_t msg_id, uint32_t addr_a,
                        uint32_t addr_b, int64_t time, const char* username);
user_ev* jx_build_user_ev(uint32_t net_addr, uint32_t peer_addr, const char* name1, const char* name2);
