// A few words of text drawn into 0x00RRGGBB pixels with a built-in 3x5 font (digits, capitals
// and a little punctuation), for the statistics box.
#pragma once

#include <cstdint>
#include <string_view>

#include "base/geometry.h"

namespace nimbrelle::host {

// The size of `text` on a plain backing one glyph-cell wide all round, `scale` pixels a dot.
FrameGeometry TextBoxSize(std::string_view text, int scale);

// Draws `text` in white on black into `pixels` (`size`, rows packed), clipped to it. Lower case
// letters are drawn as capitals; characters the font lacks as blanks.
void DrawTextBox(uint32_t* pixels, FrameGeometry size, std::string_view text, int scale);

}  // namespace nimbrelle::host
