// quotas: what strangers can make this host keep. Each refusal is counted by refusals.
// Received traffic makes peers (beacons), private networks (queries), direct channels with their
// message files (texts, offers) and pending offers; each has a cap per network or peer and in
// all, and the channel files that strangers' traffic made have a lasting cap kept by storage
// (stranger_files). What the user opened or took up (the registry adopts it) is never refused or
// dropped.
// May call: foundation, storage (stranger_files), engine context/records/refusals/registry.
#pragma once

#include <cstdint>

struct JXNetwork;
struct JXChannel;

inline constexpr int32_t JX_MAX_PEERS = 4096;             // over all networks
inline constexpr int32_t JX_MAX_STRANGER_NETWORKS = 64;   // private networks queries opened
inline constexpr int32_t JX_MAX_STRANGER_CHANNELS = 256;  // direct channels received traffic made
inline constexpr int32_t JX_MAX_OFFERS_PER_PEER = 16;     // pending, from one peer of a network
inline constexpr int32_t JX_MAX_WITHDRAWN = 64;           // records of withdrawn offers, in all
inline constexpr int32_t JX_MAX_PENDING_OFFERS = 256;     // pending, over all networks

// Deletes the channel files given up to make room, once the terminal has written their last
// notices (see stranger_files).
void manage_stranger_files();
// When the engine closes: what gave way goes now (nothing is left for the next run to count as
// the user's own).
void flush_stranger_files();

// Whether a beacon from addr may add or refresh a peer of the network: a known peer always, a new
// one within the caps per network and in all (otherwise the refusal is counted).
bool jx_peer_room(const JXNetwork* network, uint32_t addr);
// Whether the network may keep one more pending offer from addr: within the caps per peer and in
// all (otherwise the refusal is counted).
bool jx_offer_room(const JXNetwork* network, uint32_t addr);
// The channel with peer_addr that traffic received from `from` needs: the existing one, or a new
// one within the caps on strangers' channels in memory and their files on disk (it is then marked
// as strangers'). Null when refused (counted), or when it cannot be made (jx_add_channel logged it).
JXChannel* jx_stranger_channel(JXNetwork* network, uint32_t peer_addr, uint32_t from);
// Before a query from addr opens a new private network: true when one may be opened, after making
// room by leaving the least recently heard private network that strangers opened and nobody
// opened here; false (counted) when none can go or its channel file would pass the lasting cap.
bool jx_stranger_network_room(uint32_t addr);
// A private network a query just opened, and its channel, are strangers' until opened here.
void jx_mark_stranger_network(JXNetwork* network);
// Before a text or offer on a channel strangers made is taken: its file is kept, never deleted for
// room. False (counted as refused from `from`) when no more can be kept: it is not taken.
bool jx_keep_stranger_channel(const JXChannel* channel, uint32_t from);
