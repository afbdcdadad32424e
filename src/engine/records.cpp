#include "engine/records.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

void jx_network_init_lists(JXNetwork* network)
{
    jx_set_init(&network->peers, jx_match_peer, std::free);
    jx_set_init(&network->channels, jx_match_channel, jx_channel_destroy);
    jx_list_init(&network->downloads, std::free);
    jx_list_init(&network->uploads, std::free);
    jx_list_init(&network->fin_downloads, std::free);
    jx_list_init(&network->fin_uploads, std::free);
}

void jx_channel_init_lists(JXChannel* channel)
{
    jx_list_init(&channel->sent_txts, jx_sent_txt_destroy);
}

void jx_sent_txt_init_lists(JXSentTxt* sent)
{
    jx_set_init(&sent->addressees, jx_match_sent_text_addr, std::free);
}

void jx_network_destroy_lists(JXNetwork* network)
{
    jx_set_destroy(&network->peers);
    jx_set_destroy(&network->channels);
    jx_list_destroy(&network->downloads);
    jx_list_destroy(&network->uploads);
    jx_list_destroy(&network->fin_downloads);
    jx_list_destroy(&network->fin_uploads);
}

void jx_channel_destroy(void* channel)
{
    if (channel == nullptr)
        return;
    jx_list_destroy(&static_cast<JXChannel*>(channel)->sent_txts);
    std::free(channel);
}

void jx_sent_txt_destroy(void* sent)
{
    if (sent == nullptr)
        return;
    jx_set_destroy(&static_cast<JXSentTxt*>(sent)->addressees);
    std::free(sent);
}

namespace {

const char* label(char (&buf)[40], const char* s)
{
    std::snprintf(buf, sizeof buf, "%s", s);
    return buf;
}

}  // namespace

const char* jx_channel_type_str(uint8_t type)
{
    static char buf[40];
    switch (type) {
    case CH_UNSPEC:
        return label(buf, "Unspec");
    case CH_MAIN:
        return label(buf, "Main");
    case CH_NET_DM:
        return label(buf, "Net DM");
    case CH_DM:
        return label(buf, "DM");
    default:
        return label(buf, "");
    }
}

const char* jx_network_type_str(uint8_t type)
{
    static char buf[40];
    switch (type) {
    case NET_UNSPEC:
        return label(buf, "Unspec");
    case NET_MULTICAST:
        return label(buf, "Multicast");
    case NET_BROADCAST:
        return label(buf, "Broadcast");
    case NET_DIRECT_IP_INCOMING:
    case NET_DIRECT_IP_OUTGOING:
        return label(buf, "DirectIP");
    default:
        return label(buf, "");
    }
}
