// Peers screen: the peers of the open channel's network; Enter opens a direct channel with the
// highlighted peer.
#include <cstdio>

#include "engine/comm.hpp"
#include "engine/registry.hpp"
#include "terminal/screens/list_draw.hpp"
#include "terminal/screens/screens.hpp"

static ScreenFrame frame = {peer_list_render_complete, peer_list_render_dy, peer_list_render_complete};
// Without a network to show the screen draws its empty frame once, not on every turn.
static bool empty_frame_drawn = false;

namespace {

uint32_t peer_addr(const void* member)
{
    return static_cast<const JXPeer*>(member)->addr;
}

// The network of the open channel, or null (no channel, or the engine removed the network).
JXNetwork* shown_network()
{
    const JXChannel* ch = ctx_get()->channel;
    if (ch == nullptr || ch->net_addr == 0)
        return nullptr;
    return jx_network_by_addr(ch->net_addr);
}

// The highlight stays on its peer while others come and go; the first row on opening.
void keep_sel(TermData* t, const JXNetwork* net)
{
    t->sel_peer = list_keep_sel(net != nullptr ? &net->peers : nullptr, peer_addr, t->sel_peer);
}

}  // namespace

void peer_list_disp_peers(const JXNetwork* network)
{
    TermData* t = ctx_get();
    int uw = (t->term_w - 5) / 2;
    int aw = t->term_w - 5 - uw;

    io_puts(IO_RESET IO_YELLOW);
    io_printf("%*s|%*s|%*s", 3, "No", uw, "Username", aw, "Address");
    io_puts(IO_RESET "\r\n");

    const jx_list* peers = network != nullptr ? &network->peers : nullptr;
    keep_sel(t, network);
    auto rows = static_cast<uint16_t>(t->term_h > 4 ? t->term_h - 4 : 0);
    io_compute_list_offset(list_sel_pos(peers, peer_addr, t->sel_peer), rows);

    uint16_t drawn = 0;
    uint16_t i = 0;
    for (jx_list_elmt* e = peers != nullptr ? jx_list_head(peers) : nullptr; e != nullptr && drawn < rows;
         e = jx_list_next(e), i++) {
        if (i < t->list_offset)
            continue;
        const auto* p = static_cast<const JXPeer*>(jx_list_data(e));
        io_color(p->addr == t->sel_peer ? IO_SEL : IO_GREEN);
        io_printf("%*hu|", 3, static_cast<uint16_t>(i + 1));
        list_name_cell(p->username, uw);
        io_printf("%*s", aw, jx_ip_str(p->addr).s);
        io_puts(IO_RESET "\r\n");
        drawn++;
    }
    io_empty_lines(rows - drawn);
}

void peer_list_init(state_op* update, state_op* render)
{
    frame_init(&frame, update, render, peer_list_update, peer_list_render);
    empty_frame_drawn = false;
    ctx_get()->sel_peer = 0;
    ctx_get()->sel_row = 0;
}

void peer_list_update()
{
    TermData* t = ctx_get();
    if (t->key != KEY_NONE)
        keep_sel(t, shown_network());  // each drawing keeps it too; no list walk on a turn without a key
    switch (t->key) {
    case KEY_ESC:
        state_set(STATE_START);
        t->sel_peer = 0;
        t->sel_addr = 0;
        break;
    case KEY_ENTER: {
        if (t->sel_peer == 0)
            break;
        JXChannel* ch = nullptr;
        uint32_t net_addr = t->channel != nullptr ? t->channel->net_addr : 0;
        uint8_t r = jx_add_channel(net_addr, t->sel_peer, &ch);
        if (r == JX_CH_ADD_OK) {
            t->channel = ch;
            state_set(STATE_CHANNEL);
        } else if (r == JX_CH_ADD_DIRECT_PEER && t->channel != nullptr) {
            // A direct-IP network has one channel only, the one already open.
            state_set(STATE_CHANNEL);
        } else {
            state_set(STATE_START);
        }
        break;
    }
    case KEY_UP:
    case KEY_DOWN: {
        const JXNetwork* net = shown_network();
        t->sel_peer =
            list_move_sel(net != nullptr ? &net->peers : nullptr, peer_addr, t->sel_peer, t->key == KEY_DOWN);
        frame_redraw(&frame);
        break;
    }
    }
    if (t->refresh)
        empty_frame_drawn = false;
    frame_update_tail(&frame, true);
}

void peer_list_render()
{
    frame_render(&frame);
}

void peer_list_render_dy()
{
    frame_render_dy();
}

void peer_list_render_complete()
{
    const JXNetwork* net = shown_network();
    if (net == nullptr) {
        // Nothing to list yet; keep trying each turn, but draw the empty frame only once so the
        // previous screen's picture does not stay behind.
        if (!empty_frame_drawn)
            frame_draw(&frame, "Peers", [] { peer_list_disp_peers(nullptr); });
        else
            io_prompt();
        frame_redraw(&frame);
        empty_frame_drawn = true;
        return;
    }
    char title[100] = {};
    snprintf(title, sizeof title, "Peers list for network: %s", jx_ip_str(net->addr).s);
    frame_draw(&frame, title, [] { peer_list_disp_peers(shown_network()); });
    empty_frame_drawn = false;
}
