#include "fill.h"

#include <algorithm>

namespace nimbrelle::bench {

void FillWords(std::vector<uint32_t>& words, uint32_t value) { std::fill(words.begin(), words.end(), value); }

}  // namespace nimbrelle::bench
