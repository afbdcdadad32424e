#include "engine/readloop.hpp"

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "engine/context.hpp"
#include "engine/dispatcher.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"

namespace {

// A failed select would otherwise return at once every turn and spin the main loop: the turn still
// takes its budget.
void wait_out_turn(int64_t start)
{
    const int64_t left = JX_READ_BUDGET_US - (jx_clock_now_us() - start);
    if (left > 0 && left <= JX_READ_BUDGET_US) {
        timeval wait{0, static_cast<suseconds_t>(left)};
        select(0, nullptr, nullptr, nullptr, &wait);
    }
}

}  // namespace

uint8_t recv_udp(int sock)
{
    std::memset(comm.rcv_buf, 0, sizeof(comm.rcv_buf));
    socklen_t from_len = sizeof(comm.rcv_from);
    // A longer datagram is cut to the buffer; its declared length then fails the decoder's checks.
    const ssize_t n = recvfrom(sock, comm.rcv_buf, sizeof(comm.rcv_buf), 0,
                               reinterpret_cast<sockaddr*>(&comm.rcv_from), &from_len);
    if (n < 0) {
        const int err = errno;
        jx_log("Error receiving: %d", err);
        jx_log_errno(err);
        comm.rcv_len = static_cast<int32_t>(sizeof(comm.rcv_buf));
        return 1;
    }
    comm.rcv_len = static_cast<int32_t>(n);
    return 0;
}

uint32_t jx_drain_socket(int sock, uint32_t most)
{
    // One system call takes up to a batch; each datagram then goes through comm.rcv_buf exactly as
    // one taken by recv_udp (zero-filled beyond what arrived) to the dispatcher.
    constexpr uint32_t BATCH = 64;
    static uint8_t bufs[BATCH][JX_DATAGRAM_MAX];
    static sockaddr_in from[BATCH];
    static iovec iov[BATCH];
    static mmsghdr msgs[BATCH];
    uint32_t taken = 0;
    while (taken < most) {
        const uint32_t want = std::min(BATCH, most - taken);
        for (uint32_t i = 0; i < want; i++) {
            iov[i] = {bufs[i], sizeof bufs[i]};
            msgs[i] = mmsghdr{};
            msgs[i].msg_hdr.msg_name = &from[i];
            msgs[i].msg_hdr.msg_namelen = sizeof from[i];
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        const int got = recvmmsg(sock, msgs, want, MSG_DONTWAIT, nullptr);
        if (got <= 0) {
            if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                const int err = errno;
                jx_log("Error receiving: %d", err);
                jx_log_errno(err);
            }
            break;
        }
        for (int i = 0; i < got; i++) {
            const size_t n = std::min<size_t>(msgs[i].msg_len, sizeof comm.rcv_buf);
            std::memcpy(comm.rcv_buf, bufs[i], n);
            std::memset(comm.rcv_buf + n, 0, sizeof comm.rcv_buf - n);
            comm.rcv_from = from[i];
            comm.rcv_len = static_cast<int32_t>(n);
            jx_process_udp();
        }
        taken += static_cast<uint32_t>(got);
        if (static_cast<uint32_t>(got) < want)
            break;
    }
    return taken;
}

uint8_t jx_read_loop(int64_t wait_us, int wake_fd)
{
    const int64_t start = jx_clock_now_us();
    const int socks[3] = {comm.rcv_sock, comm.snd_sock, comm.data_sock};
    const int max_sock = std::max({socks[0], socks[1], socks[2]});
    if (max_sock < 0 || max_sock >= FD_SETSIZE) {
        wait_out_turn(start);
        return 1;
    }
    if (wake_fd >= FD_SETSIZE)
        wake_fd = -1;

    // Each select waits for the rest of the turn instead of polling in short slices: an idle turn
    // costs one wake-up, and a datagram still wakes us at once. Past the budget the turn only goes
    // on while nothing happens, so whatever woke us is acted on in this turn.
    int64_t limit = std::max(wait_us, JX_READ_BUDGET_US);
    int64_t spent = 0;
    while (spent < limit) {
        fd_set readable;
        FD_ZERO(&readable);
        for (int s : socks) {
            if (s >= 0)
                FD_SET(s, &readable);
        }
        if (wake_fd >= 0)
            FD_SET(wake_fd, &readable);
        const int64_t wait = limit - spent;
        timeval tv{static_cast<time_t>(wait / 1000000), static_cast<suseconds_t>(wait % 1000000)};
        const int ready = select(std::max(max_sock, wake_fd) + 1, &readable, nullptr, nullptr, &tv);
        if (ready < 0) {
            // A signal is no failure of the sockets; it only ends this turn early.
            if (errno == EINTR)
                return 0;
            const int err = errno;
            jx_log("Select failed - %d in jx_read_loop", err);
            jx_log_errno(err);
            comm.running = 0;
            wait_out_turn(start);
            return 1;
        }
        bool woken = false;
        if (wake_fd >= 0 && FD_ISSET(wake_fd, &readable)) {
            wake_fd = -1;  // it stays readable until its owner reads it after this turn
            woken = true;
        }
        // One datagram per readable socket per pass, so three busy sockets are served in turn.
        for (int s : socks) {
            if (s >= 0 && FD_ISSET(s, &readable)) {
                woken = true;
                if (recv_udp(s) == 0)
                    jx_process_udp();
            }
        }
        if (woken)
            limit = JX_READ_BUDGET_US;
        spent = jx_clock_now_us() - start;
    }
    return 0;
}
