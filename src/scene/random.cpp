#include "scene/random.h"

namespace nimbrelle {

namespace {
uint32_t State = 1;
}  // namespace

int32_t NextRandom()
{
    State = State * 214013u + 2531011u;
    return static_cast<int32_t>((State >> 16) & 0x7FFFu);
}

uint32_t RandomState() { return State; }

void SetRandomState(uint32_t state) { State = state; }

}  // namespace nimbrelle
