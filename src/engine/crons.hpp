// crons: the periodic pass the main loop runs once per turn: each network's timed steps of every
// feature in a fixed order, then the queued tasks.
// May call: foundation, engine comm/events/registry and the features' periodic steps.
#pragma once

#include <cstdint>

// One pass over every joined network, then the task queue. Returns 0.
uint8_t jx_crons_run();

// Works through the task queue within its time budget.
void manage_tasks();
