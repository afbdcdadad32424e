// state: which screen is shown, which one is asked for, and the update and render operations of
// the one shown: the TermState record that commands, events and screens read and ask through.
// Owns `state`; calls nothing. Which operations a screen installs is state_machine's table.
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

// The record itself, for the state machine that installs screens in it.
TermState* state_record();
// Asks for a change at the next state_change; the last request of a turn wins.
void state_set(uint32_t s);
uint32_t state_get();
// The shown screen's operations (none installed: nothing).
void state_update();
void state_render();
