#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "foundation/timer.hpp"

TEST(Timer, StopwatchAndClockSeam)
{
    // Borrowing across the second boundary: 10.900000 to 12.100000 is 1.2 s.
    JXTimer t{{10, 900000}, {12, 100000}};
    EXPECT_DOUBLE_EQ(jx_timer_get_micro(&t), 1200000.0);

    jx_timer_start(&t);
    jx_timer_stop(&t);
    EXPECT_GE(jx_timer_get_micro(&t), 0.0);
    EXPECT_LT(jx_timer_get_micro(&t), 1000000.0);

    // A running timer reads again and again without being changed.
    const JXTimer before = t;
    const double first = jx_timer_get_micro_lap(&t);
    double later = first;
    for (int i = 0; i < 1000000 && later <= first; i++)
        later = jx_timer_get_micro_lap(&t);
    EXPECT_GT(later, first);
    EXPECT_EQ(t.start.tv_usec, before.start.tv_usec);

    auto near_real = [] { return std::llabs(jx_clock_now() - static_cast<int64_t>(time(nullptr))) <= 1; };
    EXPECT_TRUE(near_real());
    jx_clock_advance(1000000);
    EXPECT_TRUE(near_real()) << "only a frozen clock moves by command";

    jx_clock_set(1000);
    EXPECT_EQ(jx_clock_now(), 1000);
    jx_clock_advance(11);
    EXPECT_EQ(jx_clock_now(), 1011);

    // Microseconds always follow the real clock.
    EXPECT_LE(std::llabs(jx_clock_now_us() / 1000000 - static_cast<int64_t>(time(nullptr))), 1);
    jx_clock_set(0);
    EXPECT_TRUE(near_real());
}
