// turn: one turn of the engine, the same for the program, the screenless driver and the tests:
// wait until something is due, take in what arrived, send what the pacing allows, run the
// periodic pass when it is due. The caller then does its own share (keys, commands, events,
// drawing) and comes back for the next turn.
// May call: foundation (timer, log), engine context/crons/pacing/readloop/upload_passes, the socket
// interface.
#pragma once

#include <cstdint>

// Rate-based pacing: datagrams taken from the data socket in one turn, and from each of the
// others. A full-speed transfer thus still hands the turn back within a millisecond or so, for
// the keyboard, the screen and the other sockets.
inline constexpr uint32_t JX_DRAIN_DATA = 256;
inline constexpr uint32_t JX_DRAIN_OTHER = 32;

// One turn. It waits until the first of: a datagram, wake_fd readable (-1: none; only watched,
// never read), a pacing deadline, the periodic pass being due, a signal, or max_wait_us (-1: no
// limit of the caller's). Classic pacing keeps the original turn: the receive loop's ~10 ms
// (longer while nothing is due), then the periodic pass. 0, or 1 after a failed wait
// (comm.running is then 0).
[[nodiscard]] uint8_t jx_engine_turn(int wake_fd, int64_t max_wait_us);
