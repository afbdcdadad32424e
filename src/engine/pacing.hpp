// pacing: how fast an upload sends and how often a transfer repeats what waits for an answer.
// Owns the mode (JEXLEY_PACING=classic keeps the original one sending pass per ~10 ms turn; any
// other value, or none, the rate-based sender), the ceiling a user sets (JEXLEY_MAX_RATE, MB/s)
// and the rate control of one upload. The rate control works on the microsecond times its caller
// passes in, so a test drives it on a clock of its own.
// May call: foundation (log, timer).
#pragma once

#include <cstddef>
#include <cstdint>

// What the original rules repeat on every turn (offers, batch-done, segment and re-send
// requests) is repeated this often by the rate-based sender, however often the loop wakes.
inline constexpr int64_t JX_REPEAT_US = 10000;
// Most chunks one upload sends in one wake-up: the loop must get back to the keyboard, the other
// sockets and the other uploads.
inline constexpr uint32_t JX_PACE_BURST = 64;

// The clock of pacing and repeats, monotonic microseconds. On a frozen clock it is the frozen
// second, so what a test or the fuzz harness drives is repeatable: time passes only when it says.
int64_t jx_pacing_now_us();
// Reads JEXLEY_PACING and JEXLEY_MAX_RATE (a bad ceiling is logged and ignored).
void jx_pacing_load();
// Seam for tests: the mode and the ceiling in bytes per second (0: none).
void jx_pacing_set(bool classic, double max_bytes_per_s);
bool jx_pacing_classic();
// The rate an upload never exceeds, bytes per second.
double jx_rate_bound();

// The rate control of one upload: AIMD on a rate in bytes per second. It doubles with each
// segment that arrives whole until the first loss (a fast link is reached within a few
// segments), then grows by a constant amount per second, the same for every upload so that
// uploads sharing a link converge to equal shares. It is cut by a quarter or more when a
// downloader reports clearly more missed chunks than the path's own loss (the least loss of
// the recent segments: a lossy radio link must not be taken for a full one), and when our own
// sends block. A token bucket spreads the datagrams over time.
struct JXRate {
    double rate;           // bytes per second
    double next_us;        // when the next datagram may go
    int64_t grown_us;      // last growth; growth is measured in time, not in segments
    int64_t cut_us;        // last cut for blocked sends
    bool cut_once;         // a loss has been seen: growth is additive from then on
    uint64_t judged;       // the last segment whose first pass was judged
    float loss[8];         // first-pass loss share of the latest judged segments
    uint8_t losses;        // how many of them are held (at most 8)
};

void jx_rate_init(JXRate* r, int64_t now_us);
// Datagrams of `bytes` each that may go at now_us, at most `most` (0: wait for jx_rate_due_us).
uint32_t jx_rate_allowance(const JXRate* r, int64_t now_us, size_t bytes, uint32_t most);
// `n` datagrams of `bytes` each went out at now_us.
void jx_rate_sent(JXRate* r, int64_t now_us, size_t bytes, uint32_t n);
int64_t jx_rate_due_us(const JXRate* r);
// The downloader's report on segment `segment` (its first pass): `missed` of `count` chunks did
// not arrive. Only the first report of a segment counts.
void jx_rate_report(JXRate* r, int64_t now_us, uint64_t segment, uint32_t missed, uint32_t count);
// A send blocked (EAGAIN, ENOBUFS): the rate is cut (at most once per JX_REPEAT_US) and sending
// pauses briefly.
void jx_rate_blocked(JXRate* r, int64_t now_us);
