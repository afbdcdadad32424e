// state_machine: the table of screens and the change from one to the next: a requested state
// takes effect by calling its screen's init, which installs the screen's operations in `state`.
// Calls state, the screens' init operations and log.
#pragma once

#include "terminal/state.hpp"

// Enters the home screen; called once before the main loop starts.
void state_init();
// Applies a pending request: 1..9 initialise their screen, STATE_EXIT installs nothing, any other
// value is logged and the old screen's operations stay.
void state_change();
