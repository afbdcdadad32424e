// Engine events in the terminal: each event becomes a line in its channel's message file (peer
// notices, texts received and sent) or a delivery mark on a stored line, and decides whether the
// screen shown now must be redrawn. The terminal keeps no conversation in memory: the channel
// screen reads the files back.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "cli/host.hpp"
#include "engine/comm.hpp"
#include "engine/events.hpp"
#include "engine/registry.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"
#include "storage/fso.hpp"
#include "terminal/ctx.hpp"
#include "terminal/io.hpp"
#include "terminal/state.hpp"

namespace {

// Compares pointers only: ch may point at freed memory and is never read here.
bool channel_registered(const JXChannel* ch)
{
    const JXComm* cc = jx_comm_get();
    for (jx_list_elmt* n = jx_list_head(&cc->networks); n != nullptr; n = jx_list_next(n)) {
        const auto* net = static_cast<const JXNetwork*>(jx_list_data(n));
        for (jx_list_elmt* c = jx_list_head(&net->channels); c != nullptr; c = jx_list_next(c))
            if (jx_list_data(c) == ch)
                return true;
    }
    return false;
}

// The open channel is borrowed from the engine, which can drop a network on its own (a private
// network whose peer could not be added). Checked before anything reads it this turn; a channel
// that is gone is let go and the screen showing it is drawn again, empty.
void check_open_channel(TermData* t)
{
    if (t->channel == nullptr || channel_registered(t->channel))
        return;
    jx_log("Open channel is gone, deselected");
    t->channel = nullptr;
    t->refresh = 1;
}

// The open channel screen shows network net.
bool network_test(uint32_t st, const JXChannel* ch, uint32_t net)
{
    return st == STATE_CHANNEL && ch != nullptr && ch->net_addr == net;
}

// The open channel screen shows the channel of this text or file notice.
bool channel_test(uint32_t st, const JXChannel* ch, uint8_t ch_type, uint32_t net, uint32_t peer)
{
    return network_test(st, ch, net) && (ch_type == CH_MAIN || ch_type == CH_DM || peer == ch->peer_addr);
}

constexpr uint32_t on(uint32_t state)
{
    return 1u << state;
}

// What each engine event kind does in the terminal, row for row beside the engine's table of
// kinds: the screens it redraws whatever channel is open (the open channel screen is tested
// apart), and for file events the notice written into the direct channel, "<notice> [<file name>]".
struct KindRow {
    uint8_t kind;
    uint32_t redraws;
    const char* file_notice;
};

constexpr KindRow KINDS[] = {
    {EV_PEER_JOINED, on(STATE_NETWORK_LIST) | on(STATE_PEER_LIST), nullptr},
    {EV_PEER_LEFT, on(STATE_NETWORK_LIST) | on(STATE_PEER_LIST), nullptr},
    {EV_PEER_DROPPED, on(STATE_NETWORK_LIST) | on(STATE_PEER_LIST), nullptr},
    {EV_PEER_RENAMED, on(STATE_PEER_LIST), nullptr},
    {EV_NET_CHANGED, on(STATE_PEER_LIST) | on(STATE_NETWORK_LIST) | on(STATE_START), nullptr},
    {EV_NET_REFRESH, on(STATE_PEER_LIST) | on(STATE_NETWORK_LIST) | on(STATE_START), nullptr},
    {EV_TXT_RECEIVED, on(STATE_CHANNEL_LIST), nullptr},
    {EV_TXT_SENT, 0, nullptr},
    {EV_CHANNEL_ADDED, 0, nullptr},
    {EV_TXT_DELIVERED, 0, nullptr},
    {EV_TXT_UNDELIVERED, 0, nullptr},
    {EV_TXT_PARTLY_UNDELIVERED, 0, nullptr},
    {EV_DL_COMPLETE, on(STATE_CHANNEL_LIST) | on(STATE_DL_LIST), "Download complete"},
    {EV_UL_COMPLETE, on(STATE_CHANNEL_LIST) | on(STATE_UL_LIST), "Upload complete"},
    {EV_UL_FAILED, on(STATE_CHANNEL_LIST) | on(STATE_UL_LIST), "Upload failed"},
    {EV_DL_FAILED, on(STATE_CHANNEL_LIST) | on(STATE_DL_LIST), "Download failed"},
    {EV_DL_OFFERED, on(STATE_CHANNEL_LIST) | on(STATE_UL_LIST) | on(STATE_DL_LIST), "Peer trying to send file"},
    {EV_UL_PREPARING, 0, "Preparing to send file"},
    {EV_UL_STARTED, on(STATE_CHANNEL_LIST), "Peer started upload of file"},
    {EV_HASH_READY, on(STATE_UL_LIST) | on(STATE_DL_LIST), nullptr},
    {EV_UL_DECLINED, on(STATE_CHANNEL_LIST) | on(STATE_UL_LIST), "Declined by "},  // and who declined
};

constexpr bool kinds_in_step()
{
    if (std::size(KINDS) != JX_EVENT_KIND_COUNT)
        return false;
    for (size_t i = 0; i < std::size(KINDS); i++)
        if (KINDS[i].kind != JX_EVENT_KINDS[i].kind ||
            (KINDS[i].file_notice != nullptr) != (JX_EVENT_KINDS[i].payload == EVP_FILE))
            return false;
    return true;
}
static_assert(kinds_in_step(), "one row per engine event kind, in its order; a notice for every file event");

const KindRow* kind_row(uint8_t kind)
{
    return kind >= 1 && kind <= std::size(KINDS) ? &KINDS[kind - 1] : nullptr;
}

// Peer and network events concern the open channel when it is on their network; texts and file
// notices when it is their channel.
bool concerns_open_channel(const JXEvent* ev, uint32_t st, const JXChannel* ch)
{
    switch (jx_event_payload_type(ev->kind)) {
    case EVP_USER:
        return network_test(st, ch, static_cast<const user_ev*>(ev->payload)->net_addr);
    case EVP_NET:
        return network_test(st, ch, static_cast<const net_ev*>(ev->payload)->net_addr);
    case EVP_MSG: {
        const auto* p = static_cast<const msg_ev*>(ev->payload);
        return channel_test(st, ch, p->ch_type, p->addr_a, p->addr_b);
    }
    case EVP_FILE: {
        const auto* p = static_cast<const file_ev*>(ev->payload);
        return channel_test(st, ch, p->ch_type, p->net_addr, p->peer_addr);
    }
    default:
        return false;
    }
}

bool needs_refresh(const JXEvent* ev, uint32_t st, const JXChannel* ch)
{
    const KindRow* row = kind_row(ev->kind);
    if (row == nullptr || st > 31)
        return false;
    return (row->redraws & on(st)) != 0 || concerns_open_channel(ev, st, ch);
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
    const KindRow* row = kind_row(kind);
    if (row == nullptr || row->file_notice == nullptr)
        return;
    const char* what = row->file_notice;
    m->type = MSG_NOTICE;
    m->id = 0;
    m->addr = p->peer_addr;
    m->time = static_cast<uint64_t>(jx_clock_now());
    if (kind == EV_UL_DECLINED)
        snprintf(m->text, sizeof m->text, "%s%s [%s]", what, io_peer_name(p->net_addr, p->peer_addr).c_str(),
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

std::string io_peer_name(uint32_t net_addr, uint32_t peer_addr)
{
    const JXPeer* p = jx_peer_from_network(peer_addr, jx_network_by_addr(net_addr));
    return p != nullptr ? std::string(p->username, strnlen(p->username, JX_USERNAME_MAX))
                        : std::string(jx_ip_str(peer_addr).s);
}

// A new offer, or a text for a channel that is not open, rings the bell once per turn, so a user
// working in another window notices; JEXLEY_BELL=0 keeps it quiet.
static bool rings(const JXEvent* ev, uint32_t st, const JXChannel* ch)
{
    static const bool bell = [] {
        const char* v = getenv("JEXLEY_BELL");
        return v == nullptr || strcmp(v, "0") != 0;
    }();
    if (!bell)
        return false;
    if (ev->kind == EV_DL_OFFERED)
        return true;
    return ev->kind == EV_TXT_RECEIVED && !concerns_open_channel(ev, st, ch);
}

void io_proc_event()
{
    TermData* t = ctx_get();
    t->refresh = 0;
    check_open_channel(t);
    JXComm* cc = jx_comm_get();
    // One work record, kept off the stack: it is 1.5 KB.
    static JXStoredMsg work;
    bool bell = false;
    void* data = nullptr;
    while (jx_list_rem_next(&cc->events, nullptr, &data) == 0) {
        auto* ev = static_cast<JXEvent*>(data);
        if (ev == nullptr)
            continue;
        if (ev->payload != nullptr) {
            memset(&work, 0, sizeof work);
            if (needs_refresh(ev, state_get(), t->channel))
                t->refresh = 1;
            bell = bell || rings(ev, state_get(), t->channel);
            store_line(&work, ev);
            // Commands run for the control socket's clients see every event too.
            cli_host_event(ev);
        }
        free(ev->payload);
        free(ev);
    }
    if (bell) {
        io_puts("\a");
        io_flush();
    }
}
