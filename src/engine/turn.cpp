#include "engine/turn.hpp"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>

#include "engine/context.hpp"
#include "engine/crons.hpp"
#include "engine/pacing.hpp"
#include "engine/readloop.hpp"
#include "engine/upload_passes.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"

namespace {

// The last periodic pass, monotonic microseconds.
int64_t last_pass_us = INT64_MIN / 2;

// What works on every turn of the original loop (a transfer, a verification) gets a pass every
// JX_REPEAT_US; time rules get one when their second comes; and every second gets one.
int64_t pass_due_us(int64_t now_us)
{
    const int64_t due = jx_next_due_us();
    const int64_t at = due == JX_DUE_NOW ? now_us : due == JX_DUE_NONE ? INT64_MAX : now_us + due;
    return std::max(last_pass_us + JX_REPEAT_US, std::min(at, last_pass_us + JX_IDLE_WAIT_MAX_US));
}

int64_t pacing_due_us()
{
    int64_t due = INT64_MAX;
    for (jx_list_elmt* el = jx_list_head(&comm.networks); el != nullptr; el = jx_list_next(el))
        due = std::min(due, jx_uploads_due_us(static_cast<const JXNetwork*>(jx_list_data(el))));
    return due;
}

uint8_t classic_turn(int wake_fd, int64_t max_wait_us)
{
    int64_t wait = jx_turn_wait_us();
    if (max_wait_us >= 0)
        wait = std::min(wait, max_wait_us);
    const uint8_t rc = jx_read_loop(wait, wake_fd);
    (void)jx_crons_run();
    return rc;
}

}  // namespace

uint8_t jx_engine_turn(int wake_fd, int64_t max_wait_us)
{
    if (jx_pacing_classic())
        return classic_turn(wake_fd, max_wait_us);
    int64_t now = jx_pacing_now_us();
    // A pass is never due sooner than JX_REPEAT_US after the last one: while sending keeps the
    // turns shorter than that, the walk over every network's peers for the next due rule is spared.
    int64_t until = pacing_due_us();
    if (until > last_pass_us + JX_REPEAT_US)
        until = std::min(until, pass_due_us(now));
    if (max_wait_us >= 0)
        until = std::min(until, now + max_wait_us);
    const int64_t wait = std::max<int64_t>(until - now, 0);
    pollfd fds[4] = {{comm.data_sock, POLLIN, 0}, {comm.rcv_sock, POLLIN, 0}, {comm.snd_sock, POLLIN, 0},
                     {wake_fd, POLLIN, 0}};
    const timespec ts{static_cast<time_t>(wait / 1000000), static_cast<long>(wait % 1000000) * 1000};
    const int ready = ppoll(fds, wake_fd >= 0 ? 4 : 3, &ts, nullptr);
    if (ready < 0 && errno != EINTR) {
        const int err = errno;
        jx_log("Select failed - %d in jx_read_loop", err);
        jx_log_errno(err);
        comm.running = 0;
        // A wait that fails at once every turn would spin the loop.
        const timespec pause{0, JX_READ_BUDGET_US * 1000};
        nanosleep(&pause, nullptr);
        return 1;
    }
    // Transfer data first, in a bounded batch; texts and presence after it in the same turn.
    for (int i = 0; i < 3; i++) {
        if (ready > 0 && (fds[i].revents & (POLLIN | POLLERR)) != 0)
            (void)jx_drain_socket(fds[i].fd, i == 0 ? JX_DRAIN_DATA : JX_DRAIN_OTHER);
    }
    now = jx_pacing_now_us();
    for (jx_list_elmt* el = jx_list_head(&comm.networks); el != nullptr; el = jx_list_next(el))
        jx_pace_uploads(static_cast<JXNetwork*>(jx_list_data(el)), now);
    if (now >= last_pass_us + JX_REPEAT_US && now >= pass_due_us(now)) {
        last_pass_us = now;
        (void)jx_crons_run();
    }
    return 0;
}
