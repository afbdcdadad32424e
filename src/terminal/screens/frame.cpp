#include "terminal/screens/frame.hpp"

#include "terminal/cmd.hpp"
#include "terminal/ctx.hpp"
#include "terminal/io.hpp"
#include "terminal/keys.hpp"
#include "terminal/line.hpp"

void frame_init(ScreenFrame* f, state_op* update, state_op* render, state_op own_update, state_op own_render)
{
    *update = own_update;
    *render = own_render;
    f->render_intern = f->render_complete;
}

void frame_redraw(ScreenFrame* f)
{
    f->render_intern = f->render_complete;
}

void frame_render(const ScreenFrame* f)
{
    f->render_intern();
}

void frame_render_dy()
{
    io_prompt();
}

void frame_draw(ScreenFrame* f, const char* title, void (*content)())
{
    io_clear();
    if (title != nullptr)
        io_top_bar_title(title);
    content();
    io_key_bar();
    io_prompt();
    f->render_intern = f->render_dy;
}

void frame_update_tail(ScreenFrame* f, bool clear_input)
{
    TermData* t = ctx_get();
    cmd_fkey_eval(t->key);
    t->key = KEY_NONE;
    if (t->refresh)
        frame_redraw(f);
    if (clear_input && t->input[0] != '\0')
        line_clear(t);
}
