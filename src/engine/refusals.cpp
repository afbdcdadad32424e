#include "engine/refusals.hpp"

#include "foundation/ipv4.hpp"
#include "foundation/log.hpp"
#include "foundation/timer.hpp"

namespace {

// A flood ends after this many quiet seconds; one that goes on is counted a minute at a time.
constexpr int64_t FLOOD_QUIET_S = 10;
constexpr int64_t FLOOD_REPORT_S = 60;

struct Flood {
    bool open;
    uint64_t count;
    int64_t start;
    int64_t last;
};
Flood floods[JX_REFUSE_KINDS];

// What each flood's two log lines say: the cause, what is being done, what was done.
struct FloodText {
    const char* limit;
    const char* doing;
    const char* done;
};
constexpr FloodText TEXT[JX_REFUSE_KINDS] = {
    {"Peer limit reached", "refusing beacons from new peers", "beacons from new peers refused"},
    {"Network limit reached", "refusing queries for new private networks", "queries refused"},
    {"Channel limit reached", "refusing texts and offers that would open a channel",
     "texts and offers refused"},
    {"Offer limit reached", "refusing offers", "offers refused"},
    {"Private network guarded", "refusing packets naming a private network from another host",
     "packets refused"},
    {"Private network limit reached", "dropping the least recently heard private networks of strangers",
     "private networks dropped"}};

}  // namespace

void jx_refuse(uint8_t kind, uint32_t from)
{
    if (kind >= JX_REFUSE_KINDS)
        return;
    Flood& f = floods[kind];
    const int64_t now = jx_mono_now();
    if (!f.open) {
        jx_log("%s: %s (first: %s)", TEXT[kind].limit, TEXT[kind].doing, jx_ip_str(from).s);
        f = Flood{true, 0, now, now};
    }
    f.count++;
    f.last = now;
}

void manage_refusals()
{
    const int64_t now = jx_mono_now();
    for (uint8_t k = 0; k < JX_REFUSE_KINDS; k++) {
        Flood& f = floods[k];
        const bool over = now - f.last >= FLOOD_QUIET_S;
        if (!f.open || (!over && now - f.start < FLOOD_REPORT_S))
            continue;
        if (f.count > 0)
            jx_log("%s: %llu %s in %lld s", TEXT[k].limit, static_cast<unsigned long long>(f.count),
                   TEXT[k].done, static_cast<long long>(now - f.start));
        f = over ? Flood{} : Flood{true, 0, now, f.last};
    }
}

void jx_refusals_reset()
{
    for (Flood& f : floods)
        f = Flood{};
}
