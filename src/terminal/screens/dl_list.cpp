// Downloads screen: the files other hosts offer or sent, with Enter to accept, Ctrl-T to verify
// and Delete to remove.
#include "terminal/screens/screens.hpp"
#include "terminal/screens/transfer_list.hpp"

static ScreenFrame frame = {dl_list_render_complete, dl_list_render_dy, dl_list_render_complete};

void dl_list_init(state_op* update, state_op* render)
{
    frame_init(&frame, update, render, dl_list_update, dl_list_render);
    transfer_list_reset();
}

void dl_list_update()
{
    transfer_list_update(&DL_SCREEN, &frame);
}

void dl_list_render()
{
    frame_render(&frame);
}

void dl_list_render_dy()
{
    frame_render_dy();
}

void dl_list_render_complete()
{
    frame_draw(&frame, DL_SCREEN.title, dl_list_display);
}
