// timer: the JXTimer microsecond stopwatch and the program's clock seam.
// Owns the frozen-clock state of the seam; calls only clock_gettime and time.
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

// Clock seam. Two clocks in whole seconds, both of which a test can freeze and move:
//   jx_clock_now      the wall clock, seconds since the epoch: only for what is shown or stored
//                     (message times, log stamps, clock times on the screens).
//   jx_mono_now       the monotonic clock: every time-out and interval (beacons, peer ageing,
//                     retries, transfer time-outs), so a step of the wall clock (NTP, the user)
//                     neither drops peers nor fails transfers. Never below JX_MONO_FLOOR, so a
//                     stamp of 0 ("never") is always long ago.
//   jx_clock_set      freezes both clocks at seconds; 0 returns both to the real clocks.
//   jx_clock_advance  moves both frozen clocks forward by seconds (time passes).
//   jx_clock_step_wall moves only the frozen wall clock, forward or back (a clock step).
//   jx_clock_wall_of  the wall-clock second at which the monotonic clock showed `mono`.
//   jx_clock_now_us   the real monotonic clock in microseconds, never frozen: the per-turn work
//                     budgets and the stopwatch measure real elapsed time.
//   jx_clock_us_until microseconds until jx_mono_now shows `second`: on the real clock until it gets
//                     there (0 or less once it has), on a frozen clock the whole seconds between.
//                     An idle loop sleeps this long for its next timed step.
inline constexpr int64_t JX_MONO_FLOOR = 1000000;
int64_t jx_clock_now();
int64_t jx_mono_now();
void jx_clock_set(int64_t seconds);
void jx_clock_advance(int64_t seconds);
void jx_clock_step_wall(int64_t seconds);
int64_t jx_clock_wall_of(int64_t mono);
int64_t jx_clock_now_us();
int64_t jx_clock_us_until(int64_t second);
// True while a test holds the clocks frozen.
bool jx_clock_frozen();
