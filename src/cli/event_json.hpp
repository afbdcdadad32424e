// event_json: an engine event as watch prints it: one JSON object (watch --json) or one line of
// text. The kind's name and payload record come from the engine's one table of kinds; peer names
// not carried by the event are looked up among the network's peers. Strings are kept as the
// peer sent them (nlohmann-json escapes them; bytes that are no UTF-8 become U+FFFD); the text
// line has control characters replaced, so an event is always one line.
// May call: foundation (ipv4, utility), engine (events, records, registry), nlohmann-json.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/events.hpp"

// The object's fields, in this order:
//   event "EV_TXT_RECEIVED", kind 7, time (seconds since the epoch), then by payload record:
//   user_ev:  network, peer, name, old_name (a rename only)
//   net_ev:   network
//   ch_ev:    network, peer
//   msg_ev:   network, peer, name, channel ("main", "direct", "private"), id, text (texts only)
//   file_ev:  network, peer, name, channel, file, size, sha256, id (16 hex digits), state
//             ("offered", "preparing", "started", "completed", "failed", "digest mismatch",
//             "declined")
//   hash_ev:  id, sha256
// name is the peer's user name ("" when unknown). An unknown kind gives {"event": "", "kind": N}.
std::string cli_event_json(const JXEvent* ev, int64_t time);
// "HH:MM:SS EV_TXT_RECEIVED network=239.0.0.1 peer=10.0.0.2 name=bob ... text=hello": the same
// fields as key=value, the text last.
std::string cli_event_text(const JXEvent* ev, int64_t time);
// Bytes as lower-case hex digits, two per byte (a digest, a transfer id).
std::string cli_hex(const uint8_t* bytes, size_t n);
// The user name a network's peer goes by, as it sent it; "" when the peer is not known.
std::string cli_peer_name(uint32_t net, uint32_t peer);
