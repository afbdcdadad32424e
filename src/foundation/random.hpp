// random: the source of every id the program makes (instance id, message ids, transfer ids, the
// default user name): the system's random source (getrandom), so that no id can be predicted from
// the ones a host has published. Owns a small pool of drawn bytes and the repeatable-sequence seam;
// calls only the C library.
#pragma once

#include <cstddef>
#include <cstdint>

// n random bytes, each 0..255.
void jx_random_fill(uint8_t* buf, size_t n);
// A uniform value in 0 .. bound - 1 (0 for bound 0), without the bias of a plain modulo.
uint32_t jx_random_below(uint32_t bound);
// Seam for tests and the fuzz harness: a nonzero seed makes every later draw a fixed sequence of
// that seed; 0 returns to the system's random source.
void jx_random_repeatable(uint64_t seed);
