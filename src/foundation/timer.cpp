#include "foundation/timer.hpp"

namespace {

// 0 means the real clocks are in use.
int64_t frozen_now = 0;
int64_t frozen_mono = 0;

timeval mono_timeval()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return timeval{ts.tv_sec, static_cast<suseconds_t>(ts.tv_nsec / 1000)};
}

double micro_between(const timeval& from, const timeval& to)
{
    return static_cast<double>(to.tv_sec - from.tv_sec) * 1000000.0 +
           static_cast<double>(to.tv_usec - from.tv_usec);
}

}  // namespace

void jx_timer_start(JXTimer* timer)
{
    timer->start = mono_timeval();
}

void jx_timer_stop(JXTimer* timer)
{
    timer->stop = mono_timeval();
}

double jx_timer_get_micro(const JXTimer* timer)
{
    return micro_between(timer->start, timer->stop);
}

double jx_timer_get_micro_lap(const JXTimer* timer)
{
    return micro_between(timer->start, mono_timeval());
}

int64_t jx_clock_now()
{
    if (frozen_now != 0)
        return frozen_now;
    return static_cast<int64_t>(time(nullptr));
}

int64_t jx_mono_now()
{
    if (frozen_mono != 0)
        return frozen_mono;
    return static_cast<int64_t>(mono_timeval().tv_sec) + JX_MONO_FLOOR;
}

void jx_clock_set(int64_t seconds)
{
    frozen_now = seconds;
    frozen_mono = seconds;
}

void jx_clock_advance(int64_t seconds)
{
    if (frozen_now == 0)
        return;
    frozen_now += seconds;
    frozen_mono += seconds;
}

void jx_clock_step_wall(int64_t seconds)
{
    if (frozen_now != 0)
        frozen_now += seconds;
}

int64_t jx_clock_wall_of(int64_t mono)
{
    return jx_clock_now() - (jx_mono_now() - mono);
}

int64_t jx_clock_now_us()
{
    const timeval now = mono_timeval();
    return (static_cast<int64_t>(now.tv_sec) + JX_MONO_FLOOR) * 1000000 + now.tv_usec;
}

bool jx_clock_frozen()
{
    return frozen_mono != 0;
}

int64_t jx_clock_us_until(int64_t second)
{
    // Against the microsecond clock, not whole seconds: right after a second begins the wait
    // would otherwise oversleep by up to a whole second.
    if (frozen_mono != 0)
        return (second - frozen_mono) * 1000000;
    return second * 1000000 - jx_clock_now_us();
}
