#include "terminal/state.hpp"

static TermState state;

TermState* state_record()
{
    return &state;
}

void state_set(uint32_t s)
{
    state.requested = s;
}

uint32_t state_get()
{
    return state.current;
}

void state_update()
{
    if (state.update != nullptr)
        state.update();
}

void state_render()
{
    if (state.render != nullptr)
        state.render();
}
