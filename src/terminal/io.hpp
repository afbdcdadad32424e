// io: the terminal's raw mode, the prompt row and the drawing pieces every screen shares (title
// bar, key bar, list scrolling, transfer labels).
// Owns the output buffer that every drawing goes through and orig_termios.
// Calls ctx, line (the cursor), state (which screen is shown), the engine context (own
// username, registry for peer names), cli host (events for the control socket's jobs) and log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct TermData;

// Smallest usable window; below it only a warning is drawn.
inline constexpr int32_t IO_MIN_W = 50;
inline constexpr int32_t IO_MIN_H = 10;

// Colours.
#define IO_RESET "\x1b[0m"
#define IO_GREEN "\x1b[0;32m"
#define IO_RED "\x1b[0;31m"
#define IO_YELLOW "\x1b[0;33m"
#define IO_MAGENTA "\x1b[0;35m"
#define IO_CYAN "\x1b[0;36m"
#define IO_BRED "\x1b[0;91m"
#define IO_BWHITE "\x1b[0;97m"
#define IO_BAR "\x1b[0;30m\x1b[42m"   // black on green
#define IO_FKEY "\x1b[0;32m\x1b[40m"  // green on black
#define IO_SEL "\x1b[0;30m\x1b[45m"   // black on magenta

// --- Raw mode ----------------------------------------------------------------------------------
// Saves the attributes of standard input, registers io_mode_reset with atexit, enters raw mode and
// the alternate screen, so the shell's screen and scrollback come back as they were at the end.
// Does nothing when standard input is not a terminal.
void io_set_conio_mode();
// Leaves the alternate screen and puts the saved attributes back; safe to call more than once, and
// before io_set_conio_mode.
void io_mode_reset();

// --- Output ------------------------------------------------------------------------------------
// Everything drawn is gathered here and written to standard output in one go by io_flush, so a
// full redraw never flickers. While a capture is active the bytes go to the capture instead.
void io_write(const char* s, size_t n);
void io_puts(const char* s);
void io_printf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void io_flush();
// Tests read what the program draws through a capture.
void io_capture_begin();
std::string io_capture_end();

// Text that came from outside (user names, file names, texts): control bytes and bytes that are
// not part of valid UTF-8 become '?', so nothing in it can act as an escape sequence. One output
// byte per input byte that is replaced, so column widths of ASCII text are kept.
// io_safe returns at most n bytes of s (up to its NUL) cleaned by jx_str_sanitize.
std::string io_safe(const char* s, size_t n);
// Writes at most n bytes of s (up to its NUL) cleaned the same way.
void io_write_untrusted(const char* s, size_t n);
// s right-aligned in c terminal cells (wide characters take two, combining marks none), as
// "%*s" would do for ASCII; a wider s is kept whole.
std::string io_rjust(const std::string& s, int c);

// --- Common drawing ---------------------------------------------------------------------------
// Clears the screen. Queued in the output buffer (no child process), so it reaches the terminal
// in the same write as the drawing that follows; whatever was queued before it would be wiped
// anyway and is dropped, so keys handled one after another in a turn cost one drawing (the turn
// flushes once, at its end).
void io_clear();
// 0 when the window is at least 50x10. Otherwise 1, and the size warning is drawn when it is not
// on screen already for this size, so a small idle window costs no output either.
int io_check_min_size();
// Queues the prompt row when ctx.prompt_redraw is set: the quit question, an error, or the user
// name and the input line with the cursor in it. The turn's io_flush writes it out.
void io_prompt();
void io_color(const char* seq);
// A black-on-green row holding title, filled out to the window's width (the title is measured
// here, in terminal cells).
void io_top_bar_title(const char* title);
// The function-key row; asks for the prompt row to be drawn after it.
void io_key_bar();
// n empty rows.
void io_empty_lines(int n);
// Moves ctx.list_offset so that the 1-based row sel (0: none) is among the rows shown.
void io_compute_list_offset(uint16_t sel, uint16_t rows);
// Label of a finished transfer state. Static buffer, overwritten by the next call.
const char* io_fin_state_str(uint8_t fin_state);

// --- Engine events (events.cpp) ------------------------------------------------------------------
// Clears ctx.refresh, then drains the engine's event queue, handing each event to the jobs of the
// control socket's clients (cli_host_event) and freeing every payload and record.
void io_proc_event();
// The user name of a network's peer as it sent it (untrusted), or its dotted address when the peer
// is not known.
std::string io_peer_name(uint32_t net_addr, uint32_t peer_addr);
