#include "foundation/utf8.hpp"

#include <cstring>

namespace {

struct Range {
    uint32_t lo, hi;
};

// Zero cells: combining diacritical marks (general, Cyrillic, Hebrew, Arabic, Devanagari, Thai,
// the extended and supplement blocks, for symbols, half marks), Hangul medial vowels and final
// consonants, zero-width space and joiners, word joiners,
// ideographic tone marks, kana voicing marks, variation selectors, the byte order mark and tags.
// Checked before the wide table, which some of these lie inside.
constexpr Range ZERO[] = {
    {0x0300, 0x036F},   {0x0483, 0x0489},   {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5},   {0x05C7, 0x05C7},   {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x06D6, 0x06DC},   {0x06DF, 0x06E4},   {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0900, 0x0902},
    {0x093A, 0x093A},   {0x093C, 0x093C},   {0x0941, 0x0948}, {0x094D, 0x094D}, {0x0951, 0x0957},
    {0x0962, 0x0963},   {0x0E31, 0x0E31},   {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1160, 0x11FF},
    {0x1AB0, 0x1AFF},   {0x1DC0, 0x1DFF},   {0x200B, 0x200D}, {0x2060, 0x2064}, {0x20D0, 0x20FF},
    {0x302A, 0x302D},   {0x3099, 0x309A},   {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF},
    {0xE0000, 0xE007F}, {0xE0100, 0xE01EF},
};

// Two cells: Hangul initial consonants, the emoji that terminals draw wide (watch, hourglass,
// zodiac, check marks, stars...), CJK radicals, punctuation, kana, Bopomofo, Hangul compatibility
// letters, enclosed and compatibility CJK, the CJK ideographs and their extensions, Yi, Hangul
// syllables, vertical and small forms, fullwidth forms, Tangut and kana supplements, and the
// pictograph, emoticon, transport and supplemental symbol blocks.
constexpr Range WIDE[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},
    {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},   {0x267F, 0x267F},
    {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},
    {0x26CE, 0x26CE},   {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},
    {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},   {0x2757, 0x2757},   {0x2795, 0x2797},
    {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},
    {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},
    {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18AFF}, {0x1B000, 0x1B2FF},
    {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251},
    {0x1F300, 0x1F64F}, {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB}, {0x1F900, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

// Bidirectional controls: Arabic letter mark, LRM and RLM, embeddings and overrides, isolates.
constexpr Range BIDI[] = {{0x061C, 0x061C}, {0x200E, 0x200F}, {0x202A, 0x202E}, {0x2066, 0x2069}};

// Format characters and others that show nothing (the controls are tested apart).
constexpr Range INVISIBLE[] = {
    {0x00AD, 0x00AD}, {0x034F, 0x034F},   {0x115F, 0x1160},   {0x17B4, 0x17B5},
    {0x180B, 0x180F}, {0x200B, 0x200D},   {0x2028, 0x2029},   {0x2060, 0x2065},
    {0x206A, 0x206F}, {0x3164, 0x3164},   {0xFEFF, 0xFEFF},   {0xFFA0, 0xFFA0},
    {0xFFF9, 0xFFFB}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0000, 0xE007F},
};

template <size_t N>
bool in(const Range (&table)[N], uint32_t cp)
{
    size_t lo = 0, hi = N;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (cp < table[mid].lo)
            hi = mid;
        else if (cp > table[mid].hi)
            lo = mid + 1;
        else
            return true;
    }
    return false;
}

// Length the lead byte at s announces (2..4) when the bytes present (at most n) can still be that
// character; 0 when they cannot.
size_t announced(const uint8_t* s, size_t n)
{
    const uint8_t c = s[0];
    size_t len;
    uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;  // overlong
        else if (c == 0xED)
            hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;  // overlong
        else if (c == 0xF4)
            hi = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (n > 1 && (s[1] < lo || s[1] > hi))
        return 0;
    for (size_t i = 2; i < len && i < n; i++)
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    return len;
}

// Bytes and cells of the unit at s[0..n): a character, or a single byte that is not part of one.
size_t unit(const char* s, size_t n, size_t* cells)
{
    const auto c = static_cast<uint8_t>(s[0]);
    if (c < 0x80) {
        *cells = 1;
        return 1;
    }
    const size_t len = jx_utf8_len(s, n);
    if (len == 0) {
        *cells = 1;
        return 1;
    }
    *cells = static_cast<size_t>(jx_char_cells(jx_utf8_decode(s, len)));
    return len;
}

}  // namespace

size_t jx_utf8_len(const char* s, size_t n)
{
    if (n == 0)
        return 0;
    const auto* u = reinterpret_cast<const uint8_t*>(s);
    if (u[0] < 0x80)
        return 1;
    const size_t len = announced(u, n);
    return len != 0 && n >= len ? len : 0;
}

bool jx_utf8_incomplete(const char* s, size_t n)
{
    const size_t len = n > 0 ? announced(reinterpret_cast<const uint8_t*>(s), n) : 0;
    return len != 0 && n < len;
}

size_t jx_utf8_last_len(const char* s, size_t n)
{
    if (n == 0)
        return 0;
    size_t i = n - 1;
    // Back over at most three continuation bytes to the lead byte.
    while (i > 0 && n - i < 4 && (static_cast<uint8_t>(s[i]) & 0xC0) == 0x80)
        i--;
    return jx_utf8_len(s + i, n - i) == n - i ? n - i : 1;
}

uint32_t jx_utf8_decode(const char* s, size_t len)
{
    const auto* u = reinterpret_cast<const uint8_t*>(s);
    static const uint8_t lead_mask[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    uint32_t cp = u[0] & lead_mask[len < 5 ? len : 1];
    for (size_t i = 1; i < len; i++)
        cp = (cp << 6) | (u[i] & 0x3Fu);
    return cp;
}

bool jx_char_is_control(uint32_t cp)
{
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || in(BIDI, cp);
}

bool jx_char_is_invisible(uint32_t cp)
{
    return jx_char_is_control(cp) || in(INVISIBLE, cp);
}

int jx_char_cells(uint32_t cp)
{
    if (cp < 0x300 || in(BIDI, cp))
        return 1;
    if (in(ZERO, cp))
        return 0;
    return in(WIDE, cp) ? 2 : 1;
}

size_t jx_str_cells(const char* s, size_t n)
{
    const size_t end = strnlen(s, n);
    size_t total = 0;
    for (size_t i = 0; i < end;) {
        size_t c = 0;
        i += unit(s + i, end - i, &c);
        total += c;
    }
    return total;
}

size_t jx_str_head(const char* s, size_t n, size_t max, size_t* cells)
{
    const size_t end = strnlen(s, n);
    size_t i = 0, used = 0;
    while (i < end) {
        size_t c = 0;
        const size_t len = unit(s + i, end - i, &c);
        if (used + c > max)
            break;
        used += c;
        i += len;
    }
    if (cells != nullptr)
        *cells = used;
    return i;
}

size_t jx_str_tail(const char* s, size_t n, size_t max, size_t* cells)
{
    const size_t end = strnlen(s, n);
    size_t left = jx_str_cells(s, end);
    size_t i = 0;
    // Drop characters from the front until the rest fits, then the marks of the last one dropped.
    while (i < end) {
        size_t c = 0;
        const size_t len = unit(s + i, end - i, &c);
        if (left <= max && c != 0)
            break;
        left -= c;
        i += len;
    }
    if (cells != nullptr)
        *cells = left;
    return i;
}
