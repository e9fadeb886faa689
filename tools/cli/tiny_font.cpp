#include "cli/tiny_font.h"

#include <array>

namespace kavri::cli {
namespace {

// One row per entry, the leftmost pixel in bit 4.
using Glyph = std::array<uint8_t, kGlyphHeight>;

constexpr Glyph kDigits[10] = {
    {0b01110, 0b10001, 0b10011, 0b10101, 0b11001, 0b10001, 0b01110},  // 0
    {0b00100, 0b01100, 0b00100, 0b00100, 0b00100, 0b00100, 0b01110},  // 1
    {0b01110, 0b10001, 0b00001, 0b00010, 0b00100, 0b01000, 0b11111},  // 2
    {0b11111, 0b00010, 0b00100, 0b00010, 0b00001, 0b10001, 0b01110},  // 3
    {0b00010, 0b00110, 0b01010, 0b10010, 0b11111, 0b00010, 0b00010},  // 4
    {0b11111, 0b10000, 0b11110, 0b00001, 0b00001, 0b10001, 0b01110},  // 5
    {0b00110, 0b01000, 0b10000, 0b11110, 0b10001, 0b10001, 0b01110},  // 6
    {0b11111, 0b00001, 0b00010, 0b00100, 0b01000, 0b01000, 0b01000},  // 7
    {0b01110, 0b10001, 0b10001, 0b01110, 0b10001, 0b10001, 0b01110},  // 8
    {0b01110, 0b10001, 0b10001, 0b01111, 0b00001, 0b00010, 0b01100},  // 9
};
constexpr Glyph kMinus = {0, 0, 0, 0b01110, 0, 0, 0};
constexpr Glyph kLowerM = {0, 0, 0b11010, 0b10101, 0b10101, 0b10101, 0b10101};

const Glyph *glyph_of(char c) {
    if (c >= '0' && c <= '9') return &kDigits[c - '0'];
    if (c == '-') return &kMinus;
    if (c == 'm') return &kLowerM;
    return nullptr;
}

}  // namespace

void RgbCanvas::set(int x, int y, const uint8_t colour[3]) const {
    if (x < 0 || y < 0 || x >= width || y >= height) return;
    uint8_t *p =
        &rgb[(static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3];
    p[0] = colour[0];
    p[1] = colour[1];
    p[2] = colour[2];
}

void draw_text(const RgbCanvas &canvas, int x, int y, std::string_view text,
               const uint8_t colour[3]) {
    for (char c : text) {
        if (const Glyph *g = glyph_of(c)) {
            for (int row = 0; row < kGlyphHeight; ++row)
                for (int col = 0; col < kGlyphWidth; ++col)
                    if ((*g)[static_cast<size_t>(row)] & (1u << (kGlyphWidth - 1 - col)))
                        canvas.set(x + col, y + row, colour);
        }
        x += kGlyphAdvance;
    }
}

}  // namespace kavri::cli
