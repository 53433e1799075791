// The scene's private random source: 15-bit values from a linear congruential generator,
// state = state * 214013 + 2531011 (mod 2^32), value = bits 16-30 of the new state.
// The state is 1 when the library loads and is never reseeded, so every load builds the same
// first scene on every platform and each further scene continues the sequence.
#pragma once

#include <cstdint>

namespace nimbrelle {

// Next value, 0-32767.
int32_t NextRandom();

// The generator's state, for tests that need to replay a sequence.
uint32_t RandomState();
void SetRandomState(uint32_t state);

}  // namespace nimbrelle
