// crons: everything the engine does by time rather than on a packet: per network the offline
// check, peer ageing, beacons or queries and the text resend pass; then the queued tasks.
// May call: foundation (llist, set, log, timer), engine comm/events/utils/senders/texts.
#pragma once

#include <cstdint>

struct JXNetwork;

// A network nothing proved alive for longer than this goes offline.
inline constexpr int64_t JX_NET_OFFLINE_S = 100;
// A peer silent for longer than this is dropped.
inline constexpr int64_t JX_PEER_TIMEOUT_S = 60;
// Beacons leave when more than this has passed since the last one: every 11 s.
inline constexpr int64_t JX_BEACON_GAP_S = 10;
// Queries to a host that has not answered: every 2 s.
inline constexpr int64_t JX_QUERY_GAP_S = 1;

// One pass over every joined network, then the task queue. Returns 0.
uint8_t jx_crons_run();

// Online network not proved alive for more than 100 s: offline, EV_NET_CHANGED.
void manage_network(JXNetwork* network);
// Drops peers silent for more than 60 s (EV_PEER_DROPPED); a direct-IP network left without a
// peer is closed (EV_NET_CHANGED).
void manage_peer_list(JXNetwork* network);
// Query to an unanswered host, or a beacon, when its interval has passed.
void live_beacon(JXNetwork* network);
// Works through the task queue within its time budget.
void manage_tasks();
