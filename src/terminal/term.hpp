// term: the terminal's spine: window size, the saved username, the main loop, and telling the
// user why a start failed. Calls the engine's public operations, storage (root search, config),
// ctx, io and state_machine.
#pragma once

#include <cstdio>

// Reads the window size of standard input into ctx; leaves it unchanged when that fails.
void term_get_size();
// Reads the size again and sets ctx.refresh when it changed.
void term_size_check();
// Loads the saved username into the engine; a missing or empty one keeps the generated name.
void term_load_cfg();
// Runs the main loop until the screen state becomes STATE_EXIT.
void term_loop();
// After a failed engine start: one line naming the cause in plain words, written to out: no
// storage root, or one whose jx_internal/ cannot be written (with where it was looked for); the
// root held by another process (which, on which host); msg/ or downloads/ that cannot be made or
// written; a UDP port in use.
void term_explain_start_failure(const char* argv0, FILE* out);
