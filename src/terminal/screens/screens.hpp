// screens: the five operations of every screen (init, update, render, render_dy,
// render_complete), one source file per screen, and the one header through which every screen
// reaches the terminal's shared state (ctx, state), the key codes, the drawing pieces (io) and the
// frame they all share. Screens may also call line, cmd, remember, storage (paths, free space) and
// the engine's public operations and records; nothing below the screens includes this header
// except the state machine's table.
#pragma once

#include "terminal/ctx.hpp"
#include "terminal/io.hpp"
#include "terminal/keys.hpp"
#include "terminal/screens/frame.hpp"
#include "terminal/state.hpp"

// The product's documentation address, shown on the home screen's title bar and the help page.
inline constexpr char JX_DOC_URL[] = "https://jexley.org/docs";
inline constexpr char JX_VERSION[] = "v" JEXLEY_VERSION;  // the project's version, set by the build

void start_init(state_op* update, state_op* render);
void start_update();
void start_render();
void start_render_dy();
void start_render_complete();

void network_list_init(state_op* update, state_op* render);
void network_list_update();
void network_list_render();
void network_list_render_dy();
void network_list_render_complete();

void lan_list_init(state_op* update, state_op* render);
void lan_list_update();
void lan_list_render();
void lan_list_render_dy();
void lan_list_render_complete();

void channel_list_init(state_op* update, state_op* render);
void channel_list_update();
void channel_list_render();
void channel_list_render_dy();
void channel_list_render_complete();

void peer_list_init(state_op* update, state_op* render);
void peer_list_update();
void peer_list_render();
void peer_list_render_dy();
void peer_list_render_complete();

void channel_init(state_op* update, state_op* render);
void channel_update();
void channel_render();
void channel_render_dy();
void channel_render_complete();

void dl_list_init(state_op* update, state_op* render);
void dl_list_update();
void dl_list_render();
void dl_list_render_dy();
void dl_list_render_complete();

void ul_list_init(state_op* update, state_op* render);
void ul_list_update();
void ul_list_render();
void ul_list_render_dy();
void ul_list_render_complete();

void help_init(state_op* update, state_op* render);
void help_update();
void help_render();
void help_render_dy();
void help_render_complete();

// Home screen content: banner, filler and the client details.
void start_display();
// The help page at the current scroll position.
void help_content();
