#include "foundation/meter.hpp"

#include <algorithm>
#include <cstdio>

#include "foundation/utility.hpp"

unsigned jx_percent(uint64_t done, uint64_t size)
{
    if (size == 0)
        return 0;
    return static_cast<unsigned>(100.0 * static_cast<double>(std::min(done, size)) /
                                 static_cast<double>(size));
}

unsigned jx_bar_filled(unsigned pct)
{
    return std::min(pct, 100u) / (100 / JX_BAR_CELLS);
}

void jx_speed_to_human(double v, char* out, size_t size)
{
    if (v < 0.001)
        std::snprintf(out, size, "%.3fb/s", v * 1000000);
    else if (v < 1.0)
        std::snprintf(out, size, "%.3fkb/s", v * 1000);
    else
        std::snprintf(out, size, "%.3fmb/s", v);
}

const char* jx_meter_line(const char* name, uint64_t done, uint64_t size, double bytes_per_us, int64_t eta_s,
                          char* out, size_t n)
{
    const unsigned pct = jx_percent(done, size);
    char bar[JX_BAR_CELLS + 1] = {};
    for (unsigned i = 0; i < JX_BAR_CELLS; i++)
        bar[i] = i < jx_bar_filled(pct) ? '#' : '.';
    char have[16], whole[16], speed[32], eta[JX_ETA_SIZE] = {};
    jx_bytes_to_human(done, have, sizeof have);
    jx_bytes_to_human(size, whole, sizeof whole);
    jx_speed_to_human(bytes_per_us, speed, sizeof speed);
    if (eta_s >= 0)
        jx_sec_to_eta(eta_s, eta);
    std::snprintf(out, n, "%.30s %3u%%[%s] %s/%s %s%s%s", name, pct, bar, have, whole, speed,
                  eta_s >= 0 ? " ETA " : "", eta);
    return out;
}
