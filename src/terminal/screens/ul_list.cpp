// Uploads screen. Drawn as its frame (title, key bar, prompt) until its content is built.
#include "terminal/io.hpp"
#include "terminal/screens/list_draw.hpp"
#include "terminal/screens/screens.hpp"

static state_op ul_list_render_intern = ul_list_render_complete;

void ul_list_init(state_op* update, state_op* render)
{
    *update = ul_list_update;
    *render = ul_list_render;
    ul_list_render_intern = ul_list_render_complete;
    transfer_list_reset();
}

void ul_list_update()
{
    transfer_list_update(&ul_list_render_intern, ul_list_render_complete);
}

void ul_list_render()
{
    ul_list_render_intern();
}

void ul_list_render_dy()
{
    io_prompt();
}

void ul_list_render_complete()
{
    io_draw_screen("Uploads", 7, transfer_list_display);
    ul_list_render_intern = ul_list_render_dy;
}
