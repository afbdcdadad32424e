// log: the program's single diagnostics file <logging dir>/log with one backup log1.
// Owns the globals log_path and logger; calls timer (clock seam for time stamps), utility (the
// sanitizer every message passes through), safe_file (every open, create and rename) and stdio.
// Entries made while no log is open are dropped silently.
#pragma once

#include <cstddef>
#include <cstdio>

inline constexpr size_t JX_LOG_PATH_SIZE = 1025;
// An entry that leaves the file larger than this rotates it into log1.
inline constexpr long JX_LOG_MAX_SIZE = 10000000;

// Full path of the log file; empty while no log was opened.
extern char log_path[JX_LOG_PATH_SIZE];
// The open log stream, or null before init, after close and after a failed rotation.
extern FILE* logger;

// Opens <dir>/log for appending, creating it (0600) when missing. 0 when open; 1 when the path is
// too long, opening failed, or the log is not a regular file of this user with one name (a link
// is never followed).
int jx_log_init(const char* dir);

// One line: "YY-MM-DD hh:mm:ss", TAB, the formatted message, CR LF; flushed at once.
void jx_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The text of an error number on a line of its own, "errno <n>: <strerror text>", logged right
// after a fixed line that gives the number alone.
void jx_log_errno(int err);

// Moves log to log1 (replacing an older backup, never writing through it) and starts an empty
// log. On failure logging stops for the rest of the run. jx_log calls it; exposed for tests.
void jx_log_rotate();

// Closes the log if open, clears logger and log_path; returns 0.
int jx_log_close();
