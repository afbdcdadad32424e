// refusals: one log line per flood of refusals. What the caps on strangers (quotas) and the
// guard of private networks (registry) refuse is counted here, each kind as one flood.
// May call: foundation (log, timer, ipv4).
#pragma once

#include <cstdint>

// What was refused (or dropped to make room), each counted as one flood.
enum : uint8_t {
    JX_REFUSE_PEER = 0,
    JX_REFUSE_NETWORK = 1,
    JX_REFUSE_CHANNEL = 2,
    JX_REFUSE_OFFER = 3,
    JX_REFUSE_FORGED = 4,
    JX_DROP_NETWORK = 5,
    JX_REFUSE_KINDS = 6,
};
// A flood costs two log lines, not one per datagram: the first refusal is logged with its
// sender, "<limit>: refusing <what> (first: <addr>)", and manage_refusals logs
// "<limit>: <n> <what> refused in <s> s" once the refusals stop for 10 s, or every minute while
// they go on.
void jx_refuse(uint8_t kind, uint32_t from);
void manage_refusals();
// Forgets the floods under way (a new engine).
void jx_refusals_reset();
