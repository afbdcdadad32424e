#include "foundation/utility.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "foundation/random.hpp"
#include "foundation/timer.hpp"
#include "foundation/utf8.hpp"

namespace {

const char k_default_trim[] = "\t\n\v\f\r ";

bool in_set(char ch, const char* set)
{
    // strchr would also find the terminator; a NUL is never a trim character.
    return ch != '\0' && std::strchr(set, ch) != nullptr;
}

}  // namespace

int32_t jx_find_n_char(const char* s, char c, int32_t n, int32_t i)
{
    if (n <= 0 || i < 0)
        return -1;
    const size_t len = std::strlen(s);
    if (static_cast<size_t>(i) >= len)
        return -1;
    int32_t seen = 0;
    for (size_t k = static_cast<size_t>(i); k < len; k++) {
        if (s[k] == c && ++seen == n)
            return static_cast<int32_t>(k);
    }
    return -1;
}

int32_t jx_find_n_char_r(const char* b, char c, int32_t n, int32_t lo, int32_t hi)
{
    if (n <= 0 || lo < 0 || hi < lo)
        return -1;
    int32_t seen = 0;
    for (int32_t k = hi; k >= lo; k--) {
        if (b[k] == c && ++seen == n)
            return k;
    }
    return -1;
}

char* jx_rtrim(char* s, const char* a)
{
    const char* set = a != nullptr ? a : k_default_trim;
    size_t len = std::strlen(s);
    while (len > 0 && in_set(s[len - 1], set))
        s[--len] = '\0';
    return s;
}

char* jx_ltrim(char* s, const char* a)
{
    const char* set = a != nullptr ? a : k_default_trim;
    size_t lead = 0;
    while (in_set(s[lead], set))
        lead++;
    if (lead > 0)
        std::memmove(s, s + lead, std::strlen(s + lead) + 1);
    return s;
}

char* jx_trim(char* s, const char* a)
{
    return jx_ltrim(jx_rtrim(s, a), a);
}

void jx_bytes_to_human(uint64_t n, char* out, size_t size)
{
    if (size == 0)
        return;
    std::memset(out, 0, size);
    if (n > 1000000000ULL)
        std::snprintf(out, size, "%.2fGB", static_cast<double>(n) / 1e9);
    else if (n > 1000000ULL)
        std::snprintf(out, size, "%.2fMB", static_cast<double>(n) / 1e6);
    else if (n > 1000ULL)
        std::snprintf(out, size, "%.2fKB", static_cast<double>(n) / 1000.0);
    else
        std::snprintf(out, size, "%lluB", static_cast<unsigned long long>(n));
}

void jx_sec_to_eta(int64_t seconds, char* out, size_t size)
{
    if (size == 0)
        return;
    if (seconds == 0) {
        std::snprintf(out, size, "%s", "less then a second");
        return;
    }

    const int64_t w = seconds / 604800;
    const int d = static_cast<int>((seconds % 604800) / 86400);
    const int h = static_cast<int>((seconds % 86400) / 3600);
    const int m = static_cast<int>((seconds % 3600) / 60);
    const int s = static_cast<int>(seconds % 60);

    // A negative duration fails every "above 0" test below and leaves all pieces empty.
    char week[40] = "";
    char day[24] = "";
    char hour[24] = "";
    char minute[24] = "";
    char second[24] = "";
    if (w > 0)
        std::snprintf(week, sizeof week, "%lld week%s", static_cast<long long>(w), w != 1 ? "s " : " ");
    if (w > 0 || d > 0)
        std::snprintf(day, sizeof day, "%d day%s", d, d > 1 ? "s " : " ");
    if (w > 0 || d > 0 || h > 0)
        std::snprintf(hour, sizeof hour, "%d hour%s", h, h > 1 ? "s " : " ");
    if (w > 0 || d > 0 || h > 0 || m > 0)
        std::snprintf(minute, sizeof minute, "%d minute%s", m, m > 1 ? "s " : " ");
    if (w > 0 || d > 0 || h > 0 || m > 0 || s > 0)
        std::snprintf(second, sizeof second, "%d second%s", s, s > 1 ? "s " : " ");

    char text[160];
    std::snprintf(text, sizeof text, "%s%s%s%s%s", week, day, hour, minute, second);
    jx_trim(text, nullptr);
    std::snprintf(out, size, "%s", text);
}

const char* jx_format_time(const time_t* t)
{
    static char buf[20];
    std::memset(buf, 0, sizeof buf);
    const time_t when = t != nullptr ? *t : static_cast<time_t>(jx_clock_now());
    struct tm parts {};
    if (localtime_r(&when, &parts) == nullptr)
        return buf;
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", parts.tm_hour, parts.tm_min, parts.tm_sec);
    return buf;
}

void jx_bytes_to_string(const uint8_t* bytes, size_t n, char* out, size_t size)
{
    static const char hex[] = "0123456789abcdef";
    if (size == 0)
        return;
    std::memset(out, 0, size);
    for (size_t i = 0; i < n && 2 * i + 2 < size; i++) {
        out[2 * i] = hex[bytes[i] >> 4];
        out[2 * i + 1] = hex[bytes[i] & 0x0F];
    }
}

size_t jx_str_sanitize(const char* s, size_t n, char* out, size_t out_size)
{
    if (out_size == 0)
        return 0;
    const auto* u = reinterpret_cast<const uint8_t*>(s);
    size_t end = strnlen(s, n);
    size_t i = 0, o = 0;
    while (i < end && o + 1 < out_size) {
        uint8_t c = u[i];
        if (c < 0x80) {
            out[o++] = (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
            i++;
            continue;
        }
        size_t len = jx_utf8_len(s + i, end - i);
        // C1 controls act as escape introducers on some terminals; bidi controls reorder what follows.
        if (len == 0 || jx_char_is_control(jx_utf8_decode(s + i, len))) {
            out[o++] = '?';
            i += len == 0 ? 1 : len;
            continue;
        }
        if (o + len >= out_size)
            break;
        memcpy(out + o, u + i, len);
        o += len;
        i += len;
    }
    out[o] = '\0';
    return o;
}

void jx_random_bytes(uint8_t* buf, size_t n)
{
    for (size_t i = 0; i < n; i++)
        buf[i] = static_cast<uint8_t>(jx_random_below(255));
}

void jx_random_seed()
{
    jx_random_repeatable(0);
}

char* jx_random_str(char* buf, size_t n)
{
    // '0'-'8', 'a'-'y', 'A'-'Y': the characters instance ids have always been made of.
    static const char alphabet[] = "012345678abcdefghijklmnopqrstuvwxyABCDEFGHIJKLMNOPQRSTUVWXY";
    for (size_t i = 0; i < n; i++)
        buf[i] = alphabet[jx_random_below(sizeof alphabet - 1)];
    buf[n] = '\0';
    return buf;
}

void jx_generate_random_username(char* buf, size_t z)
{
    static const char prefix[] = "jexley";
    if (z == 0)
        return;
    std::memset(buf, 0, z);
    size_t len = sizeof prefix - 1;
    if (len > z - 1)
        len = z - 1;
    std::memcpy(buf, prefix, len);
    for (size_t i = len; i + 1 < z; i++)
        buf[i] = static_cast<char>('0' + jx_random_below(10));
}
