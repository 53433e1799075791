#include "live/stats_box.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace nimbrelle::host {

namespace {

constexpr int GlyphWidth = 3;
constexpr int GlyphHeight = 5;
constexpr int Advance = GlyphWidth + 1;
constexpr int Margin = 1;

struct Glyph {
    char c;
    std::array<uint8_t, GlyphHeight> rows;  // bit 2 is the left column
};

constexpr Glyph Font[] = {
    {'0', {7, 5, 5, 5, 7}}, {'1', {2, 6, 2, 2, 7}}, {'2', {7, 1, 7, 4, 7}}, {'3', {7, 1, 7, 1, 7}},
    {'4', {5, 5, 7, 1, 1}}, {'5', {7, 4, 7, 1, 7}}, {'6', {7, 4, 7, 5, 7}}, {'7', {7, 1, 1, 1, 1}},
    {'8', {7, 5, 7, 5, 7}}, {'9', {7, 5, 7, 1, 7}}, {'.', {0, 0, 0, 0, 2}}, {':', {0, 2, 0, 2, 0}},
    {'/', {1, 1, 2, 4, 4}}, {'-', {0, 0, 7, 0, 0}}, {'A', {2, 5, 7, 5, 5}}, {'C', {3, 4, 4, 4, 3}},
    {'D', {6, 5, 5, 5, 6}}, {'E', {7, 4, 6, 4, 7}}, {'F', {7, 4, 6, 4, 4}}, {'L', {4, 4, 4, 4, 7}},
    {'M', {5, 7, 7, 5, 5}}, {'N', {6, 5, 5, 5, 5}}, {'O', {2, 5, 5, 5, 2}}, {'P', {6, 5, 6, 4, 4}},
    {'S', {3, 4, 2, 1, 6}}, {'T', {7, 2, 2, 2, 2}}, {'U', {5, 5, 5, 5, 7}}, {'Y', {5, 5, 2, 2, 2}},
};

const Glyph* Find(char c)
{
    const char upper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const Glyph& g : Font) {
        if (g.c == upper) return &g;
    }
    return nullptr;
}

}  // namespace

FrameGeometry TextBoxSize(std::string_view text, int scale)
{
    const int columns = static_cast<int>(text.size()) * Advance - 1 + 2 * Margin;
    return FrameGeometry{columns * scale, (GlyphHeight + 2 * Margin) * scale};
}

void DrawTextBox(uint32_t* pixels, FrameGeometry size, std::string_view text, int scale)
{
    const auto at = [&](int x, int y) -> uint32_t& {
        return pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(size.width) + static_cast<std::size_t>(x)];
    };
    const FrameGeometry box = TextBoxSize(text, scale);
    for (int y = 0; y < std::min(box.height, size.height); ++y) {
        for (int x = 0; x < std::min(box.width, size.width); ++x) at(x, y) = 0u;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const Glyph* glyph = Find(text[i]);
        if (glyph == nullptr) continue;
        const int left = (Margin + static_cast<int>(i) * Advance) * scale;
        for (int row = 0; row < GlyphHeight; ++row) {
            for (int column = 0; column < GlyphWidth; ++column) {
                if (((glyph->rows[static_cast<std::size_t>(row)] >> (GlyphWidth - 1 - column)) & 1) == 0) continue;
                for (int dy = 0; dy < scale; ++dy) {
                    for (int dx = 0; dx < scale; ++dx) {
                        const int x = left + column * scale + dx;
                        const int y = (Margin + row) * scale + dy;
                        if (x < size.width && y < size.height) at(x, y) = 0x00FFFFFFu;
                    }
                }
            }
        }
    }
}

}  // namespace nimbrelle::host
