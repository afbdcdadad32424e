// Channels screen: every channel of every joined network in one table with its unread count; the
// highlighted channel opens on the channel screen with Enter.
#include <cstdio>

#include "engine/comm.hpp"
#include "engine/registry.hpp"
#include "terminal/screens/list_draw.hpp"
#include "terminal/screens/screens.hpp"

static ScreenFrame frame = {channel_list_render_complete, channel_list_render_dy, channel_list_render_complete};

namespace {

// Calls fn(network, channel) for every channel in list order (networks in joining order, then
// each network's channels) until it returns true.
template <typename Fn>
void for_each_channel(Fn fn)
{
    for (jx_list_elmt* n = jx_list_head(&jx_comm_get()->networks); n != nullptr; n = jx_list_next(n)) {
        auto* net = static_cast<JXNetwork*>(jx_list_data(n));
        for (jx_list_elmt* c = jx_list_head(&net->channels); c != nullptr; c = jx_list_next(c))
            if (fn(net, static_cast<JXChannel*>(jx_list_data(c))))
                return;
    }
}

bool is_highlighted(const JXChannel* ch, const TermData* t)
{
    return ch->net_addr == t->sel_addr && ch->peer_addr == t->sel_peer;
}

void highlight(TermData* t, const JXChannel* ch)
{
    t->sel_addr = ch != nullptr ? ch->net_addr : 0;
    t->sel_peer = ch != nullptr ? ch->peer_addr : 0;
}

// The highlight stays on its channel while others come and go; the first row on opening.
void keep_sel(TermData* t)
{
    long n = 0, found = -1;
    for_each_channel([&](const JXNetwork*, const JXChannel* ch) {
        if (is_highlighted(ch, t))
            found = n;
        n++;
        return false;
    });
    const long row = list_keep_row(static_cast<size_t>(n), found);
    if (row < 0) {
        highlight(t, nullptr);
        return;
    }
    long i = 0;
    for_each_channel([&](const JXNetwork*, const JXChannel* ch) {
        if (i++ != row)
            return false;
        highlight(t, ch);
        return true;
    });
}

void move_down(TermData* t)
{
    bool none = t->sel_addr == 0 && t->sel_peer == 0;
    bool found = false;
    const JXChannel* next = nullptr;
    for_each_channel([&](const JXNetwork*, const JXChannel* ch) {
        if (none || found) {
            next = ch;
            return true;
        }
        found = is_highlighted(ch, t);
        return false;
    });
    if (next != nullptr)
        highlight(t, next);
    else if (!found)
        highlight(t, nullptr);  // gone from the list (or the list is empty)
}

void move_up(TermData* t)
{
    const JXChannel* prev = nullptr;
    const JXChannel* last = nullptr;
    bool found = false;
    for_each_channel([&](const JXNetwork*, const JXChannel* ch) {
        if (!found && is_highlighted(ch, t)) {
            found = true;
            if (prev == nullptr)
                prev = ch;  // the first channel keeps the highlight
        }
        if (!found)
            prev = ch;
        last = ch;
        return false;
    });
    highlight(t, found ? prev : last);
}

// The user name shown for a channel with a peer, or null when that peer is not known.
const char* peer_name(const JXNetwork* net, const JXChannel* ch)
{
    uint32_t addr = ch->type == CH_DM ? net->addr : ch->peer_addr;
    const JXPeer* p = jx_peer_from_network(addr, net);
    return p != nullptr ? p->username : nullptr;
}

void disp_row(const JXNetwork* net, const JXChannel* ch, uint16_t i, int chan, int netw, bool sel)
{
    io_color(sel ? IO_SEL : IO_GREEN);
    io_printf("%*hu|", 3, i);
    if (ch->peer_addr == 0 && ch->type != CH_UNSPEC && ch->type != CH_DM) {
        list_cell("Main channel", chan, true, false);
    } else if (const char* n = peer_name(net, ch); n != nullptr) {
        list_name_cell(n, chan);
    } else {
        list_cell("N/A (Offline)", chan, true, false);
    }
    io_printf("%*s|", 8, jx_channel_type_str(ch->type));
    list_cell(jx_ip_str(net->addr).s, netw, true, false);
    io_printf("%*s|", 9, jx_network_type_str(net->type));
    if (ch->unread != 0) {
        char act[32] = {};
        snprintf(act, sizeof act, "%lu unread", static_cast<unsigned long>(ch->unread));
        list_cell(act, netw, false, false);
    } else {
        io_printf("%*s", netw, "N/A");
    }
    io_puts(IO_RESET "\r\n");
}

}  // namespace

void io_disp_channels()
{
    TermData* t = ctx_get();
    int avail = t->term_w - 25;
    int netw = avail / 3;
    int chan = avail - 2 * netw;

    io_puts(IO_RESET IO_YELLOW);
    io_printf("%*s|%*s|%*s|%*s|%*s|%*s", 3, "No", chan, "Channel", 8, "Ch. type", netw, "Network", 9,
              "Net. type", netw, "Activity");
    io_puts(IO_RESET "\r\n");

    keep_sel(t);
    // Position of the highlight.
    uint16_t sel = 0;
    if (jx_list_size(&jx_comm_get()->networks) > 0 && (t->sel_addr != 0 || t->sel_peer != 0)) {
        for_each_channel([&](const JXNetwork*, const JXChannel* ch) {
            sel++;
            return is_highlighted(ch, t);
        });
    }
    auto rows = static_cast<uint16_t>(t->term_h > 4 ? t->term_h - 4 : 0);
    io_compute_list_offset(sel, rows);

    uint16_t i = 0;
    uint16_t drawn = 0;
    for_each_channel([&](const JXNetwork* net, const JXChannel* ch) {
        i++;
        if (i <= t->list_offset)
            return false;
        if (drawn >= rows)
            return true;
        disp_row(net, ch, i, chan, netw, is_highlighted(ch, t));
        drawn++;
        return false;
    });
    io_empty_lines(rows - drawn);
}

void channel_list_init(state_op* update, state_op* render)
{
    frame_init(&frame, update, render, channel_list_update, channel_list_render);
    TermData* t = ctx_get();
    t->sel_addr = 0;
    t->sel_peer = 0;
    t->sel_row = 0;
    ctx_reset_scroll();
}

void channel_list_update()
{
    TermData* t = ctx_get();
    if (t->key != KEY_NONE)
        keep_sel(t);  // each drawing keeps it too; no list walk on a turn without a key
    switch (t->key) {
    case KEY_ESC:
        state_set(STATE_START);
        t->sel_addr = 0;
        t->sel_peer = 0;
        break;
    case KEY_ENTER: {
        JXChannel* ch = jx_channel_by_addr(t->sel_addr, t->sel_peer);
        if (ch != nullptr) {
            t->channel = ch;
            state_set(STATE_CHANNEL);
        }
        break;
    }
    case KEY_UP:
        move_up(t);
        frame_redraw(&frame);
        break;
    case KEY_DOWN:
        move_down(t);
        frame_redraw(&frame);
        break;
    }
    frame_update_tail(&frame, true);
}

void channel_list_render()
{
    frame_render(&frame);
}

void channel_list_render_dy()
{
    frame_render_dy();
}

void channel_list_render_complete()
{
    frame_draw(&frame, "Channels", io_disp_channels);
}
