// Downloads screen: the files other hosts offer or sent, with Enter to accept, Ctrl-T to verify
// and Delete to remove.
#include "terminal/io.hpp"
#include "terminal/screens/screens.hpp"
#include "terminal/screens/transfer_list.hpp"

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
    transfer_list_update(&DL_SCREEN, &dl_list_render_intern, dl_list_render_complete);
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
    io_draw_screen(DL_SCREEN.title, DL_SCREEN.title_len, dl_list_display);
    dl_list_render_intern = dl_list_render_dy;
}
