// comm: starting and stopping the engine. Start finds the storage root, opens the log, makes the
// identity and opens the three sockets; stop leaves every network and closes them. The context
// itself (JXComm, the queues) is context's, included here for the engine's callers.
// May call: foundation, protocol, storage (fso, stranger_files, archive: the outbox), engine
// context/pacing/records/refusals/registry.
#pragma once

#include <cstdint>

#include "engine/context.hpp"

// Finds the storage root from the program path, opens the log, makes the identity and opens the
// three sockets. 0, or 1 on any failure (sockets opened before it stay open until jx_comm_close).
[[nodiscard]] uint8_t jx_comm_init(const char* program_path);

// Leaves every network (one leave packet each), drops queued events and tasks, closes the sockets.
uint8_t jx_comm_close();
