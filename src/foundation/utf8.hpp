// utf8: well-formed UTF-8 characters and how many terminal cells text takes, so that screens pad
// and cut names and texts by what the user sees, not by bytes. No external library: the width
// table in utf8.cpp covers the common ranges (combining marks and zero-width characters take 0
// cells, East Asian wide and fullwidth characters and the emoji blocks take 2, the rest 1).
// Owns nothing; calls nothing outside the C library.
#pragma once

#include <cstddef>
#include <cstdint>

// Length (1..4) of the well-formed character at s, n bytes available; 0 when the bytes there are
// not one: a stray continuation byte, an overlong form, a surrogate, above U+10FFFF, or cut short.
size_t jx_utf8_len(const char* s, size_t n);
// 1 when s[0..n) (n >= 1) is the start of a multi-byte character that more bytes would complete.
bool jx_utf8_incomplete(const char* s, size_t n);
// Bytes of the last character of s[0..n): a lead byte and its continuation bytes; 0 when n is 0.
size_t jx_utf8_last_len(const char* s, size_t n);
// Code point of the well-formed character of len bytes at s.
uint32_t jx_utf8_decode(const char* s, size_t len);

// Code points a terminal may act on instead of showing: C0 controls, DEL, C1 controls, and the
// bidirectional marks, embeddings, overrides and isolates (U+061C, U+200E, U+200F, U+202A-U+202E,
// U+2066-U+2069) that make text read in another order or misalign a column. Shown as '?'.
bool jx_char_is_control(uint32_t cp);
// The controls and every other character that shows nothing or breaks a line: soft hyphen,
// zero-width spaces and joiners, line and paragraph separators, invisible operators, fillers,
// the byte order mark, interlinear annotations, tags. Never part of a name the program stores.
bool jx_char_is_invisible(uint32_t cp);

// Cells code point cp takes: 0 for combining marks and zero-width characters, 2 for East Asian
// wide and fullwidth characters, 1 for the rest (controls too: they are shown as '?').
int jx_char_cells(uint32_t cp);
// Cells of s[0..n) up to its NUL. A byte that is not part of a well-formed character counts one
// cell, as the '?' the sanitizer shows for it; so do control bytes.
size_t jx_str_cells(const char* s, size_t n);
// Bytes of the longest start of s[0..n) (up to its NUL) that takes at most max cells; it never
// ends inside a character, and zero-width marks after its last character stay with it. *cells,
// when not null, gets the cells it takes (one less than max when a wide character did not fit).
size_t jx_str_head(const char* s, size_t n, size_t max, size_t* cells);
// Start index of the longest end of s[0..n) (up to its NUL) that takes at most max cells; it
// never begins inside a character or with a zero-width mark. *cells as for jx_str_head.
size_t jx_str_tail(const char* s, size_t n, size_t max, size_t* cells);
