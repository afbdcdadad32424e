#include "terminal/state_machine.hpp"

#include <array>

#include "foundation/log.hpp"
#include "terminal/screens/screens.hpp"

// Init operation of every screen state, indexed by state - 1.
static constexpr std::array<state_init_op, 9> screen_inits = {
    start_init,   network_list_init, lan_list_init, channel_list_init, peer_list_init,
    channel_init, dl_list_init,      ul_list_init,  help_init,
};
static_assert(screen_inits.size() == STATE_EXIT - 1, "one init operation per screen state");

void state_init()
{
    TermState* s = state_record();
    s->current = 0;
    s->requested = STATE_START;
    state_change();
}

void state_change()
{
    TermState* s = state_record();
    if (s->requested == 0)
        return;
    s->current = s->requested;
    s->requested = 0;
    if (s->current >= STATE_START && s->current < STATE_EXIT)
        screen_inits[s->current - 1](&s->update, &s->render);
    else if (s->current != STATE_EXIT)
        jx_log("Unknow terminal state");
}
