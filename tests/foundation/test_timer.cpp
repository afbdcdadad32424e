#include <gtest/gtest.h>

#include <ctime>

#include "foundation/timer.hpp"

TEST(Timer, Stopwatch)
{
    // Borrowing across the second boundary: 10.900000 to 12.100000 is 1.2 s.
    JXTimer fixed{};
    fixed.start = {10, 900000};
    fixed.stop = {12, 100000};
    EXPECT_DOUBLE_EQ(jx_timer_get_micro(&fixed), 1200000.0);
    fixed.stop = {10, 900000};
    EXPECT_DOUBLE_EQ(jx_timer_get_micro(&fixed), 0.0);

    JXTimer t;
    jx_timer_start(&t);
    jx_timer_stop(&t);
    const double d = jx_timer_get_micro(&t);
    EXPECT_GE(d, 0.0);
    EXPECT_LT(d, 1000000.0);

    // A running timer reads again and again without being changed.
    jx_timer_start(&t);
    const JXTimer before = t;
    double first = jx_timer_get_micro_lap(&t);
    double later = first;
    for (int i = 0; i < 1000000 && later <= first; i++)
        later = jx_timer_get_micro_lap(&t);
    EXPECT_GT(later, first);
    EXPECT_EQ(t.start.tv_sec, before.start.tv_sec);
    EXPECT_EQ(t.start.tv_usec, before.start.tv_usec);
}

TEST(Timer, ClockSeam)
{
    const int64_t real = jx_clock_now();
    EXPECT_LE(std::llabs(real - static_cast<int64_t>(time(nullptr))), 1);

    // Advancing the real clock does nothing: only a frozen clock moves by command.
    jx_clock_advance(1000000);
    EXPECT_LE(std::llabs(jx_clock_now() - static_cast<int64_t>(time(nullptr))), 1);

    jx_clock_set(1000);
    EXPECT_EQ(jx_clock_now(), 1000);
    EXPECT_EQ(jx_clock_now(), 1000) << "a frozen clock does not run";
    jx_clock_advance(11);
    EXPECT_EQ(jx_clock_now(), 1011);
    jx_clock_advance(60);
    EXPECT_EQ(jx_clock_now(), 1071);

    // Microseconds always follow the real clock.
    const int64_t us = jx_clock_now_us();
    EXPECT_LE(std::llabs(us / 1000000 - static_cast<int64_t>(time(nullptr))), 1);
    EXPECT_GE(jx_clock_now_us(), us);

    jx_clock_set(0);
    EXPECT_LE(std::llabs(jx_clock_now() - static_cast<int64_t>(time(nullptr))), 1);
}
