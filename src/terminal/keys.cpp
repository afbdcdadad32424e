#include "terminal/keys.hpp"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "foundation/utf8.hpp"

namespace {

constexpr uint8_t ESC = 0x1B;

// The bytes after ESC of every sequence that is a key: xterm and tmux in both cursor modes, rxvt
// and the Linux console. Any other complete sequence (a modified key, a report) is dropped whole.
struct SeqKey {
    const char* seq;
    uint8_t key;
};
constexpr SeqKey SEQUENCES[] = {
    {"[A", KEY_UP},     {"[B", KEY_DOWN},   {"[C", KEY_RIGHT},  {"[D", KEY_LEFT},   {"OA", KEY_UP},
    {"OB", KEY_DOWN},   {"OC", KEY_RIGHT},  {"OD", KEY_LEFT},   {"[H", KEY_HOME},   {"[F", KEY_END},
    {"OH", KEY_HOME},   {"OF", KEY_END},    {"[1~", KEY_HOME},  {"[7~", KEY_HOME},  {"[4~", KEY_END},
    {"[8~", KEY_END},   {"[3~", KEY_DEL},   {"[5~", KEY_PGUP},  {"[6~", KEY_PGDN},  {"OP", KEY_F1},
    {"OQ", KEY_F2},     {"OR", KEY_F3},     {"OS", KEY_F4},     {"[11~", KEY_F1},   {"[12~", KEY_F2},
    {"[13~", KEY_F3},   {"[14~", KEY_F4},   {"[15~", KEY_F5},   {"[17~", KEY_F6},   {"[18~", KEY_F7},
    {"[19~", KEY_F8},   {"[[A", KEY_F1},    {"[[B", KEY_F2},    {"[[C", KEY_F3},    {"[[D", KEY_F4},
    {"[[E", KEY_F5},
};

// Control bytes that are keys; every other control byte is ignored. LF is Enter too: pasted text
// and many clipboard tools end lines with it.
struct CtlKey {
    uint8_t byte;
    uint8_t key;
};
constexpr CtlKey CONTROLS[] = {
    {0x09, KEY_TAB},       {0x0D, KEY_ENTER},  {0x0A, KEY_ENTER},  {0x14, KEY_CTRL_T}, {0x7F, KEY_BACKSPACE},
    {0x08, KEY_BACKSPACE}, {0x03, KEY_CTRL_C}, {0x15, KEY_CTRL_U}, {0x17, KEY_CTRL_W},
};

void emit_key(std::vector<KeyEvent>* out, uint8_t key)
{
    out->push_back(KeyEvent{key, 0, {}});
}

// A well-formed character of len bytes; C1 controls act as escapes on some terminals: ignored.
void emit_char(std::vector<KeyEvent>* out, const uint8_t* s, size_t len)
{
    const uint32_t cp = jx_utf8_decode(reinterpret_cast<const char*>(s), len);
    if (cp >= 0x80 && cp <= 0x9F)
        return;
    KeyEvent e{KEY_NONE, static_cast<uint8_t>(len), {}};
    memcpy(e.ch, s, len);
    out->push_back(e);
}

void hold(KeyDecoder* d, uint8_t c, int64_t now)
{
    if (d->held_len == 0)
        d->held_since = now;
    if (d->held_len < KEYS_HELD_MAX)
        d->held[d->held_len++] = c;
    else
        d->overflow = true;
}

void drop(KeyDecoder* d)
{
    d->held_len = 0;
    d->overflow = false;
}

uint8_t lookup(const KeyDecoder* d)
{
    if (d->overflow)
        return KEY_NONE;
    for (const SeqKey& s : SEQUENCES) {
        if (strlen(s.seq) == d->held_len - 1 && memcmp(s.seq, d->held + 1, d->held_len - 1) == 0)
            return s.key;
    }
    return KEY_NONE;
}

// A byte with nothing held before it.
void fresh(KeyDecoder* d, uint8_t c, int64_t now, std::vector<KeyEvent>* out)
{
    const bool lf_of_crlf = c == 0x0A && d->after_cr;
    d->after_cr = c == 0x0D;
    if (lf_of_crlf)
        return;
    if (c == ESC || (c >= 0x80 && jx_utf8_incomplete(reinterpret_cast<const char*>(&c), 1))) {
        hold(d, c, now);
        return;
    }
    for (const CtlKey& k : CONTROLS) {
        if (k.byte == c) {
            emit_key(out, k.key);
            return;
        }
    }
    if (c >= 0x20 && c < 0x7F)
        emit_char(out, &c, 1);
    // Other controls and bytes that cannot start a character are ignored.
}

// Takes c into what is held, or ends it with c. False when c must be decoded on its own: it broke
// the held sequence or character off (which is dropped; a lone ESC before it is the Esc key).
bool continue_held(KeyDecoder* d, uint8_t c, int64_t now, std::vector<KeyEvent>* out)
{
    if (d->held[0] != ESC) {
        uint8_t ch[5];
        memcpy(ch, d->held, d->held_len);
        ch[d->held_len] = c;
        const size_t len = d->held_len + 1;
        const auto* s = reinterpret_cast<const char*>(ch);
        if (jx_utf8_len(s, len) == len) {
            emit_char(out, ch, len);
            drop(d);
            return true;
        }
        if (jx_utf8_incomplete(s, len)) {
            hold(d, c, now);
            return true;
        }
        drop(d);
        return false;
    }
    if (d->held_len == 1) {
        if (c == '[' || c == 'O') {
            hold(d, c, now);
            return true;
        }
        emit_key(out, KEY_ESC);
        drop(d);
        return false;
    }
    // CSI: parameter and intermediate bytes, then a final byte; SS3 (ESC O): one final byte. The
    // Linux console sends F1..F5 as ESC [ [ and a letter: that second '[' is no final byte.
    if (d->held[1] == '[' && ((c >= 0x20 && c <= 0x3F) || (c == '[' && d->held_len == 2))) {
        hold(d, c, now);
        return true;
    }
    if (c >= 0x40 && c <= 0x7E) {
        hold(d, c, now);
        if (const uint8_t k = lookup(d); k != KEY_NONE)
            emit_key(out, k);
        drop(d);
        return true;
    }
    drop(d);
    return false;
}

}  // namespace

void keys_feed(KeyDecoder* d, const uint8_t* b, size_t n, int64_t now_us, std::vector<KeyEvent>* out)
{
    for (size_t i = 0; i < n; i++) {
        if (d->held_len > 0 && continue_held(d, b[i], now_us, out))
            continue;
        fresh(d, b[i], now_us, out);
    }
}

void keys_expire(KeyDecoder* d, int64_t now_us, std::vector<KeyEvent>* out)
{
    if (d->held_len == 0 || (now_us >= d->held_since && now_us - d->held_since < KEYS_ESC_WAIT_US))
        return;
    if (d->held[0] != ESC || d->overflow) {
        drop(d);
        return;
    }
    // Esc pressed on its own, or followed by '[' or 'O' typed slowly: the Esc key, then the rest as
    // typed characters.
    uint8_t rest[KEYS_HELD_MAX];
    const size_t n = d->held_len - 1;
    memcpy(rest, d->held + 1, n);
    drop(d);
    emit_key(out, KEY_ESC);
    keys_feed(d, rest, n, now_us, out);
}

int64_t keys_deadline(const KeyDecoder* d)
{
    return d->held_len > 0 ? d->held_since + KEYS_ESC_WAIT_US : -1;
}

long keys_read(int fd, KeyDecoder* d, int64_t now_us, std::vector<KeyEvent>* out)
{
    uint8_t buf[4096];
    long total = 0;
    while (static_cast<size_t>(total) < KEYS_READ_MAX) {
        pollfd p{fd, POLLIN, 0};
        const int r = poll(&p, 1, 0);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (total == 0)
                return -1;
            break;
        }
        keys_feed(d, buf, static_cast<size_t>(n), now_us, out);
        total += n;
    }
    keys_expire(d, now_us, out);
    return total;
}
