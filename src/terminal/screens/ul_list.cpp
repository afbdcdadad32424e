// Uploads screen: the files this host offers or sent, with Delete to remove.
#include "terminal/io.hpp"
#include "terminal/screens/screens.hpp"
#include "terminal/screens/transfer_list.hpp"

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
    transfer_list_update(&UL_SCREEN, &ul_list_render_intern, ul_list_render_complete);
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
    io_draw_screen(UL_SCREEN.title, UL_SCREEN.title_len, ul_list_display);
    ul_list_render_intern = ul_list_render_dy;
}
