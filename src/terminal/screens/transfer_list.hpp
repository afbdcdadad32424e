// transfer_list: what the downloads and uploads screens share: the rows of every transfer of one
// direction in all joined networks (in progress first, then finished), the table, the details
// pane with its progress bar, and the keys that move the highlight, accept, verify and remove.
// Calls io, ctx, cmd, state_machine, storage (free space of downloads/) and the engine's transfer
// operations.
#pragma once

#include <cstdint>

#include "terminal/screens/frame.hpp"

// What tells the two screens apart.
struct TransferScreen {
    bool download;
    const char* title;
    const char* peer_header;  // "Source" or "Destination"
    const char* details;
    const char* (*state_word)(uint8_t state);
};

extern const TransferScreen DL_SCREEN;
extern const TransferScreen UL_SCREEN;

// Init's resets besides the operations: the highlight and the scroll position.
void transfer_list_reset();
// The column header, the rows, the details bar and the details pane.
void transfer_list_display(const TransferScreen* s);
// Acts on ctx.key; true when the screen must be drawn again completely. Keys it does not handle
// are left for the common update tail.
bool transfer_list_keys(const TransferScreen* s);
// True when a row of the screen is moving (a transfer past its offer, a verification running):
// the screen is then drawn again up to ten times a second so its progress moves on its own.
bool transfer_list_busy(const TransferScreen* s);
// The update of both screens: keys, the redraws while busy, the common tail.
void transfer_list_update(const TransferScreen* s, ScreenFrame* frame);

const char* dl_list_dl_state(uint8_t state);
const char* ul_list_ul_state(uint8_t state);
void dl_list_display();
void ul_list_display();
