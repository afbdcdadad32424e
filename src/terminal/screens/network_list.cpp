// Joined networks screen: the networks with their type, status and peer count, a details pane for
// the highlighted one; Enter opens its main channel, Delete leaves it.
#include <cstring>
#include <ctime>

#include "engine/comm.hpp"
#include "engine/registry.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"
#include "foundation/utility.hpp"
#include "terminal/remember.hpp"
#include "terminal/screens/list_draw.hpp"
#include "terminal/screens/screens.hpp"

static ScreenFrame frame = {network_list_render_complete, network_list_render_dy, network_list_render_complete};

namespace {

uint32_t network_addr(const void* member)
{
    return static_cast<const JXNetwork*>(member)->addr;
}

// The highlight stays on its network while others come and go; the first row on opening.
void keep_sel(TermData* t)
{
    t->sel_addr = list_keep_sel(&jx_comm_get()->networks, network_addr, t->sel_addr);
}

void disp_details(const JXNetwork* shown)
{
    io_top_bar_title("Network details");
    if (shown == nullptr) {
        io_empty_lines(4);
    } else {
        io_puts(IO_YELLOW "Self IP: " IO_MAGENTA);
        io_puts(shown->own_addr != 0 ? jx_ip_str(shown->own_addr).s : "N/A");
        io_puts("\r\n");
        auto heard = static_cast<time_t>(jx_clock_wall_of(shown->last_heard));
        io_puts(IO_YELLOW "Last update: " IO_MAGENTA);
        io_puts(jx_format_time(&heard));
        io_puts("\r\n");
        io_empty_lines(2);
    }
    io_puts(IO_RESET);
}

}  // namespace

void network_list_disp_networks()
{
    TermData* t = ctx_get();
    const jx_list* nets = &jx_comm_get()->networks;
    int addr_w = t->term_w - 30;

    io_puts(IO_RESET IO_YELLOW);
    io_printf("%*s|%*s|%*s|%*s|%*s", 3, "No", addr_w, "Address", 11, "Type", 6, "Status", 6, "Peers");
    io_puts(IO_RESET "\r\n");

    auto rows = static_cast<uint16_t>(t->term_h > 9 ? t->term_h - 9 : 0);
    keep_sel(t);
    io_compute_list_offset(list_sel_pos(nets, network_addr, t->sel_addr), rows);

    const JXNetwork* shown = nullptr;  // the highlighted network, when its row is on screen
    uint16_t drawn = 0;
    uint16_t i = 0;
    for (jx_list_elmt* e = jx_list_head(nets); e != nullptr && drawn < rows; e = jx_list_next(e), i++) {
        if (i < t->list_offset)
            continue;
        const auto* net = static_cast<const JXNetwork*>(jx_list_data(e));
        bool sel = net->addr == t->sel_addr;
        if (sel)
            shown = net;
        io_color(sel ? IO_SEL : IO_GREEN);
        io_printf("%*hu|%*s|%*s|%*s|%*hu", 3, static_cast<uint16_t>(i + 1), addr_w, jx_ip_str(net->addr).s,
                  11, jx_network_type_str(net->type), 6, net->status == NET_ONLINE ? "Up" : "Down", 6,
                  static_cast<uint16_t>(jx_set_size(&net->peers)));
        io_puts(IO_RESET "\r\n");
        drawn++;
    }
    io_empty_lines(rows - drawn);
    disp_details(shown);
}

void network_list_init(state_op* update, state_op* render)
{
    frame_init(&frame, update, render, network_list_update, network_list_render);
    TermData* t = ctx_get();
    t->sel_addr = 0;
    t->sel_row = 0;
    ctx_reset_scroll();
}

void network_list_update()
{
    TermData* t = ctx_get();
    if (t->key != KEY_NONE)
        keep_sel(t);  // each drawing keeps it too; no list walk on a turn without a key
    switch (t->key) {
    case KEY_ESC:
        state_set(STATE_START);
        t->sel_addr = 0;
        break;
    case KEY_ENTER: {
        JXChannel* ch = nullptr;
        uint8_t r = jx_add_channel(t->sel_addr, 0, &ch);
        if (r == JX_CH_ADD_OK) {
            t->channel = ch;
            state_set(STATE_CHANNEL);
        } else if (r == JX_CH_ADD_DIRECT_PEER && t->channel != nullptr) {
            state_set(STATE_CHANNEL);
        }
        break;
    }
    case KEY_DEL: {
        JXNetwork* net = jx_network_by_addr(t->sel_addr);
        if (net != nullptr) {
            jx_log("Leaving network %s", jx_ip_str(t->sel_addr).s);
            jx_leave_network(net);
        }
        remember_forget(t->sel_addr);  // not joined again at the next start
        // The open channel may have been one of the network's; it must never outlive it.
        t->channel = nullptr;
        frame_redraw(&frame);
        break;
    }
    case KEY_UP:
    case KEY_DOWN:
        t->sel_addr = list_move_sel(&jx_comm_get()->networks, network_addr, t->sel_addr, t->key == KEY_DOWN);
        frame_redraw(&frame);
        break;
    }
    frame_update_tail(&frame, true);
}

void network_list_render()
{
    frame_render(&frame);
}

void network_list_render_dy()
{
    frame_render_dy();
}

void network_list_render_complete()
{
    frame_draw(&frame, "Networks", network_list_disp_networks);
}
