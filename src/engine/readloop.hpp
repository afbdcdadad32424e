// readloop: receiving. The classic turn's share on the network (about 10 ms of waiting on the
// three sockets, longer while the engine is idle, at most one datagram per readable socket per
// pass) and the rate-based turn's draining of a socket in batches; each datagram goes to the
// dispatcher.
// May call: foundation (log, timer), engine context/dispatcher, the socket interface.
#pragma once

#include <cstdint>

// Time the receive loop gives the network per turn, in microseconds.
inline constexpr int64_t JX_READ_BUDGET_US = 10000;
// The longest an idle turn waits (jx_turn_wait_us): every whole second gets a turn however far
// the next timed step is.
inline constexpr int64_t JX_IDLE_WAIT_MAX_US = 1000000;

// One turn's receiving: waits on the sockets for the budget, taking datagrams as they come. With
// wait_us beyond the budget (nothing due for that long) it waits on past the budget until wait_us
// is over, a datagram has been taken, or wake_fd (-1: none) is readable; wake_fd is only watched,
// never read. A signal ends the turn early. 0, or 1 after a select failure (comm.running is then 0).
[[nodiscard]] uint8_t jx_read_loop(int64_t wait_us = JX_READ_BUDGET_US, int wake_fd = -1);

// Takes up to `most` datagrams waiting on `sock` without waiting for more (recvmmsg, in batches)
// and hands each to the dispatcher. The number taken.
uint32_t jx_drain_socket(int sock, uint32_t most);

// Receives one datagram from `sock` into comm.rcv_buf (zeroed first), comm.rcv_from and
// comm.rcv_len. 0, or 1 on a receive error (logged; rcv_len is then 1470).
uint8_t recv_udp(int sock);
