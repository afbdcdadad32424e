// The rate control of the rate-based sender on a clock of the test's own (microseconds passed in):
// it climbs on a clean path, backs off on re-send reports and blocked sends, tolerates the steady
// loss of a lossy path, and a token bucket never lets more out than the rate or the ceiling.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

#include "engine/pacing.hpp"

namespace {

constexpr size_t kDgram = 1424;  // a full chunk datagram

class Pacing : public ::testing::Test {
  protected:
    void SetUp() override { jx_pacing_set(false, 0); }
    void TearDown() override { jx_pacing_set(false, 0); }
};

// Bytes the bucket lets out over `us` microseconds when the sender asks as often as it may.
double send_for(JXRate* r, int64_t from, int64_t us)
{
    double bytes = 0;
    for (int64_t t = from; t < from + us; t = std::max(t + 1, jx_rate_due_us(r))) {
        const uint32_t n = jx_rate_allowance(r, t, kDgram, JX_PACE_BURST);
        jx_rate_sent(r, t, kDgram, n);
        bytes += static_cast<double>(n) * kDgram;
    }
    return bytes;
}

TEST_F(Pacing, ClimbsOnACleanPathAndBacksOffOnMissedChunksAndBlockedSends)
{
    JXRate r;
    jx_rate_init(&r, 0);
    const double start = r.rate;
    // Doubling per clean segment until the first loss; a report counts once per segment.
    jx_rate_report(&r, 1000, 1, 0, 512);
    jx_rate_report(&r, 1500, 1, 0, 512);
    jx_rate_report(&r, 2000, 2, 0, 512);
    EXPECT_DOUBLE_EQ(r.rate, 4 * start);
    // A quarter of the segment missed: cut by a quarter (at least); a tiny segment is not judged.
    jx_rate_report(&r, 3000, 3, 128, 512);
    EXPECT_DOUBLE_EQ(r.rate, 3 * start);
    jx_rate_report(&r, 3100, 4, 3, 3);
    EXPECT_DOUBLE_EQ(r.rate, 3 * start);
    // Most of a segment lost: halved. From then on growth is additive, by time, not by segment.
    jx_rate_report(&r, 4000, 5, 400, 512);
    const double after = 1.5 * start;
    EXPECT_DOUBLE_EQ(r.rate, after);
    jx_rate_report(&r, 14000, 6, 0, 512);
    jx_rate_report(&r, 14001, 7, 0, 512);
    EXPECT_NEAR(r.rate, after + 1e6, 200);  // 10 ms of growth at 100 MB/s per second
    // A blocked send cuts by a quarter, at most once per 10 ms, and pauses sending for 1 ms.
    const double before = r.rate;
    jx_rate_blocked(&r, 20000);
    EXPECT_EQ(jx_rate_allowance(&r, 20999, kDgram, JX_PACE_BURST), 0u);
    EXPECT_GT(jx_rate_allowance(&r, 21000, kDgram, JX_PACE_BURST), 0u);
    jx_rate_blocked(&r, 25000);
    EXPECT_DOUBLE_EQ(r.rate, 0.75 * before);
    jx_rate_blocked(&r, 30000);
    EXPECT_DOUBLE_EQ(r.rate, 0.75 * 0.75 * before);
}

// 5 % random loss in every segment is the path's, not a full queue: after the first segments it
// costs no more cuts and the rate still grows. Loss well beyond it still cuts.
TEST_F(Pacing, SteadyLossOfALossyPathIsToleratedExtraLossIsNot)
{
    JXRate r;
    jx_rate_init(&r, 0);
    const uint32_t missed[] = {26, 30, 22, 28, 25, 31, 24, 27, 29, 23, 26, 30};
    int64_t t = 0;
    for (uint64_t seg = 1; seg <= std::size(missed); seg++)
        jx_rate_report(&r, t += 7000, seg, missed[seg - 1], 512);
    const double settled = r.rate;
    jx_rate_report(&r, t += 7000, 13, 27, 512);
    EXPECT_GT(r.rate, settled);
    jx_rate_report(&r, t += 7000, 14, 80, 512);
    EXPECT_LT(r.rate, settled);
}

// The token bucket: what goes out over a second is the rate, never above the ceiling set, even
// after the rate control has climbed past it; an idle spell banks at most a millisecond.
TEST_F(Pacing, NeverExceedsTheRateOrTheCeiling)
{
    for (const double ceiling : {0.0, 5e6, 120e6}) {
        jx_pacing_set(false, ceiling);
        JXRate r;
        jx_rate_init(&r, 0);
        for (uint64_t seg = 1; seg <= 20; seg++)
            jx_rate_report(&r, static_cast<int64_t>(seg), seg, 0, 512);
        const double bound = jx_rate_bound();
        EXPECT_LE(r.rate, bound) << ceiling;
        const double limit = std::min(r.rate, bound);
        const double bytes = send_for(&r, 1000, 1000000);
        EXPECT_LE(bytes, limit * 1.001 + JX_PACE_BURST * kDgram) << ceiling;  // a millisecond banked
        EXPECT_GE(bytes, std::min(limit, 2e9) * 0.9) << ceiling;
        EXPECT_LE(jx_rate_allowance(&r, 10000000, kDgram, 100000), limit / 1000 / kDgram + 1) << ceiling;
    }
}

}  // namespace
