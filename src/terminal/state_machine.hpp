// state_machine: which screen is shown, the switch between screens and the table of their
// operations. Owns the TermState record; calls the screens' init operations, cmd (function keys),
// ctx, line (clearing typed text) and log.
#pragma once

#include <cstdint>

enum : uint32_t {
    STATE_START = 1,
    STATE_NETWORK_LIST = 2,
    STATE_LAN_LIST = 3,
    STATE_CHANNEL_LIST = 4,
    STATE_PEER_LIST = 5,
    STATE_CHANNEL = 6,
    STATE_DL_LIST = 7,
    STATE_UL_LIST = 8,
    STATE_HELP = 9,
    STATE_EXIT = 10,
};

using state_op = void (*)();
// A screen's init stores its update and render operations through these two addresses.
using state_init_op = void (*)(state_op* update, state_op* render);

struct TermState {
    uint32_t current;
    uint32_t requested;  // 0: no change pending
    state_op update;
    state_op render;
};

// Enters the home screen; called once before the main loop starts.
void state_init();
// Asks for a change at the next state_change; the last request of a turn wins.
void state_set(uint32_t s);
uint32_t state_get();
void state_update();
void state_render();
// The end of every screen's update: the key goes to cmd_fkey_eval (no screen takes F1..F8 itself,
// and other keys do nothing there) and is consumed, a set ctx.refresh asks for a full redraw
// through *render_intern, and list screens (clear_input) drop what was typed.
void state_update_tail(state_op* render_intern, state_op render_complete, bool clear_input);
// Applies a pending request: 1..9 initialise their screen, STATE_EXIT installs nothing, any other
// value is logged and the old screen's operations stay.
void state_change();
