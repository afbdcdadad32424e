#include "engine/events.hpp"

#include <cstdlib>
#include <cstring>

#include "foundation/log.hpp"

namespace {

template <typename T>
T* alloc_ev(const char* fail_msg)
{
    auto* ev = static_cast<T*>(std::calloc(1, sizeof(T)));
    if (ev == nullptr)
        jx_log("%s", fail_msg);
    return ev;
}

// A user name from the network or the terminal: at most 15 characters, always terminated.
void copy_name(char (&dst)[16], const char* src)
{
    if (src == nullptr)
        return;
    size_t n = 0;
    while (n < sizeof(dst) - 1 && src[n] != '\0')
        n++;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
}

}  // namespace

ch_ev* jx_build_ch_ev(uint32_t net_addr, uint32_t peer_addr)
{
    auto* ev = alloc_ev<ch_ev>("Can't allocate memory create channel ev");
    if (ev == nullptr)
        return nullptr;
    ev->net_addr = net_addr;
    ev->peer_addr = peer_addr;
    return ev;
}

net_ev* jx_build_net_ev(uint32_t net_addr)
{
    auto* ev = alloc_ev<net_ev>("Can't allocate memory create user net");
    if (ev == nullptr)
        return nullptr;
    ev->net_addr = net_addr;
    return ev;
}

hash_ev* jx_build_hash_ev(const uint8_t* id, const uint8_t* digest)
{
    auto* ev = alloc_ev<hash_ev>("Can't allocate memory create hash ev");
    if (ev == nullptr)
        return nullptr;
    if (digest != nullptr)
        std::memcpy(ev->digest, digest, sizeof(ev->digest));
    if (id != nullptr)
        std::memcpy(ev->id, id, sizeof(ev->id));
    return ev;
}

file_ev* jx_build_file_ev(const char* name, size_t name_len, uint8_t ch_type, uint32_t net_addr,
                          uint32_t peer_addr)
{
    auto* ev = alloc_ev<file_ev>("Can't allocate memory create file ev");
    if (ev == nullptr)
        return nullptr;
    ev->ch_type = ch_type;
    ev->net_addr = net_addr;
    ev->peer_addr = peer_addr;
    size_t n = name_len % 65536;
    if (n > sizeof(ev->name) - 1)
        n = sizeof(ev->name) - 1;
    if (name != nullptr)
        std::memcpy(ev->name, name, n);
    return ev;
}

msg_ev* jx_build_msg_ev(const char* text, size_t text_len, uint8_t ch_type, uint64_t msg_id, uint32_t addr_a,
                        uint32_t addr_b, int64_t time, const char* username)
{
    auto* ev = alloc_ev<msg_ev>("Can't allocate memory create msg ev");
    if (ev == nullptr)
        return nullptr;
    ev->ch_type = ch_type;
    ev->msg_id = msg_id;
    ev->addr_a = addr_a;
    ev->addr_b = addr_b;
    ev->time = time;
    copy_name(ev->username, username);
    size_t n = text_len % 65536;
    if (n > sizeof(ev->text) - 1)
        n = sizeof(ev->text) - 1;
    if (text != nullptr)
        std::memcpy(ev->text, text, n);
    return ev;
}

user_ev* jx_build_user_ev(uint32_t net_addr, uint32_t peer_addr, const char* name1, const char* name2)
{
    auto* ev = alloc_ev<user_ev>("Can't allocate memory create user ev");
    if (ev == nullptr)
        return nullptr;
    ev->net_addr = net_addr;
    ev->peer_addr = peer_addr;
    copy_name(ev->name1, name1);
    copy_name(ev->name2, name2);
    return ev;
}

const JXEventKind* jx_event_kind(uint8_t kind)
{
    return kind >= 1 && kind <= JX_EVENT_KIND_COUNT ? &JX_EVENT_KINDS[kind - 1] : nullptr;
}

uint8_t jx_event_payload_type(uint8_t kind)
{
    const JXEventKind* k = jx_event_kind(kind);
    return k != nullptr ? k->payload : static_cast<uint8_t>(EVP_NONE);
}

const char* jx_event_name(uint8_t kind)
{
    const JXEventKind* k = jx_event_kind(kind);
    return k != nullptr ? k->name : nullptr;
}
