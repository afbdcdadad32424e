// list_draw: what the channel, network, peer and LAN address lists share (right-aligned cells cut
// with "...", the highlight walk over a set of address-keyed records) and their table drawers.
// Owns nothing; calls io, ctx, state_machine and the engine's registry (read only).
#pragma once

#include <cstddef>
#include <cstdint>

#include "foundation/llist.hpp"

struct JXNetwork;

// Address (network order) of one member of a list.
using list_addr_fn = uint32_t (*)(const void* member);

// The highlight after KEY_DOWN (down) or KEY_UP over the members in list order; 0 for none.
// Down: none -> first, last stays, an address not listed -> none. Up: first stays, none or an
// address not listed -> last. An empty (or null) list always gives none.
uint32_t list_move_sel(const jx_list* list, list_addr_fn addr_of, uint32_t sel, bool down);

// 1-based row to keep in view: 0 for an empty (or null) list, 1 when sel is 0 or the first row,
// the row of sel, or the row count when sel is not listed.
uint16_t list_sel_pos(const jx_list* list, list_addr_fn addr_of, uint32_t sel);

// Every list keeps a row highlighted while it has rows, and keeps it on the same entry as rows
// come and go. Of n rows: `found` (0-based) when the highlighted entry is listed; otherwise (-1)
// the row that took the place it was last seen at (ctx.sel_row, 0 when a screen opens), or the
// last row when fewer are left; -1 for no rows. The row is recorded in ctx.sel_row.
long list_keep_row(size_t n, long found);
// The same over a list keyed by address: sel when listed, else the address now at its row; 0 for
// an empty (or null) list.
uint32_t list_keep_sel(const jx_list* list, list_addr_fn addr_of, uint32_t sel);

// Writes text right-aligned in a cell of c terminal cells, followed by "|" when bar. A wider text
// shows its first c - 3 cells and "...", never half a character. Text from other hosts
// (untrusted) goes through the sanitizer first and is measured as it is shown.
void list_cell(const char* text, int c, bool bar, bool untrusted);
// A peer's user name (a 16-byte field another host filled, read up to 15 bytes) as an untrusted
// cell of width c followed by "|".
void list_name_cell(const char* username, int c);

// Table drawers of the list screens; each writes its header, its rows and empty lines up to its
// area's height.
void io_disp_channels();
void network_list_disp_networks();
void peer_list_disp_peers(const JXNetwork* network);
void lan_list_disp_addresses();

// The predefined LAN addresses: 239.0.0.0 .. 239.0.0.254 (host order).
inline constexpr uint32_t LAN_FIRST = 0xEF000000u;
inline constexpr uint32_t LAN_LAST = 0xEF0000FEu;
inline constexpr uint16_t LAN_COUNT = 255;
