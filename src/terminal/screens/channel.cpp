// The open channel: a header bar (who is on the other side and whether they are online), as many
// stored messages as fit with the newest at the bottom, the key bar and the prompt. Everything
// shown is read back from the channel's message file at each full drawing; only the paging
// position lives in ctx. Arrow up and down page through older and newer messages.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "engine/comm.hpp"
#include "engine/registry.hpp"
#include "foundation/llist.hpp"
#include "foundation/log.hpp"
#include "foundation/utf8.hpp"
#include "foundation/utility.hpp"
#include "storage/fso.hpp"
#include "terminal/cmd.hpp"
#include "terminal/line.hpp"
#include "terminal/remember.hpp"
#include "terminal/screens/channel.hpp"
#include "terminal/screens/screens.hpp"

namespace {

// Columns in front of every message text: time (8), "|", author (15), marker (5).
constexpr int CH_LINE_PREFIX = 29;
constexpr int CH_AUTHOR_W = 15;
// Below this width the header leaves out the peer's username.
constexpr int CH_HEADER_NAME_MIN_W = 67;

enum : uint8_t {
    SCROLL_NONE = 0,
    SCROLL_OLDER = 1,
    SCROLL_NEWER = 2,
};

ScreenFrame frame = {channel_render_complete, channel_render_dy, channel_render_complete};

// Slot p moved back by k slots in a ring of cap slots (1..cap).
uint64_t ring_back(uint64_t p, uint64_t k, uint64_t cap)
{
    return (p - 1 + cap - k % cap) % cap + 1;
}

// The peer's username and " | " at the start of the header's left part; its length (0 without a
// peer). The name comes from another host: it goes through the sanitizer and is measured after it.
size_t peer_name(const JXPeer* peer, char* left, size_t size)
{
    if (peer == nullptr)
        return 0;
    size_t o = jx_str_sanitize(peer->username, sizeof peer->username, left, size);
    return o + static_cast<size_t>(snprintf(left + o, size - o, " | "));
}

// The rows a channel line's text takes on a terminal w cells wide after the line's prefix, as
// {start, length} in text: a row breaks at its last blank (which is not shown), or between
// characters where it has none.
std::vector<std::pair<size_t, size_t>> wrap_rows(const std::string& text, size_t w)
{
    std::vector<std::pair<size_t, size_t>> rows;
    const size_t n = text.size();
    size_t pos = 0;
    const auto prefix = static_cast<size_t>(CH_LINE_PREFIX);
    size_t room = w > prefix ? w - prefix : 0;
    for (;;) {
        size_t head = jx_str_head(text.c_str() + pos, n - pos, room, nullptr);
        if (pos + head >= n) {
            rows.emplace_back(pos, n - pos);
            return rows;
        }
        if (head == 0 && room == w)  // a character wider than the row: it goes whole
            head = std::max<size_t>(jx_utf8_len(text.c_str() + pos, n - pos), 1);
        const size_t blank = text.rfind(' ', pos + head);
        const bool at_blank = blank != std::string::npos && blank > pos;
        const size_t len = at_blank ? blank - pos : head;
        rows.emplace_back(pos, len);
        pos += len + (at_blank ? 1 : 0);
        room = w;
    }
}

}  // namespace

void channel_init(state_op* update, state_op* render)
{
    frame_init(&frame, update, render, channel_update, channel_render);
    ctx_reset_scroll();
    remember_channel(ctx_get()->channel);
}

void channel_update()
{
    TermData* t = ctx_get();
    switch (t->key) {
    case KEY_ESC:
        state_set(STATE_START);
        t->sel_addr = 0;
        t->sel_peer = 0;
        line_clear(t);
        break;
    case KEY_ENTER:
        cmd_eval_input();
        break;
    case KEY_UP:
    case KEY_PGUP:
        t->scroll_req = SCROLL_OLDER;
        frame_redraw(&frame);
        break;
    case KEY_DOWN:
    case KEY_PGDN:
        t->scroll_req = SCROLL_NEWER;
        frame_redraw(&frame);
        break;
    }
    frame_update_tail(&frame, false);
}

void channel_render()
{
    frame_render(&frame);
}

void channel_render_dy()
{
    frame_render_dy();
}

void channel_render_complete()
{
    // The header bar stands where the other screens have their title.
    frame_draw(&frame, nullptr, [] {
        ch_data_bar();
        ch_display_texts();
    });
}

void ch_data_bar()
{
    const TermData* t = ctx_get();
    const JXChannel* ch = t->channel;
    // Without a bar the row stays empty, so the rest of the screen keeps its rows.
    if (ch == nullptr) {
        io_empty_lines(1);
        return;
    }
    const JXNetwork* net = jx_network_by_addr(ch->net_addr);
    if (net == nullptr) {
        jx_log("No network for addr %s displaying lines... ", jx_ip_str(ch->net_addr).s);
        io_empty_lines(1);
        return;
    }
    const int w = t->term_w;
    char left[100] = {};
    uint8_t status = 0;
    switch (ch->type) {
    case CH_UNSPEC:
    case CH_MAIN:
        snprintf(left, sizeof left, "%s", jx_ip_str(ch->net_addr).s);
        status = net->status;
        break;
    case CH_NET_DM: {
        const JXPeer* peer = jx_peer_from_network(ch->peer_addr, net);
        size_t o = w >= CH_HEADER_NAME_MIN_W ? peer_name(peer, left, sizeof left) : 0;
        snprintf(left + o, sizeof left - o, "%s@%s", jx_ip_str(ch->peer_addr).s, jx_ip_str(ch->net_addr).s);
        // A peer in the list has been heard within the last minute: online, also before its alive
        // flag is set again by a second beacon (no event would redraw the header then).
        status = peer != nullptr ? NET_ONLINE : NET_OFFLINE;
        break;
    }
    case CH_DM: {
        const JXPeer* peer = jx_peer_from_network(ch->net_addr, net);
        size_t o = w >= CH_HEADER_NAME_MIN_W ? peer_name(peer, left, sizeof left) : 0;
        snprintf(left + o, sizeof left - o, "%s", jx_ip_str(ch->net_addr).s);
        status = net->status;
        break;
    }
    default:
        io_empty_lines(1);
        return;
    }
    io_printf("\r%*s\r", w, "");
    io_color(IO_BAR);
    char mid[48] = {};
    snprintf(mid, sizeof mid, " | %s | ", jx_channel_type_str(ch->type));
    io_puts(left);
    io_puts(mid);
    const char* word = "offline";
    switch (status) {
    case NET_OFFLINE:
        io_color(IO_BRED "\x1b[42m");
        break;
    case NET_ONLINE:
        word = "online";
        break;
    default:
        break;  // a closed private network: offline, but not in red
    }
    io_puts(word);
    // The peer's name in left may hold wide characters: measured in cells.
    int fill = w - static_cast<int>(jx_str_cells(left, sizeof left) + strlen(mid) + strlen(word));
    io_printf("%*s", fill > 0 ? fill : 0, "");
    io_puts(IO_RESET "\r\n");
}

void ch_display_texts()
{
    TermData* t = ctx_get();
    JXChannel* ch = t->channel;
    const int h = t->term_h;
    const int w = t->term_w > 0 ? t->term_w : 1;
    const int area = h - 3;
    if (ch == nullptr) {
        io_empty_lines(area);
        return;
    }

    jx_list shown;
    jx_list_init(&shown, free);
    int rows = 0;
    size_t cut = 0;  // rows left out at the top of the one message that does not fit

    char fn[JX_CHANNEL_NAME_SIZE];
    jx_channel_file_name(ch->type, ch->net_addr, ch->peer_addr, fn);
    uint64_t hdr[3] = {};
    if (jx_fso_read_file_header(hdr, fn) == 0 && hdr[0] != 0 && hdr[1] != 0) {
        const uint64_t last = hdr[0], count = hdr[1], cap = hdr[2];
        if (t->scroll_req == SCROLL_OLDER) {
            if (count == static_cast<uint64_t>(t->shown_count) + t->list_offset)
                t->scroll_req = SCROLL_NONE;  // the oldest message is on screen already
            else
                t->list_offset = static_cast<uint16_t>(t->list_offset + t->shown_count);
        } else if (t->scroll_req == SCROLL_NEWER && t->list_offset == 0) {
            t->scroll_req = SCROLL_NONE;  // the newest message is at the bottom already
        }
        const bool newer = t->scroll_req == SCROLL_NEWER;
        // Newer: start just after the newest message shown and read towards the newest.
        uint64_t p = ring_back(last, newer ? t->list_offset - 1u : t->list_offset, cap);
        t->shown_count = 0;
        while (rows < area) {
            auto* m = static_cast<JXStoredMsg*>(calloc(1, sizeof(JXStoredMsg)));
            if (m == nullptr) {
                jx_log("Could not allocate memory! - Code 16");
                break;
            }
            if (jx_fso_read_msg(static_cast<uint16_t>(p), fn, m) != 0 || m->type == 0) {
                free(m);
                break;
            }
            // Rows the line takes, the text measured as it is shown.
            auto need = static_cast<int>(wrap_rows(io_safe(m->text, sizeof m->text), static_cast<size_t>(w)).size());
            if (rows + need > area) {
                if (t->shown_count != 0) {
                    free(m);
                    break;
                }
                // Taller than the whole area: its last rows, and it counts as shown, so paging
                // moves past it instead of leaving the area blank.
                cut = static_cast<size_t>(need - area);
                need = area;
            }
            // The list always runs oldest to newest.
            int ins = newer ? jx_list_ins_next(&shown, jx_list_tail(&shown), m)
                            : jx_list_ins_next(&shown, nullptr, m);
            if (ins != 0) {
                jx_log("Txt could not be added to list");
                free(m);
                break;
            }
            rows += need;
            t->shown_count++;
            if (newer) {
                if (p == last)
                    break;
                p = p == cap ? 1 : p + 1;
            } else {
                p = p == 1 ? cap : p - 1;
                if (p == last)
                    break;  // every slot was visited
            }
        }
        if (newer)
            t->list_offset = static_cast<uint16_t>(t->list_offset - t->shown_count);
    }
    t->scroll_req = SCROLL_NONE;
    io_empty_lines(area - rows);
    for (jx_list_elmt* e = jx_list_head(&shown); e != nullptr; e = jx_list_next(e), cut = 0)
        io_print_txt(static_cast<const JXStoredMsg*>(jx_list_data(e)), cut);
    jx_list_destroy(&shown);  // frees every message through its destroy callback
    ch->unread = 0;  // seen now
}

void io_print_txt(const JXStoredMsg* msg, size_t skip_rows)
{
    TermData* t = ctx_get();
    t->prompt_redraw = 1;
    const char* colour;
    const char* marker;
    bool system = false;
    switch (msg->type) {
    case MSG_RECEIVED:
        colour = IO_CYAN;
        marker = " >>> ";
        break;
    case MSG_SENT:
        colour = IO_RESET;
        marker = " <<< ";
        break;
    case MSG_NOTICE:
        colour = IO_MAGENTA;
        marker = " >>> ";
        system = true;
        break;
    case MSG_UNDELIVERED:
        colour = IO_RED;
        marker = " xxx ";
        break;
    case MSG_PARTLY_UNDELIVERED:
        colour = IO_YELLOW;
        marker = " <x< ";
        break;
    case MSG_DELIVERED:
        colour = IO_GREEN;
        marker = " <<< ";
        break;
    default:
        return;
    }
    io_printf("\r%*s\r", t->term_w, "");
    io_color(colour);
    if (skip_rows == 0) {
        const time_t when = static_cast<time_t>(msg->time);
        io_printf("%s|", jx_format_time(&when));
        char author[sizeof msg->username];
        if (system)
            snprintf(author, sizeof author, "System");
        else
            jx_str_sanitize(msg->username, sizeof msg->username, author, sizeof author);
        io_puts(io_rjust(author, CH_AUTHOR_W).c_str());
        io_puts(marker);
    }
    // Texts come from other hosts: no byte of them may reach the terminal as control.
    const std::string text = io_safe(msg->text, sizeof msg->text);
    const auto rows = wrap_rows(text, static_cast<size_t>(std::max(t->term_w, 1)));
    for (size_t i = skip_rows; i < rows.size(); i++) {
        if (i > skip_rows)
            io_puts("\r\n");
        io_write(text.data() + rows[i].first, rows[i].second);
    }
    io_puts(IO_RESET "\r\n");
}
