#include "cli/journal.hpp"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "cli/event_json.hpp"
#include "engine/comm.hpp"
#include "engine/records.hpp"
#include "engine/registry.hpp"
#include "foundation/ipv4.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"
#include "storage/fso.hpp"

namespace {

// The notice each file event writes into the direct channel, "<notice> [<file name>]".
struct Notice {
    uint8_t kind;
    const char* text;
};
constexpr Notice NOTICES[] = {
    {EV_DL_COMPLETE, "Download complete"},
    {EV_UL_COMPLETE, "Upload complete"},
    {EV_UL_FAILED, "Upload failed"},
    {EV_DL_FAILED, "Download failed"},
    {EV_DL_OFFERED, "Peer trying to send file"},
    {EV_UL_PREPARING, "Preparing to send file"},
    {EV_UL_STARTED, "Peer started upload of file"},
    {EV_UL_DECLINED, "Declined by "},  // and who declined
};

constexpr const char* notice_of(uint8_t kind)
{
    for (const Notice& n : NOTICES)
        if (n.kind == kind)
            return n.text;
    return nullptr;
}

constexpr bool every_file_event_noticed()
{
    for (const JXEventKind& k : JX_EVENT_KINDS)
        if ((k.payload == EVP_FILE) != (notice_of(k.kind) != nullptr))
            return false;
    return true;
}
static_assert(every_file_event_noticed(), "a notice for every file event kind, and for no other");

// Who declined: the peer's name as it sent it, or its address.
std::string decliner(uint32_t net, uint32_t peer)
{
    const std::string name = cli_peer_name(net, peer);
    return name.empty() ? std::string(jx_ip_str(peer).s) : name;
}

// The message file of a channel.
struct ChFile {
    char name[JX_CHANNEL_NAME_SIZE];
};

ChFile channel_file(uint8_t ch_type, uint32_t net, uint32_t peer)
{
    ChFile f{};
    jx_channel_file_name(ch_type, net, peer, f.name);
    return f;
}

// Peer notices go to the network's main channel (the only channel of a direct-IP network). Names
// are stored as received; the channel screen makes them harmless when it draws them.
void store_peer_notice(JXStoredMsg* m, uint8_t kind, const user_ev* p)
{
    const JXIpStr peer = jx_ip_str(p->peer_addr);
    switch (kind) {
    case EV_PEER_JOINED:
        snprintf(m->text, sizeof m->text, "%.15s(%s) joined", p->name1, peer.s);
        break;
    case EV_PEER_LEFT:
        snprintf(m->text, sizeof m->text, "%.15s(%s) left", p->name1, peer.s);
        break;
    case EV_PEER_DROPPED:
        snprintf(m->text, sizeof m->text, "%.15s(%s) dropped (timed out)", p->name1, peer.s);
        break;
    case EV_PEER_RENAMED:
        snprintf(m->text, sizeof m->text, "Username %.15s changed to %.15s(%s)", p->name2, p->name1, peer.s);
        break;
    default:
        return;
    }
    m->type = MSG_NOTICE;
    m->id = 0;
    m->addr = 0;
    m->time = static_cast<uint64_t>(jx_clock_now());
    jx_fso_store_msg(m, channel_file(CH_MAIN, p->net_addr, 0).name);
}

void store_text(JXStoredMsg* m, uint8_t type, const msg_ev* p)
{
    m->type = type;
    m->id = p->msg_id;
    m->addr = p->addr_b;
    m->time = static_cast<uint64_t>(p->time);
    memcpy(m->username, p->username, strnlen(p->username, JX_MSG_UNAME_READ));
    memcpy(m->text, p->text, strnlen(p->text, sizeof p->text));
    jx_fso_store_msg(m, channel_file(p->ch_type, p->addr_a, p->addr_b).name);
}

void mark_delivery(JXStoredMsg* m, uint8_t type, const msg_ev* p)
{
    ChFile f = channel_file(p->ch_type, p->addr_a, p->addr_b);
    m->type = type;
    m->id = p->msg_id;
    m->addr = p->addr_b;
    (void)jx_fso_update_msg(f.name, m);
    if (type == MSG_UNDELIVERED)
        jx_log("Message undelivered dst: [%s], ch: [%s], id: [%zu]", jx_ip_str(p->addr_b).s, f.name,
               static_cast<size_t>(p->msg_id));
    else if (type == MSG_PARTLY_UNDELIVERED)
        jx_log("Message partly undelivered dst: [%s], ch: [%s], id: [%zu]", jx_ip_str(p->addr_b).s, f.name,
               static_cast<size_t>(p->msg_id));
}

// Whether the newest line of a channel file is this notice.
bool newest_is(const char* file, const char* text)
{
    uint64_t hdr[3] = {};
    static JXStoredMsg last;
    return jx_fso_read_file_header(hdr, file) == 0 && hdr[1] != 0 &&
           jx_fso_read_msg(static_cast<uint16_t>(hdr[0]), file, &last) == 0 && last.type == MSG_NOTICE &&
           strcmp(last.text, text) == 0;
}

// File notices go to the direct channel with the other side; all but our own "preparing" count
// as unread there.
void store_file_notice(JXStoredMsg* m, uint8_t kind, const file_ev* p)
{
    const char* what = notice_of(kind);
    if (what == nullptr)
        return;
    m->type = MSG_NOTICE;
    m->id = 0;
    m->addr = p->peer_addr;
    m->time = static_cast<uint64_t>(jx_clock_now());
    if (kind == EV_UL_DECLINED)
        snprintf(m->text, sizeof m->text, "%s%s [%s]", what, decliner(p->net_addr, p->peer_addr).c_str(),
                 p->name);
    else
        snprintf(m->text, sizeof m->text, "%s [%s]", what, p->name);
    const ChFile f = channel_file(p->ch_type, p->net_addr, p->peer_addr);
    // A folder is announced while it is packed, and its archive again once it is hashed: the
    // same line twice in a row says nothing new.
    if (kind == EV_UL_PREPARING && newest_is(f.name, m->text))
        return;
    jx_fso_store_msg(m, f.name);
    if (kind == EV_UL_PREPARING)
        return;
    // A direct-IP network's one channel is keyed by peer address 0, not by the peer's address.
    JXChannel* ch = jx_channel_by_addr(p->net_addr, p->ch_type == CH_DM ? 0 : p->peer_addr);
    if (ch != nullptr)
        ch->unread++;
}

void store_line(JXStoredMsg* m, const JXEvent* ev)
{
    switch (ev->kind) {
    case EV_PEER_JOINED:
    case EV_PEER_LEFT:
    case EV_PEER_DROPPED:
    case EV_PEER_RENAMED:
        store_peer_notice(m, ev->kind, static_cast<const user_ev*>(ev->payload));
        break;
    case EV_TXT_RECEIVED:
        store_text(m, MSG_RECEIVED, static_cast<const msg_ev*>(ev->payload));
        break;
    case EV_TXT_SENT:
        store_text(m, MSG_SENT, static_cast<const msg_ev*>(ev->payload));
        break;
    case EV_TXT_DELIVERED:
        mark_delivery(m, MSG_DELIVERED, static_cast<const msg_ev*>(ev->payload));
        break;
    case EV_TXT_UNDELIVERED:
        mark_delivery(m, MSG_UNDELIVERED, static_cast<const msg_ev*>(ev->payload));
        break;
    case EV_TXT_PARTLY_UNDELIVERED:
        mark_delivery(m, MSG_PARTLY_UNDELIVERED, static_cast<const msg_ev*>(ev->payload));
        break;
    default:
        if (jx_event_payload_type(ev->kind) == EVP_FILE)
            store_file_notice(m, ev->kind, static_cast<const file_ev*>(ev->payload));
        break;  // network changes and hashes only redraw
    }
}

}  // namespace

void cli_journal_event(const JXEvent* ev)
{
    if (ev == nullptr || ev->payload == nullptr)
        return;
    // One work record, kept off the stack: it is 1.5 KB.
    static JXStoredMsg work;
    std::memset(&work, 0, sizeof work);
    store_line(&work, ev);
}
