// Uploads screen: the files this host offers or sent, with Delete to remove.
#include "terminal/screens/screens.hpp"
#include "terminal/screens/transfer_list.hpp"

static ScreenFrame frame = {ul_list_render_complete, ul_list_render_dy, ul_list_render_complete};

void ul_list_init(state_op* update, state_op* render)
{
    frame_init(&frame, update, render, ul_list_update, ul_list_render);
    transfer_list_reset();
}

void ul_list_update()
{
    transfer_list_update(&UL_SCREEN, &frame);
}

void ul_list_render()
{
    frame_render(&frame);
}

void ul_list_render_dy()
{
    frame_render_dy();
}

void ul_list_render_complete()
{
    frame_draw(&frame, UL_SCREEN.title, ul_list_display);
}
