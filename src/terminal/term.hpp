// term: the terminal's spine: window size, the main loop (which also serves the control socket
// through cli host) and the keys' way to the screens, and telling the user why a start failed.
// Calls the engine's public operations, storage (root search), foundation (the port probe), cli
// host, ctx, io, keys, line, cmd and state_machine.
#pragma once

#include <cstdio>
#include <vector>

struct KeyEvent;

// Reads the window size of standard input into ctx; leaves it unchanged when that fails.
void term_get_size();
// Reads the size again; true (and ctx.refresh set) when it changed.
bool term_size_check();
// Runs the main loop until the screen state becomes STATE_EXIT.
void term_loop();
// The screen's share of a turn, after the engine's: what was typed is taken in order, characters
// and line edits into the input line, and every key gets a screen update, state change and
// drawing of its own (one pass without a key when nothing was typed), so keys that came together
// act as if pressed one by one. Stops once the program is to end.
void term_keys_turn(const std::vector<KeyEvent>& typed);
// The terminal's share of a main-loop turn, after the engine's (jx_engine_turn): the engine's
// events, a full redraw when the window was resized, the keys through the screens, and what was
// drawn written out.
void term_turn(const std::vector<KeyEvent>& typed, bool resized);
// After a failed engine start: one line naming the cause in plain words, written to out: no
// storage root, or one whose jx_internal/ cannot be written (with where it was looked for); the
// root held by another process (which, on which host); msg/ or downloads/ that cannot be made or
// written; a UDP port in use.
void term_explain_start_failure(const char* argv0, FILE* out);
