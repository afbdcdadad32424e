#include "engine/pacing.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "foundation/log.hpp"
#include "foundation/timer.hpp"

namespace {

// A new upload starts at 16 MB/s: a 100 Mbit/s link backs it off after one segment, a gigabit
// one is reached after four doublings (about 80 ms).
constexpr double RATE_START = 16e6;
// Never slower than this: a segment still goes within the 15 s time-out.
constexpr double RATE_MIN = 100e3;
// No ceiling set: no link we run on is faster.
constexpr double RATE_MAX = 4e9;
// Additive growth after the first loss: 100 MB/s per second of sending.
constexpr double GROWTH_PER_S = 100e6;
// Growth counts at most this much time at once, so a pause (the user deciding, a slow disk) is
// no licence to jump.
constexpr int64_t GROWTH_SPAN_US = 50000;
// Credit an idle upload may bank: a burst never exceeds a millisecond of its rate.
constexpr double CREDIT_US = 1000;
// Segments this small say too little about the path to be judged.
constexpr uint32_t JUDGE_MIN_CHUNKS = 32;
// A pause after a blocked send, for the queue below us to drain.
constexpr double BLOCKED_PAUSE_US = 1000;

bool classic = false;
double ceiling = 0;  // bytes per second; 0: none

float loss_floor(const JXRate* r)
{
    float least = 1;
    for (uint8_t i = 0; i < r->losses; i++)
        least = std::min(least, r->loss[i]);
    return r->losses != 0 ? least : 0;
}

void remember_loss(JXRate* r, float share)
{
    if (r->losses < std::size(r->loss))
        r->losses++;
    std::memmove(r->loss + 1, r->loss, sizeof r->loss - sizeof r->loss[0]);
    r->loss[0] = share;
}

void cut(JXRate* r, double factor)
{
    r->rate = std::max(RATE_MIN, r->rate * factor);
    r->cut_once = true;
}

}  // namespace

int64_t jx_pacing_now_us()
{
    return jx_clock_frozen() ? jx_mono_now() * 1000000 : jx_clock_now_us();
}

void jx_pacing_load()
{
    const char* mode = std::getenv("JEXLEY_PACING");
    classic = mode != nullptr && std::strcmp(mode, "classic") == 0;
    ceiling = 0;
    if (const char* max = std::getenv("JEXLEY_MAX_RATE"); max != nullptr && max[0] != '\0') {
        char* end = nullptr;
        errno = 0;
        const double mb = std::strtod(max, &end);
        if (errno == 0 && end != max && *end == '\0' && mb > 0 && mb < 1e6) {
            ceiling = std::max(RATE_MIN, mb * 1e6);
            if (ceiling > mb * 1e6)
                jx_log("JEXLEY_MAX_RATE raised to %.1f MB/s, the least rate a transfer keeps to", RATE_MIN / 1e6);
        } else
            jx_log("JEXLEY_MAX_RATE ignored: not a rate in MB/s");
    }
    jx_log("Transfer pacing: %s, ceiling %.1f MB/s", classic ? "classic" : "rate-based",
           (ceiling != 0 ? ceiling : RATE_MAX) / 1e6);
}

void jx_pacing_set(bool classic_mode, double max_bytes_per_s)
{
    classic = classic_mode;
    ceiling = max_bytes_per_s;
}

bool jx_pacing_classic()
{
    return classic;
}

double jx_rate_bound()
{
    return ceiling != 0 ? ceiling : RATE_MAX;
}

void jx_rate_init(JXRate* r, int64_t now_us)
{
    *r = JXRate{};
    r->rate = std::min(RATE_START, jx_rate_bound());
    r->next_us = static_cast<double>(now_us);
    r->grown_us = now_us;
}

uint32_t jx_rate_allowance(const JXRate* r, int64_t now_us, size_t bytes, uint32_t most)
{
    const double now = static_cast<double>(now_us);
    if (now < r->next_us || bytes == 0)
        return 0;
    const double rate = std::min(r->rate, jx_rate_bound());
    const double n = 1 + (std::min(now - r->next_us, CREDIT_US) * rate / 1e6) / static_cast<double>(bytes);
    return n >= most ? most : static_cast<uint32_t>(n);
}

void jx_rate_sent(JXRate* r, int64_t now_us, size_t bytes, uint32_t n)
{
    const double rate = std::min(r->rate, jx_rate_bound());
    r->next_us = std::max(r->next_us, static_cast<double>(now_us) - CREDIT_US) +
                 static_cast<double>(bytes) * n * 1e6 / rate;
}

int64_t jx_rate_due_us(const JXRate* r)
{
    return static_cast<int64_t>(r->next_us + 0.999);
}

void jx_rate_report(JXRate* r, int64_t now_us, uint64_t segment, uint32_t missed, uint32_t count)
{
    if (segment <= r->judged || count < JUDGE_MIN_CHUNKS)
        return;
    r->judged = segment;
    const float share = static_cast<float>(std::min(missed, count)) / static_cast<float>(count);
    // Random loss of a few per cent (radio, a lossy cable) sits in every segment; a full queue
    // adds to it. Only loss well beyond the least of the recent segments is taken for a full path.
    const float tolerated = loss_floor(r) * 1.5f + 0.03f;
    remember_loss(r, share);
    if (share > tolerated) {
        cut(r, std::clamp(1.0 - share, 0.5, 0.75));
        r->grown_us = now_us;
        return;
    }
    if (!r->cut_once) {
        r->rate = std::min(r->rate * 2, jx_rate_bound());
    } else {
        const int64_t span = std::clamp<int64_t>(now_us - r->grown_us, 0, GROWTH_SPAN_US);
        r->rate = std::min(r->rate + GROWTH_PER_S * static_cast<double>(span) / 1e6, jx_rate_bound());
    }
    r->grown_us = now_us;
}

void jx_rate_blocked(JXRate* r, int64_t now_us)
{
    if (r->cut_us == 0 || now_us - r->cut_us >= JX_REPEAT_US) {
        cut(r, 0.75);
        r->cut_us = now_us;
    }
    r->next_us = std::max(r->next_us, static_cast<double>(now_us) + BLOCKED_PAUSE_US);
}
