// Engine events in the terminal: each event becomes a line in its channel's message file (peer
// notices, texts received and sent) or a delivery mark on a stored line (cli/journal), goes to
// the jobs of the control socket's clients, and decides whether the screen shown now must be
// redrawn. The terminal keeps no conversation in memory: the channel
// screen reads the files back.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "cli/host.hpp"
#include "cli/journal.hpp"
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
// apart). What it leaves in the message store is cli/journal's.
struct KindRow {
    uint8_t kind;
    uint32_t redraws;
};

constexpr KindRow KINDS[] = {
    {EV_PEER_JOINED, on(STATE_NETWORK_LIST) | on(STATE_PEER_LIST)},
    {EV_PEER_LEFT, on(STATE_NETWORK_LIST) | on(STATE_PEER_LIST)},
    {EV_PEER_DROPPED, on(STATE_NETWORK_LIST) | on(STATE_PEER_LIST)},
    {EV_PEER_RENAMED, on(STATE_PEER_LIST)},
    {EV_NET_CHANGED, on(STATE_PEER_LIST) | on(STATE_NETWORK_LIST) | on(STATE_START)},
    {EV_NET_REFRESH, on(STATE_PEER_LIST) | on(STATE_NETWORK_LIST) | on(STATE_START)},
    {EV_TXT_RECEIVED, on(STATE_CHANNEL_LIST)},
    {EV_TXT_SENT, 0},
    {EV_CHANNEL_ADDED, 0},
    {EV_TXT_DELIVERED, 0},
    {EV_TXT_UNDELIVERED, 0},
    {EV_TXT_PARTLY_UNDELIVERED, 0},
    {EV_DL_COMPLETE, on(STATE_CHANNEL_LIST) | on(STATE_DL_LIST)},
    {EV_UL_COMPLETE, on(STATE_CHANNEL_LIST) | on(STATE_UL_LIST)},
    {EV_UL_FAILED, on(STATE_CHANNEL_LIST) | on(STATE_UL_LIST)},
    {EV_DL_FAILED, on(STATE_CHANNEL_LIST) | on(STATE_DL_LIST)},
    {EV_DL_OFFERED, on(STATE_CHANNEL_LIST) | on(STATE_UL_LIST) | on(STATE_DL_LIST)},
    {EV_UL_PREPARING, 0},
    {EV_UL_STARTED, on(STATE_CHANNEL_LIST)},
    {EV_HASH_READY, on(STATE_UL_LIST) | on(STATE_DL_LIST)},
    {EV_UL_DECLINED, on(STATE_CHANNEL_LIST) | on(STATE_UL_LIST)},
};

constexpr bool kinds_in_step()
{
    if (std::size(KINDS) != JX_EVENT_KIND_COUNT)
        return false;
    for (size_t i = 0; i < std::size(KINDS); i++)
        if (KINDS[i].kind != JX_EVENT_KINDS[i].kind)
            return false;
    return true;
}
static_assert(kinds_in_step(), "one row per engine event kind, in its order");

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
    bool bell = false;
    void* data = nullptr;
    while (jx_list_rem_next(&cc->events, nullptr, &data) == 0) {
        auto* ev = static_cast<JXEvent*>(data);
        if (ev == nullptr)
            continue;
        if (ev->payload != nullptr) {
            if (needs_refresh(ev, state_get(), t->channel))
                t->refresh = 1;
            bell = bell || rings(ev, state_get(), t->channel);
            cli_journal_event(ev);
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
