// matchers: the match callbacks that keep the registry's sets distinct. Arguments are (key or member
// of the first set, member being scanned); nonzero when they denote the same member.
// May call: nothing but the engine's record definitions.
#pragma once

// Networks by address.
int jx_match_network(const void* key, const void* member);
// Channels by network address and peer address.
int jx_match_channel(const void* key, const void* member);
// Peers by address.
int jx_match_peer(const void* key, const void* member);
// Elements that are 4-byte addresses.
int jx_match_sent_text_addr(const void* key, const void* member);
// Records whose first 8 bytes (a transfer id) are equal.
int jx_match_segment_chunk(const void* key, const void* member);
