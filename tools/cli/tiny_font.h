// A 5 x 7 bitmap font of the few characters the pictures label with:
// digits, '-', 'm' and blank.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace kavri::cli {

constexpr int kGlyphWidth = 5, kGlyphHeight = 7;
// Advance from one character to the next: the glyph and one blank column.
constexpr int kGlyphAdvance = kGlyphWidth + 1;

struct RgbCanvas {
    std::span<uint8_t> rgb;  // 3 bytes a pixel, rows without gaps
    int width = 0, height = 0;

    void set(int x, int y, const uint8_t colour[3]) const;
};

// Draws text with its top-left corner at (x, y), clipped to the canvas;
// characters the font lacks are left blank.
void draw_text(const RgbCanvas &canvas, int x, int y, std::string_view text,
               const uint8_t colour[3]);

}  // namespace kavri::cli
