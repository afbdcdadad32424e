// Help screen: a fixed page on the program, its function keys and commands, scrolled by line.
#include <cstdint>
#include <cstring>

#include "terminal/screens/screens.hpp"

static ScreenFrame frame = {help_render_complete, help_render_dy, help_render_complete};
// Page rows scrolled off the top.
static int32_t row_offset;
// Set once the page's last line fits on screen: scrolling further down is refused.
static uint8_t max_rows_offset_reached;

static constexpr char description[] =
    "Jexley is a networking tool for messaging and data exchange between computers connected through a LAN.";
static constexpr char doc_lead[] = "For a complete documentation check out ";

namespace {
enum LineKind : uint8_t { EMPTY, TEXT, TITLE };
struct HelpLine {
    LineKind kind;
    const char* text;
};
}  // namespace

// The page after the description; the documentation line follows them.
static constexpr HelpLine page[] = {
    {EMPTY, ""},
    {TITLE, "Hotkeys"},
    {TEXT, "F1 - Home screen with general information"},
    {TEXT, "F2 - List of joined networks with details"},
    {TEXT, "F3 - List of predefined multicast IPs to join(LAN)"},
    {TEXT, "F4 - List of channels with details (Main and DMs)"},
    {TEXT, "F5 - List of peers from last selected network"},
    {TEXT, "F6 - List of all downloads in current session"},
    {TEXT, "F7 - List of all uploads in current session"},
    {TEXT, "F8 - Last opened channel"},
    {EMPTY, ""},
    {TITLE, "Keys"},
    {TEXT, "Esc - back (to the channel or home); home: quit"},
    {TEXT, "Ctrl-C - quit (asks while files are moving)"},
    {TEXT, "Up/Down - move in a list, page a channel"},
    {TEXT, "PageUp/PageDown - page a channel"},
    {TEXT, "Left/Right/Home/End - move in the input line"},
    {TEXT, "Ctrl-U - delete to the start of the line"},
    {TEXT, "Ctrl-W - delete the word before the cursor"},
    {TEXT, "Enter - open, join, accept a download"},
    {TEXT, "Delete - leave a network, remove a transfer"},
    {TEXT, "Ctrl-T - verify a finished download"},
    {EMPTY, ""},
    {TITLE, "Commands"},
    {TEXT, "/join <ip addr> - join a network (or directIP DM)"},
    {TEXT, "/rj - try to rejoin a directIP network if offline"},
    {TEXT, "/nets - list of joined networks"},
    {TEXT, "/peers - list of peers from last selected network"},
    {TEXT, "/chs - list of channels (Main and DMs)"},
    {TEXT, "/uname <username> - change username"},
    {TEXT, "/snd <path to file> - send a file (only DM)"},
    {TEXT, "/dl - list of downloads"},
    {TEXT, "/ul - list of uploads"},
    {TEXT, "/addrs - list of predefined IPs (use as networks)"},
    {TEXT, "/help - help page"},
    {EMPTY, ""},
};

void help_init(state_op* update, state_op* render)
{
    frame_init(&frame, update, render, help_update, help_render);
    row_offset = 0;
    max_rows_offset_reached = 0;
    ctx_reset_scroll();
}

void help_update()
{
    TermData* t = ctx_get();
    switch (t->key) {
    case KEY_UP:
        if (row_offset > 0) {
            row_offset--;
            max_rows_offset_reached = 0;
            t->refresh = 1;
            frame_redraw(&frame);
        }
        break;
    case KEY_DOWN:
        if (!max_rows_offset_reached) {
            row_offset++;
            t->refresh = 1;
            frame_redraw(&frame);
        }
        break;
    case KEY_ESC:
        state_set(STATE_START);
        break;
    }
    frame_update_tail(&frame, true);
}

void help_render()
{
    frame_render(&frame);
}

void help_render_dy()
{
    frame_render_dy();
}

void help_render_complete()
{
    frame_draw(&frame, "Help", help_content);
}

void help_content()
{
    const int32_t w = ctx_get_term_w();
    const int32_t avail = ctx_get_term_h() - 3;
    if (w <= 0)
        return;
    int32_t c = 0;    // rows written
    int32_t idx = 0;  // page row index

    io_puts(IO_GREEN);
    if (row_offset == 0) {
        io_puts("\r\n");
        c++;
    }
    idx++;

    bool stop = false;
    const int32_t dlen = static_cast<int32_t>(strlen(description));
    for (int32_t j = 0; j * w < dlen; j++, idx++) {
        if (idx >= row_offset) {
            io_printf("%.*s\r\n", w, description + j * w);
            c++;
        }
        if (c >= avail) {
            stop = true;
            idx++;
            break;
        }
    }

    for (size_t i = 0; !stop && i < sizeof page / sizeof page[0]; i++, idx++) {
        const HelpLine& l = page[i];
        if (l.kind == EMPTY) {
            if (c >= avail) {
                stop = true;
                break;
            }
            if (idx >= row_offset) {
                io_puts("\r\n");
                c++;
            }
            continue;
        }
        const int32_t len = static_cast<int32_t>(strlen(l.text));
        if ((len + w - 1) / w > avail - c) {
            stop = true;
            break;
        }
        if (idx >= row_offset) {
            io_puts(l.kind == TITLE ? IO_YELLOW : IO_GREEN);
            io_printf("%.*s\r\n", w, l.text);
            io_puts(IO_GREEN);
            c++;
        }
    }

    if (!stop) {
        // The documentation line: lead in green, the address in yellow, cut to one row.
        const int32_t lead = static_cast<int32_t>(strlen(doc_lead));
        const int32_t len = lead + static_cast<int32_t>(strlen(JX_DOC_URL));
        if ((len + w - 1) / w <= avail - c) {
            if (idx >= row_offset) {
                io_printf("%.*s", w, doc_lead);
                if (w > lead) {
                    io_puts(IO_YELLOW);
                    io_printf("%.*s", w - lead, JX_DOC_URL);
                }
                io_puts("\r\n");
                c++;
            }
            max_rows_offset_reached = 1;
        }
    }

    io_puts(IO_RESET);
    for (; c < avail; c++)
        io_puts("\r\n");
}
