// Downloads screen. Drawn as its frame (title, key bar, prompt) until its content is built.
#include <cstring>

#include "terminal/cmd.hpp"
#include "terminal/ctx.hpp"
#include "terminal/io.hpp"
#include "terminal/screens/screens.hpp"

static state_op dl_list_render_intern = dl_list_render_complete;

void dl_list_init(state_op* update, state_op* render)
{
    *update = dl_list_update;
    *render = dl_list_render;
    dl_list_render_intern = dl_list_render_complete;
    TermData* t = ctx_get();
    memset(t->sel_transfer, 0, sizeof t->sel_transfer);
    ctx_reset_scroll();
}

void dl_list_update()
{
    TermData* t = ctx_get();
    switch (t->key) {
    case KEY_ESC:
        state_set(t->channel != nullptr ? STATE_CHANNEL : STATE_START);
        break;
    default:
        cmd_fkey_eval(t->key);
        break;
    }
    state_update_tail(&dl_list_render_intern, dl_list_render_complete, true);
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
    io_clear();
    io_top_bar_title("Downloads", 9);
    io_empty_lines(ctx_get_term_h() - 3);
    io_key_bar();
    io_prompt();
    dl_list_render_intern = dl_list_render_dy;
}
