#include "terminal/remember.hpp"

#include <algorithm>
#include <cstring>

#include "engine/registry.hpp"
#include "foundation/log.hpp"
#include "storage/fso.hpp"
#include "terminal/ctx.hpp"

namespace {

JXSavedNets saved;
// The direct channel opened last could not be made at start: its peer had not been heard yet.
bool reopen_pending;

void store()
{
    (void)jx_fso_store_networks(&saved);
}

}  // namespace

void remember_load(remember_refused_fn refused)
{
    jx_fso_read_networks(&saved);
    reopen_pending = false;
    for (size_t i = 0; i < saved.count; i++) {
        const JXIpStr addr = jx_ip_str(saved.nets[i]);
        JXChannel* ch = nullptr;
        const uint8_t rc = jx_join_network(addr.s, 0, &ch);
        if (ch == nullptr) {
            jx_log("Could not join %s again - %hu", addr.s, static_cast<unsigned short>(rc));
            if (refused != nullptr)
                refused(rc, addr.s);
        }
    }
    if (saved.last_net == 0)
        return;
    TermData* t = ctx_get();
    t->channel = jx_channel_by_addr(saved.last_net, saved.last_peer);
    // Selecting the group's main channel instead would send a plain line typed on the home screen
    // to the whole group rather than to the one peer: nothing is selected until F8 reopens it.
    if (t->channel == nullptr && saved.last_peer != 0)
        reopen_pending = jx_channel_by_addr(saved.last_net, 0) != nullptr;
}

void remember_join(uint32_t addr)
{
    if (std::find(saved.nets, saved.nets + saved.count, addr) != saved.nets + saved.count ||
        saved.count >= JX_SAVED_NETS_MAX)
        return;
    saved.nets[saved.count++] = addr;
    store();
}

void remember_forget(uint32_t addr)
{
    uint32_t* end = std::remove(saved.nets, saved.nets + saved.count, addr);
    saved.count = static_cast<size_t>(end - saved.nets);
    if (saved.last_net == addr) {
        saved.last_net = saved.last_peer = 0;
        reopen_pending = false;
    }
    store();
}

void remember_channel(const JXChannel* ch)
{
    if (ch == nullptr)
        return;
    reopen_pending = false;
    if (ch->net_addr == saved.last_net && ch->peer_addr == saved.last_peer)
        return;
    saved.last_net = ch->net_addr;
    saved.last_peer = ch->peer_addr;
    store();
}

bool remember_reopen()
{
    if (!reopen_pending)
        return true;
    JXChannel* ch = nullptr;
    if (jx_add_channel(saved.last_net, saved.last_peer, &ch) != JX_CH_ADD_OK) {
        ctx_err_feedback("Peer offline: %s not heard from since the start", jx_ip_str(saved.last_peer).s);
        return false;
    }
    ctx_get()->channel = ch;
    reopen_pending = false;
    return true;
}
