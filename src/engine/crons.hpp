// crons: the periodic pass the main loop runs once per turn: each network's timed steps of every
// feature in a fixed order, then the queued tasks; and when the next turn is due for them, so an
// idle loop can sleep until then.
// May call: foundation, engine context/quotas/refusals/registry/readloop and the features' periodic steps.
#pragma once

#include <cstdint>

// One pass over every joined network, then the task queue. Returns 0.
uint8_t jx_crons_run();

// jx_next_due_us results besides a positive wait.
inline constexpr int64_t JX_DUE_NOW = 0;    // something works every turn, or a rule is due
inline constexpr int64_t JX_DUE_NONE = -1;  // no rule can fire: nothing joined, or only networks
                                            // waiting to be joined again

// When the engine next needs a turn: JX_DUE_NOW while a transfer is past its offer or a task is
// queued, or once a time rule is due; else the microseconds until the next rule's whole second
// (a beacon or query, a text resend pass, a peer or network time-out); JX_DUE_NONE.
[[nodiscard]] int64_t jx_next_due_us();
// How long the next turn's receive step may wait (jx_read_loop): the turn's budget when something
// is due now, else until the next thing is due, at most JX_IDLE_WAIT_MAX_US.
[[nodiscard]] int64_t jx_turn_wait_us();

// Works through the task queue within its time budget.
void manage_tasks();
