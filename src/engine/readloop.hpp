// readloop: the engine's share of each main-loop turn on the network: about 10 ms of waiting on
// the three sockets, taking at most one datagram per readable socket per pass and handing each to
// the dispatcher.
// May call: foundation (log, timer), engine comm/processors, the socket interface.
#pragma once

#include <cstdint>

// Time the receive loop gives the network per turn, in microseconds.
inline constexpr int64_t JX_READ_BUDGET_US = 10000;

// 0, or 1 after a select failure (comm.running is then 0).
[[nodiscard]] uint8_t jx_read_loop();

// Receives one datagram from `sock` into comm.rcv_buf (zeroed first), comm.rcv_from and
// comm.rcv_len. 0, or 1 on a receive error (logged; rcv_len is then 1470).
uint8_t recv_udp(int sock);
