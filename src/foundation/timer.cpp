#include "foundation/timer.hpp"

namespace {

// 0 means the real clock is in use.
int64_t frozen_now = 0;

double micro_between(const timeval& from, const timeval& to)
{
    return static_cast<double>(to.tv_sec - from.tv_sec) * 1000000.0 +
           static_cast<double>(to.tv_usec - from.tv_usec);
}

}  // namespace

void jx_timer_start(JXTimer* timer)
{
    gettimeofday(&timer->start, nullptr);
}

void jx_timer_stop(JXTimer* timer)
{
    gettimeofday(&timer->stop, nullptr);
}

double jx_timer_get_micro(const JXTimer* timer)
{
    return micro_between(timer->start, timer->stop);
}

double jx_timer_get_micro_lap(const JXTimer* timer)
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return micro_between(timer->start, now);
}

int64_t jx_clock_now()
{
    if (frozen_now != 0)
        return frozen_now;
    return static_cast<int64_t>(time(nullptr));
}

void jx_clock_set(int64_t seconds)
{
    frozen_now = seconds;
}

void jx_clock_advance(int64_t seconds)
{
    if (frozen_now != 0)
        frozen_now += seconds;
}

int64_t jx_clock_now_us()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_usec;
}

int64_t jx_clock_us_until(int64_t second)
{
    // Against the microsecond clock, not time(): right after a second begins, time() may still
    // show the old one for a tick, and a wait computed from it would oversleep by a whole second.
    if (frozen_now != 0)
        return (second - frozen_now) * 1000000;
    return second * 1000000 - jx_clock_now_us();
}
