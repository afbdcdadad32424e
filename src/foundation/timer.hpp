// timer: the JXTimer microsecond stopwatch and the program's clock seam.
// Owns the frozen-clock state of the seam; calls only gettimeofday and time.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <ctime>

static_assert(sizeof(time_t) == 8, "seconds are held as signed 64-bit values");

// Start instant, then stop instant; needs no initialisation before jx_timer_start.
struct JXTimer {
    timeval start;
    timeval stop;
};

void jx_timer_start(JXTimer* timer);
void jx_timer_stop(JXTimer* timer);
// Microseconds from start to stop.
double jx_timer_get_micro(const JXTimer* timer);
// Microseconds from start to now; the timer is left unchanged, so a running timer can be read often.
double jx_timer_get_micro_lap(const JXTimer* timer);

// Clock seam. Every time rule of the program (beacons, peer ageing, retries, transfer time-outs,
// log time stamps) reads whole seconds through jx_clock_now, so a test can freeze the clock and move
// it forward instead of sleeping.
//   jx_clock_now      seconds since the epoch: time(nullptr), or the frozen value.
//   jx_clock_set      freezes the clock at seconds; 0 returns to the real clock.
//   jx_clock_advance  moves a frozen clock forward by seconds; no effect on the real clock.
//   jx_clock_now_us   the real wall clock in microseconds (gettimeofday), never frozen: the
//                     per-turn work budgets measure real elapsed time.
//   jx_clock_us_until microseconds until jx_clock_now shows `second`: on the real clock until the
//                     wall clock gets there (0 or less once it has), on a frozen clock the whole
//                     seconds between. An idle loop sleeps this long for its next timed step.
int64_t jx_clock_now();
void jx_clock_set(int64_t seconds);
void jx_clock_advance(int64_t seconds);
int64_t jx_clock_now_us();
int64_t jx_clock_us_until(int64_t second);
