// utility: string search and trimming, rendering of byte counts, durations and clock times,
// hex dumps, random identifiers and the default user name.
// Owns only jx_format_time's static buffer; calls timer (for the current time), utf8 and random.
// Nothing here allocates; every output buffer is the caller's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

// Index of the n-th occurrence of c among s[i] .. end of s; -1 when there are fewer, when i is
// outside the string, or when n < 1.
int32_t jx_find_n_char(const char* s, char c, int32_t n, int32_t i);
// Scans b[hi] down to b[lo] (both included; b need not be NUL-terminated) for the n-th c;
// -1 when hi < lo, lo < 0, there are fewer, or n < 1.
int32_t jx_find_n_char_r(const char* b, char c, int32_t n, int32_t lo, int32_t hi);

// In-place trimming with the set a, or tab, LF, VT, FF, CR and space when a is null.
// Each returns s.
char* jx_rtrim(char* s, const char* a);
char* jx_ltrim(char* s, const char* a);
char* jx_trim(char* s, const char* a);

// "%.2fGB" / "%.2fMB" / "%.2fKB" above 1e9 / 1e6 / 1000 (strictly), else "%lluB"; units of 1000.
// The whole buffer is cleared first; the text is cut to size - 1 characters.
void jx_bytes_to_human(uint64_t n, char* out, size_t size);

// Buffer size that holds any jx_sec_to_eta text (58 characters and the terminator).
inline constexpr size_t JX_ETA_SIZE = 59;
// A duration in words ("2 hours 2 minutes 2 seconds"; "less then a second" for 0; empty when
// negative). Writes at most size bytes.
void jx_sec_to_eta(int64_t seconds, char* out, size_t size = JX_ETA_SIZE);

// "HH:MM:SS" in local time of *t, or of the clock seam's now when t is null. Returns a static
// buffer that the next call overwrites.
const char* jx_format_time(const time_t* t);

// Two lower-case hex digits per byte, no separators. The buffer is cleared first and needs
// 2n + 1 bytes; only whole bytes that fit are written.
void jx_bytes_to_string(const uint8_t* bytes, size_t n, char* out, size_t size);

// Copies at most n bytes of s (up to its NUL) for display, each control character (C0, DEL, C1,
// bidirectional controls: jx_char_is_control) and byte of invalid UTF-8 replaced by one '?': text from other hosts or the environment never reaches a
// terminal as an escape sequence. Writes at most out_size - 1 bytes and a terminator, never a cut
// character; returns the length written.
size_t jx_str_sanitize(const char* s, size_t n, char* out, size_t out_size);

// Ids come from the system's random source (the default; undoes a repeatable sequence, see random).
void jx_random_seed();
// n random bytes of 0..254, the values a transfer id's bytes take.
void jx_random_bytes(uint8_t* buf, size_t n);
// n characters from '0'-'8', 'a'-'y', 'A'-'Y' and a terminator at index n (buf holds n + 1 bytes).
char* jx_random_str(char* buf, size_t n);
// "jexley" followed by random digits up to index z - 2, terminated at z - 1 (z = 16 gives nine
// digits, the header's 15-character user name). A z too small for the prefix keeps what fits.
void jx_generate_random_username(char* buf, size_t z);
