// events: the payload records of engine events and their builders. Each builder allocates one
// zero-filled record (free() releases it) or logs and returns null; producers hand the result
// straight to jx_comm_add_event. May call: foundation (log).
#pragma once

#include <cstddef>
#include <cstdint>

#include "protocol/protocol.hpp"

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
