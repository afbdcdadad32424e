// frame: what the nine screens' five operations share, so that each screen writes only what is its
// own. A screen keeps one ScreenFrame, whose render_intern says what its render draws next: the
// whole screen (after its init, and after a key or an event changed what it shows) or only the
// prompt row (after a whole drawing). Calls io, ctx, cmd (the function keys) and line.
#pragma once

#include "terminal/state.hpp"

struct ScreenFrame {
    state_op render_complete;  // the screen's own whole drawing
    state_op render_dy;        // the screen's own prompt-only drawing
    state_op render_intern;    // the one its render calls next
};

// The init: installs the screen's update and render in the state record and asks for a whole
// drawing. What else an init resets is the screen's own.
void frame_init(ScreenFrame* f, state_op* update, state_op* render, state_op own_update, state_op own_render);
// What the screen shows changed: its next render draws it whole.
void frame_redraw(ScreenFrame* f);
// The render: whatever render_intern holds.
void frame_render(const ScreenFrame* f);
// The render_dy: the prompt row, when it is to be drawn again.
void frame_render_dy();
// The whole drawing of render_complete: clear, the title bar (null: the content draws its own
// header row), the content, the key bar and the prompt row; then the prompt row only.
void frame_draw(ScreenFrame* f, const char* title, void (*content)());
// The end of every screen's update: the key goes to cmd_fkey_eval (no screen takes F1..F8 itself,
// and other keys do nothing there) and is consumed, a set ctx.refresh asks for a whole drawing,
// and list screens (clear_input) drop what was typed.
void frame_update_tail(ScreenFrame* f, bool clear_input);
