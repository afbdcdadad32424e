#include "terminal/io.hpp"

#include <poll.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "engine/comm.hpp"
#include "foundation/log.hpp"
#include "foundation/utf8.hpp"
#include "foundation/utility.hpp"
#include "storage/stranger_files.hpp"
#include "terminal/ctx.hpp"
#include "terminal/state_machine.hpp"

static struct termios orig_termios;
static bool orig_saved;

static std::string out_buf;
static bool capturing;
static std::string captured;

// Size the warning was last drawn for; -1 while the window is large enough.
static int32_t warned_w = -1;
static int32_t warned_h = -1;

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
}

void io_mode_reset()
{
    if (orig_saved)
        tcsetattr(STDIN_FILENO, TCSANOW, &orig_termios);
}

// Bytes read but not decoded yet: what followed a key in the same read (it belongs to the next
// turns, one key per turn), and the first bytes of a character whose rest is still to be read.
static uint8_t pending[IO_READ_MAX + 3];
static size_t pending_len;

// Something to decode without reading: more than the start of a character.
static bool pending_ready()
{
    return pending_len > 0 && !jx_utf8_incomplete(reinterpret_cast<const char*>(pending), pending_len);
}

int io_keyboard_check()
{
    if (pending_ready())
        return 1;
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(STDIN_FILENO, &fds);
    struct timeval tv = {0, 0};
    int r = select(STDIN_FILENO + 1, &fds, nullptr, nullptr, &tv);
    if (r < 0) {
        const int err = errno;
        jx_log("Select failed - %d", err);
        jx_log_errno(err);
        return 0;
    }
    return r > 0 && FD_ISSET(STDIN_FILENO, &fds) ? 1 : 0;
}

void io_input()
{
    TermData* t = ctx_get();
    if (!pending_ready()) {
        // Only the start of a character can be pending here (at most 3 bytes): room for a read.
        ssize_t n = read(STDIN_FILENO, pending + pending_len, IO_READ_MAX);
        if (n <= 0) {
            io_decode(nullptr, static_cast<long>(n), t);
            return;
        }
        pending_len += static_cast<size_t>(n);
    }
    size_t used = io_decode(pending, static_cast<long>(pending_len), t);
    pending_len -= used;
    memmove(pending, pending + used, pending_len);
}

// Keys that arrive as one escape sequence of 3, 4 or 5 bytes; KEY_NONE for anything else.
static uint8_t decode_sequence(const uint8_t* b, long n)
{
    switch (n) {
    case 3:
        if (b[1] == '[') {
            switch (b[2]) {
            case 'A':
                return KEY_UP;
            case 'B':
                return KEY_DOWN;
            case 'D':
                return KEY_LEFT;
            case 'C':
                return KEY_RIGHT;
            default:
                return KEY_NONE;
            }
        }
        if (b[1] == 'O') {
            switch (b[2]) {
            case 'P':
                return KEY_F1;
            case 'Q':
                return KEY_F2;
            case 'R':
                return KEY_F3;
            case 'S':
                return KEY_F4;
            default:
                return KEY_NONE;
            }
        }
        return KEY_NONE;
    case 4:
        // The fourth byte (normally '~') is not looked at.
        if (b[1] != '[')
            return KEY_NONE;
        switch (b[2]) {
        case '5':
            return KEY_PGUP;
        case '6':
            return KEY_PGDN;
        case '3':
            return KEY_DEL;
        default:
            return KEY_NONE;
        }
    case 5:
        if (b[1] != '[' || b[2] != '1' || b[4] != '~')
            return KEY_NONE;
        switch (b[3]) {
        case '5':
            return KEY_F5;
        case '7':
            return KEY_F6;
        case '8':
            return KEY_F7;
        case '9':
            return KEY_F8;
        default:
            return KEY_NONE;
        }
    default:
        return KEY_NONE;
    }
}

// Length (3..5) of the key's escape sequence that b[0..n) begins with; 0 when it begins with none.
// The fourth byte of a four-byte key is only looked at when more follows it: then it must end the
// sequence ('~'), or the bytes are one longer sequence (Ctrl-Delete is ESC [ 3 ; 5 ~).
static size_t sequence_len(const uint8_t* b, size_t n)
{
    for (size_t len = 3; len <= 5 && len <= n; len++) {
        if (len == 4 && n > 4 && b[3] != '~')
            continue;
        if (decode_sequence(b, static_cast<long>(len)) != KEY_NONE)
            return len;
    }
    return 0;
}

// Decodes the front of b[0..n): typed characters up to and including one key, or one escape
// sequence. Returns the bytes used; the rest waits for the next turn.
static size_t decode_front(const uint8_t* b, size_t n, TermData* t)
{
    if (b[0] == 0x1B) {
        if (size_t len = sequence_len(b, n); len != 0) {
            t->key = decode_sequence(b, static_cast<long>(len));
            return len;
        }
        // Unknown and longer sequences are dropped whole; ESC with at most one byte after it is
        // the Escape key.
        if (n >= 3)
            return n;
        t->key = KEY_ESC;
        return 1;
    }
    size_t len = strnlen(t->input, TERM_INPUT_MAX);
    size_t i = 0;
    while (i < n) {
        const uint8_t c = b[i];
        switch (c) {
        case 0x1B:
            return i;  // a key or a sequence of its own, next turn
        case 0x09:
            t->key = KEY_TAB;
            return i + 1;
        case 0x0D:
            t->key = KEY_ENTER;
            return i + 1;
        case 0x14:
            t->key = KEY_CTRL_T;
            return i + 1;
        case 0x08:
        case 0x7F:
            // A whole character, however many bytes it took.
            len -= jx_utf8_last_len(t->input, len);
            t->input[len] = '\0';
            i++;
            continue;
        default:
            break;
        }
        const auto* s = reinterpret_cast<const char*>(b + i);
        size_t cl = c >= 0x20 && c <= 0x7E ? 1 : c >= 0x80 ? jx_utf8_len(s, n - i) : 0;
        if (cl == 0 && jx_utf8_incomplete(s, n - i))
            return i;  // completed by the next read
        // Other controls, C1 controls (they act as escapes on some terminals) and bytes that are
        // not UTF-8 are ignored. A character that does not fit the line whole is dropped.
        const bool c1 = cl == 2 && c == 0xC2 && b[i + 1] <= 0x9F;
        if (cl != 0 && !c1 && len + cl <= TERM_INPUT_MAX) {
            memcpy(t->input + len, s, cl);
            len += cl;
            t->input[len] = '\0';
        }
        i += cl != 0 ? cl : 1;
    }
    return n;
}

size_t io_decode(const uint8_t* buf, long n, TermData* t)
{
    size_t used = n > 0 ? decode_front(buf, static_cast<size_t>(n), t) : 0;
    memset(t->err_feedback, 0, sizeof t->err_feedback);
    t->prompt_redraw = 1;
    return used;
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
    out_buf.append("\x1b[H\x1b[2J\x1b[3J");
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

void io_prompt()
{
    TermData* t = ctx_get();
    if (!t->prompt_redraw)
        return;
    int32_t w = t->term_w;
    io_puts(IO_RESET);
    io_printf("\r%*s\r", w, "");
    if (t->err_feedback[0] != '\0') {
        io_puts(IO_RED "Error: ");
        io_write_untrusted(t->err_feedback, sizeof t->err_feedback);
        io_puts(IO_RESET);
    } else {
        io_puts("\r");
        uint32_t st = state_get();
        if (st == STATE_START || st == STATE_CHANNEL) {
            const JXComm* cc = jx_comm_get();
            std::string user = io_safe(cc->username, sizeof cc->username);
            // Measured in cells: the line may hold wide characters and combining marks.
            auto lu = static_cast<int32_t>(jx_str_cells(user.c_str(), user.size()));
            auto li = static_cast<int32_t>(jx_str_cells(t->input, TERM_INPUT_SIZE));
            io_puts(IO_GREEN "[");
            io_puts(user.c_str());
            io_puts("]" IO_RESET);
            if (w > li + lu + 3) {
                io_puts(" ");
                io_puts(t->input);
            } else {
                // Only the tail that fills the row exactly; a blank stands for half a wide
                // character that did not fit.
                const int32_t keep = w - lu - 6;
                size_t cells = 0;
                size_t from =
                    jx_str_tail(t->input, TERM_INPUT_SIZE, keep > 0 ? static_cast<size_t>(keep) : 0, &cells);
                io_puts(" ...");
                io_printf("%*s", keep > static_cast<int32_t>(cells) ? keep - static_cast<int32_t>(cells) : 0,
                          "");
                io_puts(t->input + from);
            }
        } else {
            io_puts(IO_RED "xxx" IO_RESET);
        }
    }
    io_flush();
    t->prompt_redraw = 0;
}

void io_color(const char* seq)
{
    io_puts(seq);
}

void io_top_bar_title(const char* title, int len)
{
    int32_t w = ctx_get_term_w();
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

void io_draw_screen(const char* title, int len, void (*content)())
{
    io_clear();
    if (title != nullptr)
        io_top_bar_title(title, len);
    content();
    io_key_bar();
    io_prompt();
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

const char* io_get_channel_fn(uint8_t type, uint32_t net, uint32_t peer)
{
    static char fn[1025];
    memset(fn, 0, sizeof fn);
    jx_channel_file_name(type, net, peer, fn);
    return fn;
}

const char* io_fin_state_str(uint8_t fin_state)
{
    static char label[40];
    memset(label, 0, sizeof label);
    const char* s;
    switch (fin_state) {
    case 6:
        s = "Done";
        break;
    case 9:
        s = "Chksum fail";
        break;
    case 10:
        s = "Chksum test";
        break;
    case 11:
        s = "Chksum OK";
        break;
    default:
        s = "Failed";
        break;
    }
    snprintf(label, sizeof label, "%s", s);
    return label;
}
