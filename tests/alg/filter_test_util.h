// Helpers shared by the filter tests: images, a seeded generator, clamped
// access and a log capture.
#pragma once

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace kavri::test {

using Image16 = std::vector<uint16_t>;

inline Image16 random_image(int w, int h, uint32_t seed, uint16_t lo = 0, uint16_t hi = 65535) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(lo, hi);
    Image16 img(static_cast<size_t>(w) * static_cast<size_t>(h));
    for (auto &v : img) v = static_cast<uint16_t>(dist(rng));
    return img;
}

inline uint16_t at(const Image16 &img, int w, int h, int x, int y) {
    x = std::clamp(x, 0, w - 1);
    y = std::clamp(y, 0, h - 1);
    return img[static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)];
}

}  // namespace kavri::test
