#include "cli/event_json.hpp"

#include <ctime>
#include <nlohmann/json.hpp>

#include "engine/comm.hpp"
#include "engine/records.hpp"
#include "engine/registry.hpp"
#include "foundation/ipv4.hpp"
#include "foundation/utility.hpp"

using ojson = nlohmann::ordered_json;

namespace {

std::string bounded(const char* s, size_t max)
{
    return std::string(s, strnlen(s, max));
}

const char* channel_name(uint8_t ch_type)
{
    switch (ch_type) {
    case CH_MAIN:
        return "main";
    case CH_NET_DM:
        return "direct";
    case CH_DM:
        return "private";
    default:
        return "";
    }
}

const char* file_state(uint8_t kind, uint8_t result)
{
    switch (kind) {
    case EV_DL_OFFERED:
        return "offered";
    case EV_UL_PREPARING:
        return "preparing";
    case EV_UL_STARTED:
        return "started";
    case EV_UL_COMPLETE:
    case EV_DL_COMPLETE:
        return "completed";
    case EV_UL_DECLINED:
        return "declined";
    default:
        return result == FIN_HASH_BAD ? "digest mismatch" : "failed";
    }
}

ojson object_of(const JXEvent* ev, int64_t time)
{
    const char* name = jx_event_name(ev->kind);
    ojson j{{"event", name != nullptr ? name : ""}, {"kind", ev->kind}, {"time", time}};
    const void* pl = ev->payload;
    if (name == nullptr || pl == nullptr)
        return j;
    switch (jx_event_payload_type(ev->kind)) {
    case EVP_USER: {
        const auto* e = static_cast<const user_ev*>(pl);
        j["network"] = jx_ip_str(e->net_addr).s;
        j["peer"] = jx_ip_str(e->peer_addr).s;
        j["name"] = bounded(e->name1, sizeof e->name1);
        if (ev->kind == EV_PEER_RENAMED)
            j["old_name"] = bounded(e->name2, sizeof e->name2);
        break;
    }
    case EVP_NET:
        j["network"] = jx_ip_str(static_cast<const net_ev*>(pl)->net_addr).s;
        break;
    case EVP_CH: {
        const auto* e = static_cast<const ch_ev*>(pl);
        j["network"] = jx_ip_str(e->net_addr).s;
        j["peer"] = jx_ip_str(e->peer_addr).s;
        break;
    }
    case EVP_MSG: {
        const auto* e = static_cast<const msg_ev*>(pl);
        j["network"] = jx_ip_str(e->addr_a).s;
        j["peer"] = jx_ip_str(e->addr_b).s;
        j["name"] = e->username[0] != '\0' ? bounded(e->username, sizeof e->username)
                                           : cli_peer_name(e->addr_a, e->addr_b);
        j["channel"] = channel_name(e->ch_type);
        j["id"] = e->msg_id;
        if (ev->kind == EV_TXT_RECEIVED || ev->kind == EV_TXT_SENT)
            j["text"] = bounded(e->text, sizeof e->text);
        break;
    }
    case EVP_FILE: {
        const auto* e = static_cast<const file_ev*>(pl);
        j["network"] = jx_ip_str(e->net_addr).s;
        j["peer"] = jx_ip_str(e->peer_addr).s;
        j["name"] = cli_peer_name(e->net_addr, e->peer_addr);
        j["channel"] = channel_name(e->ch_type);
        j["file"] = bounded(e->name, sizeof e->name);
        j["size"] = e->size;
        j["sha256"] = cli_hex(e->digest, sizeof e->digest);
        j["id"] = cli_hex(e->id, sizeof e->id);
        j["state"] = file_state(ev->kind, e->result);
        break;
    }
    default: {
        const auto* e = static_cast<const hash_ev*>(pl);
        j["id"] = cli_hex(e->id, sizeof e->id);
        j["sha256"] = cli_hex(e->digest, sizeof e->digest);
        break;
    }
    }
    return j;
}

}  // namespace

std::string cli_peer_name(uint32_t net, uint32_t peer)
{
    const JXPeer* p = jx_peer_from_network(peer, jx_network_by_addr(net));
    return p != nullptr ? bounded(p->username, JX_USERNAME_MAX) : std::string();
}

std::string cli_hex(const uint8_t* bytes, size_t n)
{
    std::string out(2 * n + 1, '\0');
    jx_bytes_to_string(bytes, n, out.data(), out.size());
    out.resize(2 * n);
    return out;
}

std::string cli_event_json(const JXEvent* ev, int64_t time)
{
    return object_of(ev, time).dump(-1, ' ', false, ojson::error_handler_t::replace);
}

std::string cli_event_text(const JXEvent* ev, int64_t time)
{
    const time_t t = static_cast<time_t>(time);
    std::string line = jx_format_time(&t);
    const ojson j = object_of(ev, time);
    for (const auto& [key, value] : j.items()) {
        if (key == "time" || key == "kind")
            continue;
        const std::string v = value.is_string() ? value.get<std::string>() : value.dump();
        if (key != "event")
            line += " " + key + "=";
        else
            line += " ";
        std::string clean(v.size() + 1, '\0');
        clean.resize(jx_str_sanitize(v.c_str(), v.size(), clean.data(), clean.size()));
        line += clean;
    }
    return line;
}
