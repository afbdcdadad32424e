// keys: turns the bytes a terminal sends into keys and typed characters, in order, however many
// arrive in one read and however a sequence is split across reads. Escape sequences are looked up
// in one table. A lone Esc can only be told from the start of a sequence by time: it counts once
// nothing followed it for KEYS_ESC_WAIT_US on the clock the caller passes in, so a test can drive
// that rule without waiting.
// Owns no global state; calls foundation (utf8) and, in keys_read, read and poll.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Key codes left in ctx.key for the screens. 19..22 are never produced; from 24 on, keys that edit
// the input line or ask to quit.
enum : uint8_t {
    KEY_NONE = 0,
    KEY_ESC = 1,
    KEY_ENTER = 2,
    KEY_TAB = 3,
    KEY_PGUP = 4,
    KEY_PGDN = 5,
    KEY_DEL = 6,
    KEY_UP = 7,
    KEY_DOWN = 8,
    KEY_LEFT = 9,
    KEY_RIGHT = 10,
    KEY_F1 = 11,
    KEY_F2 = 12,
    KEY_F3 = 13,
    KEY_F4 = 14,
    KEY_F5 = 15,
    KEY_F6 = 16,
    KEY_F7 = 17,
    KEY_F8 = 18,
    KEY_CTRL_T = 23,
    KEY_HOME = 24,
    KEY_END = 25,
    KEY_BACKSPACE = 26,
    KEY_CTRL_C = 27,
    KEY_CTRL_U = 28,
    KEY_CTRL_W = 29,
};

// How long an Esc waits for the rest of a sequence; terminals send a sequence in one write, so
// only a key pressed on its own waits this long.
inline constexpr int64_t KEYS_ESC_WAIT_US = 50000;
// The longest sequence kept; the bytes of a longer one are dropped up to its end.
inline constexpr size_t KEYS_HELD_MAX = 16;
// At most this much is read per turn, so a huge paste cannot hold up the network.
inline constexpr size_t KEYS_READ_MAX = 65536;

// One thing typed: a key, or (key KEY_NONE) one well-formed character of 1..4 bytes.
struct KeyEvent {
    uint8_t key;
    uint8_t len;
    char ch[4];
};

struct KeyDecoder {
    uint8_t held[KEYS_HELD_MAX];  // an escape sequence or a character not complete yet
    size_t held_len;
    bool overflow;       // the held sequence outgrew held: dropped when it ends
    int64_t held_since;  // clock reading when the first held byte came
    bool after_cr;       // the last byte was CR: an LF right after it belongs to the same Enter
};

// Decodes n bytes that came at now_us, appending each complete key or character to out.
void keys_feed(KeyDecoder* d, const uint8_t* b, size_t n, int64_t now_us, std::vector<KeyEvent>* out);
// Once held bytes have waited KEYS_ESC_WAIT_US (or the clock went back): an Esc, and the bytes after
// it decoded on their own; a character cut short is dropped.
void keys_expire(KeyDecoder* d, int64_t now_us, std::vector<KeyEvent>* out);
// The clock reading at which held bytes expire; -1 when nothing is held.
int64_t keys_deadline(const KeyDecoder* d);
// Reads what fd has without waiting (at most KEYS_READ_MAX bytes) and decodes it at now_us; then
// expires what waited long enough. The bytes read, or -1 when fd is at its end or failed.
long keys_read(int fd, KeyDecoder* d, int64_t now_us, std::vector<KeyEvent>* out);
