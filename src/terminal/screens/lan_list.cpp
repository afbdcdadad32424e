// Predefined LAN addresses screen: 239.0.0.0 .. 239.0.0.254, each joined with Enter.
#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "engine/comm.hpp"
#include "engine/registry.hpp"
#include "terminal/cmd.hpp"
#include "terminal/screens/list_draw.hpp"
#include "terminal/screens/screens.hpp"

static ScreenFrame frame = {lan_list_render_complete, lan_list_render_dy, lan_list_render_complete};

void lan_list_disp_addresses()
{
    TermData* t = ctx_get();
    int addr_w = t->term_w - 27;

    io_puts(IO_RESET IO_YELLOW);
    io_printf("%*s|%*s|%*s|%*s", 3, "No", addr_w, "Address", 15, "Status", 6, "Peers");
    io_puts(IO_RESET "\r\n");

    uint16_t sel = LAN_COUNT;
    uint32_t sel_host = ntohl(t->sel_addr);
    if (t->sel_addr == 0)
        sel = 1;
    else if (sel_host >= LAN_FIRST && sel_host <= LAN_LAST)
        sel = static_cast<uint16_t>(sel_host - LAN_FIRST + 1);
    auto rows = static_cast<uint16_t>(t->term_h > 4 ? t->term_h - 4 : 0);
    io_compute_list_offset(sel, rows);

    uint16_t drawn = 0;
    for (uint16_t i = t->list_offset; i < LAN_COUNT && drawn < rows; i++, drawn++) {
        uint32_t addr = htonl(LAN_FIRST + i);
        const JXNetwork* net = jx_network_by_addr(addr);
        auto row = static_cast<uint16_t>(i + 1);
        io_color(addr == t->sel_addr ? IO_SEL : IO_GREEN);
        if (net != nullptr)
            io_printf("%*hu|%*s|%*s|%*d", 3, row, addr_w, jx_ip_str(addr).s, 15, "Open(Joined)", 6,
                      jx_set_size(&net->peers));
        else
            io_printf("%*hu|%*s|%*s|%*s", 3, row, addr_w, jx_ip_str(addr).s, 15, "Join", 6, "N/A");
        io_puts(IO_RESET "\r\n");
    }
    io_empty_lines(rows - drawn);
}

void lan_list_init(state_op* update, state_op* render)
{
    frame_init(&frame, update, render, lan_list_update, lan_list_render);
    ctx_get()->sel_addr = htonl(LAN_FIRST);  // the list never changes: its first row to start with
    ctx_reset_scroll();
}

void lan_list_update()
{
    TermData* t = ctx_get();
    uint32_t h = ntohl(t->sel_addr);
    switch (t->key) {
    case KEY_ESC:
        state_set(STATE_START);
        t->sel_addr = 0;
        break;
    case KEY_ENTER: {
        char line[40] = {};
        int n = snprintf(line, sizeof line, "/join %s", jx_ip_str(t->sel_addr).s);
        cmd_eval(line, static_cast<size_t>(n));
        break;
    }
    case KEY_UP:
        // Steps on the host-order value so one step is one in the last byte.
        h = t->sel_addr == 0 || h > LAN_LAST ? LAN_LAST : (h <= LAN_FIRST ? LAN_FIRST : h - 1);
        t->sel_addr = htonl(h);
        frame_redraw(&frame);
        break;
    case KEY_DOWN:
        h = t->sel_addr == 0 || h < LAN_FIRST ? LAN_FIRST : (h >= LAN_LAST ? LAN_LAST : h + 1);
        t->sel_addr = htonl(h);
        frame_redraw(&frame);
        break;
    }
    frame_update_tail(&frame, true);
}

void lan_list_render()
{
    frame_render(&frame);
}

void lan_list_render_dy()
{
    frame_render_dy();
}

void lan_list_render_complete()
{
    frame_draw(&frame, "Predefined LAN multicast addresses", lan_list_disp_addresses);
}
