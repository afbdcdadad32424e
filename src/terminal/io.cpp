#include "terminal/io.hpp"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/comm.hpp"
#include "engine/records.hpp"
#include "foundation/log.hpp"
#include "foundation/utf8.hpp"
#include "foundation/utility.hpp"
#include "terminal/ctx.hpp"
#include "terminal/line.hpp"
#include "terminal/state.hpp"

static struct termios orig_termios;
static bool orig_saved;

static std::string out_buf;
static bool capturing;
static std::string captured;

// Size the warning was last drawn for; -1 while the window is large enough.
static int32_t warned_w = -1;
static int32_t warned_h = -1;

// Entered and left with raw mode: the program draws on a screen of its own.
static const char ALT_ON[] = "\x1b[?1049h";
static const char ALT_OFF[] = "\x1b[?1049l";

static void write_all(int fd, const char* p, size_t n);

void io_set_conio_mode()
{
    if (tcgetattr(STDIN_FILENO, &orig_termios) != 0)
        return;
    if (!orig_saved) {
        orig_saved = true;
        atexit(io_mode_reset);
    }
    struct termios raw = orig_termios;
    cfmakeraw(&raw);
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    write_all(STDOUT_FILENO, ALT_ON, sizeof ALT_ON - 1);
}

void io_mode_reset()
{
    if (!orig_saved)
        return;
    write_all(STDOUT_FILENO, ALT_OFF, sizeof ALT_OFF - 1);
    tcsetattr(STDIN_FILENO, TCSANOW, &orig_termios);
}

void io_write(const char* s, size_t n)
{
    out_buf.append(s, n);
}

void io_puts(const char* s)
{
    out_buf.append(s);
}

void io_printf(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (n > 0) {
        size_t old = out_buf.size();
        out_buf.resize(old + static_cast<size_t>(n) + 1);
        vsnprintf(&out_buf[old], static_cast<size_t>(n) + 1, fmt, ap2);
        out_buf.resize(old + static_cast<size_t>(n));
    }
    va_end(ap2);
}

static void write_all(int fd, const char* p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<size_t>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else if (w < 0 && errno == EAGAIN) {
            struct pollfd pfd = {fd, POLLOUT, 0};
            if (poll(&pfd, 1, 100) <= 0)
                return;
        } else {
            return;
        }
    }
}

void io_flush()
{
    if (out_buf.empty())
        return;
    if (capturing)
        captured += out_buf;
    else
        write_all(STDOUT_FILENO, out_buf.data(), out_buf.size());
    out_buf.clear();
}

void io_capture_begin()
{
    out_buf.clear();
    captured.clear();
    capturing = true;
}

std::string io_capture_end()
{
    io_flush();
    capturing = false;
    std::string r;
    r.swap(captured);
    return r;
}

std::string io_safe(const char* s, size_t n)
{
    size_t len = strnlen(s, n);
    std::string r(len + 1, '\0');
    r.resize(jx_str_sanitize(s, len, r.data(), r.size()));
    return r;
}

void io_write_untrusted(const char* s, size_t n)
{
    out_buf += io_safe(s, n);
}

std::string io_rjust(const std::string& s, int c)
{
    const size_t cells = jx_str_cells(s.c_str(), s.size());
    return c > 0 && cells < static_cast<size_t>(c) ? std::string(static_cast<size_t>(c) - cells, ' ') + s : s;
}

void io_clear()
{
    out_buf.assign("\x1b[H\x1b[2J");
}

int io_check_min_size()
{
    const TermData* t = ctx_get();
    if (t->term_w >= IO_MIN_W && t->term_h >= IO_MIN_H) {
        warned_w = warned_h = -1;
        return 0;
    }
    if (warned_w != t->term_w || warned_h != t->term_h) {
        warned_w = t->term_w;
        warned_h = t->term_h;
        io_clear();
        io_puts(IO_RED);
        io_printf("\r%*s\r", t->term_w, "");
        io_printf("MIN WINDOW SIZE IS %dx%d", IO_MIN_W, IO_MIN_H);
        io_puts(IO_RESET "\r\n");
        io_flush();
    }
    return 1;
}

// The user name and the input line, the cursor in it. A line longer than the row shows the part
// around the cursor: from its start while the cursor is in the first half of the row, else "..."
// and the cells before the cursor, then what follows it.
static void prompt_line(const TermData* t, int32_t w)
{
    const JXComm* cc = jx_comm_get();
    const std::string user = io_safe(cc->username, sizeof cc->username);
    io_puts(IO_GREEN "[");
    io_puts(user.c_str());
    io_puts("]" IO_RESET);
    // Measured in cells: the line may hold wide characters and combining marks.
    const auto lu = static_cast<int32_t>(jx_str_cells(user.c_str(), user.size()));
    const char* in = t->input;
    const size_t len = strnlen(in, TERM_INPUT_MAX), cur = line_cursor(t);
    const auto li = static_cast<int32_t>(jx_str_cells(in, len));
    const auto before = static_cast<int32_t>(jx_str_cells(in, cur));
    int32_t col = -1;  // column the cursor goes back to; -1: it stays after what was drawn
    if (w > li + lu + 3) {
        io_puts(" ");
        io_puts(in);
        if (cur < len)
            col = lu + 3 + before;
    } else if (cur < len && before < (w - lu - 3) / 2) {
        size_t cells = 0;
        const size_t head = jx_str_head(in, len, static_cast<size_t>(w - lu - 3), &cells);
        io_puts(" ");
        io_write(in, head);
        col = lu + 3 + before;
    } else {
        // The tail before the cursor, and after it as much of the rest as fills the row exactly; a
        // blank stands for half a wide character that did not fit.
        const int32_t keep = std::max(w - lu - 6, 0);
        const auto after = static_cast<int32_t>(li - before);
        const int32_t room = keep - std::min(after, keep / 2);
        size_t tail_cells = 0, head_cells = 0;
        const std::string upto(in, cur);
        const size_t from = jx_str_tail(upto.c_str(), cur, static_cast<size_t>(room), &tail_cells);
        const size_t head =
            jx_str_head(in + cur, len - cur, static_cast<size_t>(keep) - tail_cells, &head_cells);
        const auto pad = static_cast<int32_t>(keep - tail_cells - head_cells);
        io_puts(" ...");
        io_printf("%*s", pad, "");
        io_write(in + from, cur - from);
        io_write(in + cur, head);
        if (cur < len)
            col = lu + 6 + pad + static_cast<int32_t>(tail_cells);
    }
    if (col > 0)
        io_printf("\r\x1b[%dC", col);
}

void io_prompt()
{
    TermData* t = ctx_get();
    if (!t->prompt_redraw)
        return;
    int32_t w = t->term_w;
    io_puts(IO_RESET);
    io_printf("\r%*s\r", w, "");
    if (t->quit_ask != 0) {
        io_printf(IO_YELLOW "%u transfer%s in progress. Quit? y/N" IO_RESET, static_cast<unsigned>(t->quit_ask),
                  t->quit_ask == 1 ? "" : "s");
    } else if (t->err_feedback[0] != '\0') {
        io_puts(IO_RED "Error: ");
        io_write_untrusted(t->err_feedback, sizeof t->err_feedback);
        io_puts(IO_RESET);
    } else {
        io_puts("\r");
        uint32_t st = state_get();
        if (st == STATE_START || st == STATE_CHANNEL)
            prompt_line(t, w);
        else
            io_puts(IO_RED "xxx" IO_RESET);
    }
    t->prompt_redraw = 0;
}

void io_color(const char* seq)
{
    io_puts(seq);
}

void io_top_bar_title(const char* title)
{
    const int32_t w = ctx_get_term_w();
    const auto len = static_cast<int32_t>(jx_str_cells(title, strlen(title)));
    io_puts(IO_BAR);
    io_printf("\r%*s\r", w, "");
    io_puts(title);
    io_printf("%*s", w > len ? w - len : 0, "");
    io_puts(IO_RESET "\r\n");
}

void io_key_bar()
{
    static const char* const short_labels[8] = {"Help", "JNs", "Addrs", "Chs", "Peers", "Dls", "Uls", "Ch"};
    static const char* const long_labels[8] = {"Help",  "JoinedNets", "Addrs",   "Channels",
                                               "Peers", "Downloads",  "Uploads", "LastCh"};
    TermData* t = ctx_get();
    int32_t w = t->term_w;
    bool narrow = w < 70;
    io_printf("\r%*s\r", w, "");
    for (int i = 0; i < 8; i++) {
        io_printf(IO_FKEY "F%d" IO_BAR "%s", i + 1, narrow ? short_labels[i] : long_labels[i]);
    }
    // 44 and 70: printed lengths of the two label sets with their key names.
    int32_t fill = w - (narrow ? 44 : 70);
    io_printf("%*s", fill > 0 ? fill : 0, "");
    io_puts(IO_RESET "\r\n");
    t->prompt_redraw = 1;
}

void io_empty_lines(int n)
{
    for (int i = 0; i < n; i++)
        io_puts("\r\n");
}

void io_compute_list_offset(uint16_t sel, uint16_t rows)
{
    TermData* t = ctx_get();
    uint16_t off = t->list_offset;
    if (off > sel && off - sel > rows) {
        if (sel >= rows)
            off = static_cast<uint16_t>(sel - rows);
        else
            off = sel == 0 ? 0 : static_cast<uint16_t>(sel - 1);
    } else if (sel > off && sel - off > rows) {
        // Compared only when sel is below the window: a 16-bit difference would wrap otherwise.
        off = static_cast<uint16_t>(sel - rows);
    } else if (sel < off || (sel == off && sel != 0)) {
        off = sel == 0 ? 0 : static_cast<uint16_t>(sel - 1);
    }
    t->list_offset = off;
}

const char* io_fin_state_str(uint8_t fin_state)
{
    static char label[40];
    memset(label, 0, sizeof label);
    const char* s;
    switch (fin_state) {
    case FIN_NONE:  // the other side declined the offer
        s = "Declined";
        break;
    case FIN_COMPLETED:
        s = "Done";
        break;
    case FIN_HASH_BAD:
        s = "Chksum fail";
        break;
    case FIN_HASH_CHECKING:
        s = "Chksum test";
        break;
    case FIN_HASH_OK:
        s = "Chksum OK";
        break;
    default:
        s = "Failed";
        break;
    }
    snprintf(label, sizeof label, "%s", s);
    return label;
}
