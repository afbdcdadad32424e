// journal: what engine events leave in the message store, the same in the terminal program and
// in a subcommand that runs alone: texts received and sent as lines of their channel's file, the
// delivery verdict as a mark on the stored line, peer notices in the network's main channel, file
// notices ("Peer trying to send file [a.pdf]") in the direct channel. A text acknowledged to its
// sender is thus kept whoever took it in. Names are stored as received; whoever draws them makes
// them harmless.
// May call: foundation (ipv4, log, timer), storage (fso: the message store), engine (events,
// records, registry), cli event_json (peer names).
#pragma once

#include "engine/events.hpp"

// Stores what the event leaves in the message store; events with nothing to store are ignored.
void cli_journal_event(const JXEvent* ev);
