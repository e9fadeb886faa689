// Turning float images into pictures: a colour-mapped distance image and an
// 8-bit gray image, written as PNG with libpng.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kavri::cli {

struct DistanceRange {
    int32_t min_mm = 0, max_mm = 0;
};

// True for a distance (metres) that measures something: 0 < d < 60.
inline bool valid_distance(float d) {
    return d > 0.0f && d < 60.0f;
}

// The 2nd to 98th percentile of the valid distances (whole image when few).
DistanceRange auto_range(std::span<const float> dist_m);
// "MIN:MAX" in mm; throws CliError.
DistanceRange parse_range(const std::string &text);

// RGB bytes (3 a pixel) of the distances through the library's colour map
// over the range. Valid distances outside the range take the colour of its
// nearer end; pixels without a distance are black or keep the map's marker
// colours.
std::vector<uint8_t> colourise(std::span<const float> dist_m, DistanceRange range);
// The distance picture as written: the colourised image (width x height RGB)
// at the top left, and on a dark panel to its right a colour bar over the
// range, far at the top and near at the bottom, labelled in millimetres at
// both ends and in the middle. Pictures lower than the labels need are
// padded below with the panel colour.
struct Picture {
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> rgb;  // 3 bytes a pixel
};
Picture with_colour_bar(std::span<const uint8_t> rgb, uint32_t width, uint32_t height,
                        DistanceRange range);
// 8-bit gray: 0 maps to black, the 99th percentile to white.
std::vector<uint8_t> gray_to_8bit(std::span<const float> gray);

// Writes an 8-bit RGB (channels 3) or gray (channels 1) PNG; throws CliError.
void write_png(const std::string &path, uint32_t width, uint32_t height, int channels,
               std::span<const uint8_t> pixels);

}  // namespace kavri::cli
