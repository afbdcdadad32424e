// Downloads screen. Drawn as its frame (title, key bar, prompt) until its content is built.
#include "terminal/io.hpp"
#include "terminal/screens/list_draw.hpp"
#include "terminal/screens/screens.hpp"

static state_op dl_list_render_intern = dl_list_render_complete;

void dl_list_init(state_op* update, state_op* render)
{
    *update = dl_list_update;
    *render = dl_list_render;
    dl_list_render_intern = dl_list_render_complete;
    transfer_list_reset();
}

void dl_list_update()
{
    transfer_list_update(&dl_list_render_intern, dl_list_render_complete);
}

void dl_list_render()
{
    dl_list_render_intern();
}

void dl_list_render_dy()
{
    io_prompt();
}

void dl_list_render_complete()
{
    io_draw_screen("Downloads", 9, transfer_list_display);
    dl_list_render_intern = dl_list_render_dy;
}
