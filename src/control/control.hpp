// control: the Unix-domain socket jx_internal/control through which a second Jexley on the same
// storage root asks the one that holds the root to do its work. Owns the socket's place and
// safety: made by the holder of the root only (a stale socket of this user is replaced, nothing
// else is), mode 0600, bound and reached through the root's open jx_internal directory (so a
// root path too long for a socket address still works, and nothing is reached through a link),
// the peer's credentials checked on both sides (the same user only), and the framing: one line
// per message, at most CTL_LINE_MAX bytes. What the lines say is message.hpp's.
// May call: foundation (log), storage (fso: the root's directories), the socket interface.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A request holds paths and texts; a line longer than this is refused, not buffered.
inline constexpr size_t CTL_LINE_MAX = 65536;
// What a server keeps for a client that does not read (a stopped watch): beyond it the client is
// dropped rather than the program's memory grown.
inline constexpr size_t CTL_OUT_MAX = 1 << 20;
inline constexpr size_t CTL_WHY_SIZE = 256;
inline constexpr int64_t CTL_LINGER_US = 2000000;

// Makes the listening socket jx_internal/control (non-blocking, close-on-exec). The caller holds
// the root's lock, so a socket of this user found there is a stale one and is removed; anything
// else there (a link, a file, another user's socket) is left and refused. The socket, or -1 with
// why.
int ctl_listen(char* why, size_t n);
// Closes the listening socket and removes jx_internal/control when it is still the one made by
// ctl_listen (a name replaced meanwhile is left alone).
void ctl_unlisten(int fd);

// One connection with its unread input and unwritten output.
struct CtlConn {
    int fd = -1;
    std::string in;
    std::string out;
    bool eof = false;        // the other side closed, or the connection failed
    int64_t closing_us = 0;  // when it was half-closed; 0 while open
};

// Connects to the root's jx_internal/control (which must be a socket of this user) and checks
// that the server is this user too. The descriptor (blocking), or -1 with why and the errno in
// *err.
int ctl_connect(char* why, size_t n, int* err);

// Takes one waiting connection (non-blocking); -1 when none waits. Another user's comes back
// with *refused set and the refusal (a message line and exit status 3) queued on *c: the caller
// writes it, reads nothing from it, and closes it as any other (ctl_close).
int ctl_accept(int listen_fd, CtlConn* c, bool* refused);
// Reads what is there (non-blocking) and moves each complete line, without its newline, to lines.
// 0; 1 when the connection ended (eof set); 2 when a line is longer than CTL_LINE_MAX (the
// connection is unusable and eof is set).
uint8_t ctl_read(CtlConn* c, std::vector<std::string>* lines);
// Queues line (it ends in '\n') and writes what the socket takes now. false when more than
// CTL_OUT_MAX would stay queued or the connection failed (eof set).
bool ctl_send(CtlConn* c, const std::string& line);
// Writes more of the queue; false when the connection failed.
bool ctl_flush(CtlConn* c);
// Once everything queued is written: half-closes the connection, so the client reads to its end,
// and true when the connection may be closed now (the client closed its side, or gave no sign
// for CTL_LINGER_US since the half-close). Closing with its input unread would reset the
// connection and lose what was written last.
bool ctl_done(CtlConn* c, int64_t now_us);
