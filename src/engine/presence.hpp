// presence: who is on each network and whether the network is alive. The processors of beacons,
// queries and leaves, and the periodic steps that age networks and peers and send beacons (or
// queries to a host that has not answered yet).
// May call: foundation, protocol, engine context/events/quotas/records/registry/senders.
#pragma once

#include <cstdint>

#include "protocol/protocol.hpp"

struct JXNetwork;

// A network nothing proved alive for longer than this goes offline.
inline constexpr int64_t JX_NET_OFFLINE_S = 100;
// A peer silent for longer than this is dropped.
inline constexpr int64_t JX_PEER_TIMEOUT_S = 60;
// Beacons leave when more than this has passed since the last one: every 11 s.
inline constexpr int64_t JX_BEACON_GAP_S = 10;
// Queries to a host that has not answered: every 2 s.
inline constexpr int64_t JX_QUERY_GAP_S = 1;

void proc_beacon(const JXPacket* pkt);
void proc_query(const JXPacket* pkt);
void proc_leave(const JXPacket* pkt);

// Online network not proved alive for more than 100 s: offline, EV_NET_CHANGED.
void manage_network(JXNetwork* network);
// Drops peers silent for more than 60 s (EV_PEER_DROPPED); a direct-IP network left without a
// peer is closed (EV_NET_CHANGED).
void manage_peer_list(JXNetwork* network);
// Query to an unanswered host, or a beacon, when its interval has passed.
void live_beacon(JXNetwork* network);
// The second (of jx_mono_now) at which one of the three steps above next acts on the network:
// its beacon or query, a peer's drop or going offline. INT64_MAX when none can.
int64_t presence_due(const JXNetwork* network);
