#include "terminal/state_machine.hpp"

#include <array>
#include <cstring>

#include "foundation/log.hpp"
#include "terminal/cmd.hpp"
#include "terminal/ctx.hpp"
#include "terminal/io.hpp"
#include "terminal/keys.hpp"
#include "terminal/line.hpp"
#include "terminal/screens/screens.hpp"

// Init operation of every screen state, indexed by state - 1.
static constexpr std::array<state_init_op, 9> screen_inits = {
    start_init,   network_list_init, lan_list_init, channel_list_init, peer_list_init,
    channel_init, dl_list_init,      ul_list_init,  help_init,
};
static_assert(screen_inits.size() == STATE_EXIT - 1, "one init operation per screen state");

static TermState term_state;

void state_init()
{
    term_state.current = 0;
    term_state.requested = STATE_START;
    state_change();
}

void state_set(uint32_t s)
{
    term_state.requested = s;
}

uint32_t state_get()
{
    return term_state.current;
}

void state_update()
{
    if (term_state.update != nullptr)
        term_state.update();
}

void state_render()
{
    if (term_state.render != nullptr)
        term_state.render();
}

void state_change()
{
    if (term_state.requested == 0)
        return;
    term_state.current = term_state.requested;
    term_state.requested = 0;
    if (term_state.current >= STATE_START && term_state.current < STATE_EXIT)
        screen_inits[term_state.current - 1](&term_state.update, &term_state.render);
    else if (term_state.current != STATE_EXIT)
        jx_log("Unknow terminal state");
}

void state_update_tail(state_op* render_intern, state_op render_complete, bool clear_input)
{
    TermData* t = ctx_get();
    cmd_fkey_eval(t->key);
    t->key = KEY_NONE;
    if (t->refresh)
        *render_intern = render_complete;
    if (clear_input && t->input[0] != '\0')
        line_clear(t);
}
