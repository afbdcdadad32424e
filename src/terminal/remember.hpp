// remember: what the terminal keeps between runs (jx_internal/networks): the networks the user
// joined, joined again at start, and the channel opened last, which F8 opens after a restart.
// Calls storage (the file), the engine's registry (joining, channels), ctx and log; how a refused
// join is told is the caller's.
#pragma once

#include <cstdint>

struct JXChannel;

// At start: joins every remembered network again (a refusal goes to refused, when given, and the
// network stays remembered) and selects the channel opened last when it exists; a direct channel
// with a peer not heard yet leaves nothing selected and waits for remember_reopen.
using remember_refused_fn = void (*)(uint8_t rc, const char* addr);
void remember_load(remember_refused_fn refused);
// The user joined a network, or left it (Delete on the networks screen).
void remember_join(uint32_t addr);
void remember_forget(uint32_t addr);
// The channel screen opened on ch.
void remember_channel(const JXChannel* ch);
// F8 before anything else was opened since a start whose last channel was a direct one: opens it
// once its peer is back. True when ctx.channel is the one to show; false with the reason shown.
bool remember_reopen();
