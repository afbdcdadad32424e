// meter: how far a transfer is, in the one form the downloads screen and the command line's
// progress bar share: the percentage, a bar of 20 cells, the speed, and the whole line the
// command line draws. Owns nothing; calls utility (sizes, durations).
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr unsigned JX_BAR_CELLS = 20;

// done of size in whole percent, 0..100 (0 for size 0).
unsigned jx_percent(uint64_t done, uint64_t size);
// Cells of the bar filled at pct percent (one per 5 %).
unsigned jx_bar_filled(unsigned pct);
// "%.3fb/s", "%.3fkb/s" below 1 and 1000 bytes per millisecond, else "%.3fmb/s", of a speed in
// bytes per microsecond.
void jx_speed_to_human(double bytes_per_us, char* out, size_t size);
// "<name> 42%[########............] 12.30MB/29.29MB 3.456mb/s ETA 5 seconds": name cut to 30
// bytes, the ETA left out when eta_s is negative. Returns out.
const char* jx_meter_line(const char* name, uint64_t done, uint64_t size, double bytes_per_us, int64_t eta_s,
                          char* out, size_t n);
