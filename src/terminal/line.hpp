// line: the input line typed on the prompt row (ctx.input) and its cursor (ctx.input_back):
// characters go in at the cursor, Backspace and the cursor keys take whole characters, Ctrl-U
// deletes to the start of the line and Ctrl-W the word before the cursor.
// Owns nothing; calls ctx and foundation (utf8).
#pragma once

#include <cstddef>
#include <cstdint>

struct TermData;

// Inserts one character of len bytes at the cursor. False when the line cannot take it whole
// (it holds at most TERM_INPUT_MAX bytes); the line is then unchanged.
bool line_insert(TermData* t, const char* ch, size_t len);
// Applies an editing key (KEY_BACKSPACE, KEY_LEFT, KEY_RIGHT, KEY_HOME, KEY_END, KEY_CTRL_U,
// KEY_CTRL_W); false for any other key, which changes nothing.
bool line_edit(TermData* t, uint8_t key);
// Empties the line; the cursor goes to its end.
void line_clear(TermData* t);
// Byte offset of the cursor in the line (at most its length).
size_t line_cursor(const TermData* t);
