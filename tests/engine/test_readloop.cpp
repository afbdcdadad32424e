#include <gtest/gtest.h>

#include <unistd.h>

#include "engine/comm.hpp"
#include "engine/readloop.hpp"
#include "engine_fixture.hpp"
#include "foundation/timer.hpp"

namespace {

using ReadLoop = jxtest::EngineFixture;

// An idle turn and a failed turn both take the receive budget: after a select failure the main loop
// goes on calling the receive loop, which must not turn into a busy spin flooding the log.
TEST_F(ReadLoop, IdleAndFailedTurnsBothKeepTheirPace)
{
    int64_t t0 = jx_clock_now_us();
    ASSERT_EQ(jx_read_loop(), 0);
    EXPECT_GE(jx_clock_now_us() - t0, JX_READ_BUDGET_US);

    // Closing the receiving socket behind the engine's back makes select fail with EBADF.
    ASSERT_EQ(close(comm.rcv_sock), 0);
    for (int turn = 0; turn < 3; turn++) {
        t0 = jx_clock_now_us();
        EXPECT_EQ(jx_read_loop(), 1);
        EXPECT_GE(jx_clock_now_us() - t0, JX_READ_BUDGET_US - 1000) << "turn " << turn;
    }
    EXPECT_EQ(comm.running, 0);
    EXPECT_EQ(log_count("Select failed - 9 in jx_read_loop"), 3u);
    // The descriptor is gone; keep the engine's close from closing a number someone else may reuse.
    comm.rcv_sock = -1;
}

}  // namespace
