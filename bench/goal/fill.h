// The yardstick of the frame table: a plain fill of the visible words of a buffer.
#pragma once

#include <cstdint>
#include <vector>

namespace nimbrelle::bench {

// std::fill of every word, built with the compiler's vectorizer on (ordinary vector stores).
void FillWords(std::vector<uint32_t>& words, uint32_t value);

}  // namespace nimbrelle::bench
