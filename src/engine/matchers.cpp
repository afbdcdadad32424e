#include "engine/matchers.hpp"

#include <cstdint>
#include <cstring>

#include "engine/utils.hpp"

int jx_match_network(const void* key, const void* member)
{
    return static_cast<const JXNetwork*>(key)->addr == static_cast<const JXNetwork*>(member)->addr;
}

int jx_match_channel(const void* key, const void* member)
{
    const auto* a = static_cast<const JXChannel*>(key);
    const auto* b = static_cast<const JXChannel*>(member);
    return a->net_addr == b->net_addr && a->peer_addr == b->peer_addr;
}

int jx_match_peer(const void* key, const void* member)
{
    return static_cast<const JXPeer*>(key)->addr == static_cast<const JXPeer*>(member)->addr;
}

int jx_match_sent_text_addr(const void* key, const void* member)
{
    return std::memcmp(key, member, sizeof(uint32_t)) == 0;
}

int jx_match_segment_chunk(const void* key, const void* member)
{
    return std::memcmp(key, member, 8) == 0;
}
