#include "cli/images.h"

#include <kavri.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "cli/cli_error.h"

namespace kavri::cli {
namespace {

constexpr int32_t kPaletteEntries = 1024;
constexpr double kLowPercentile = 0.02, kHighPercentile = 0.98, kGrayPercentile = 0.99;
constexpr int32_t kFallbackMinMm = 0, kFallbackMaxMm = 4000;
constexpr float kMmPerMetre = 1000.0f;
// Distances the colour map treats as markers start here (mm).
constexpr int32_t kFirstMarkerMm = 60000;

template <typename T>
T percentile(std::vector<T> &v, double q) {
    const size_t k = static_cast<size_t>(q * static_cast<double>(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(k), v.end());
    return v[k];
}

int32_t to_mm(float d_m) {
    return static_cast<int32_t>(std::lround(d_m * kMmPerMetre));
}

// The colour map with its palette, freed when it goes.
struct ColourMap {
    kv_cmap_t map{};
    explicit ColourMap(DistanceRange r) {
        kv_cmap_init(&map, kPaletteEntries);
        kv_cmap_set_range(&map, r.min_mm, r.max_mm);
    }
    ~ColourMap() { kv_cmap_uninit(&map); }
    void rgb(float d_m, uint8_t out[3]) const {
        // Pixels without a distance keep the marker values the map knows;
        // NaN and other oddities are shown black.
        int32_t mm = std::isfinite(d_m) && d_m >= 0.0f && d_m < 70.0f ? to_mm(d_m) : -1;
        if (mm >= kFirstMarkerMm && mm != KV_CMAP_MARK_INVALID && mm != KV_CMAP_MARK_65400 &&
            mm != KV_CMAP_MARK_NO_DIST)
            mm = -1;
        const uint32_t c = mm < 0 ? 0u : kv_cmap_get_color(&map, mm);
        out[0] = static_cast<uint8_t>(c);
        out[1] = static_cast<uint8_t>(c >> 8);
        out[2] = static_cast<uint8_t>(c >> 16);
    }
};

}  // namespace

DistanceRange auto_range(std::span<const float> dist_m) {
    std::vector<int32_t> mm;
    mm.reserve(dist_m.size());
    for (float d : dist_m)
        if (valid_distance(d)) mm.push_back(to_mm(d));
    if (mm.size() < 2) return {kFallbackMinMm, kFallbackMaxMm};
    DistanceRange r{percentile(mm, kLowPercentile), percentile(mm, kHighPercentile)};
    if (r.max_mm <= r.min_mm) r.max_mm = r.min_mm + 1;
    return r;
}

DistanceRange parse_range(const std::string &text) {
    int a = 0, b = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%d:%d%c", &a, &b, &tail) != 2 || a < 0 || b <= a)
        throw CliError(kExitUsage, "--range '" + text + "' is not MIN:MAX in mm with MIN < MAX",
                       "e.g. --range 300:5000");
    return {a, b};
}

std::vector<uint8_t> colourise(std::span<const float> dist_m, DistanceRange range) {
    const ColourMap map(range);
    std::vector<uint8_t> rgb(dist_m.size() * 3);
    for (size_t i = 0; i < dist_m.size(); ++i) map.rgb(dist_m[i], &rgb[3 * i]);
    return rgb;
}

std::vector<uint8_t> gray_to_8bit(std::span<const float> gray) {
    std::vector<float> finite;
    finite.reserve(gray.size());
    for (float g : gray)
        if (std::isfinite(g) && g > 0.0f) finite.push_back(g);
    const float top = finite.empty() ? 1.0f : std::max(1.0f, percentile(finite, kGrayPercentile));
    std::vector<uint8_t> out(gray.size());
    for (size_t i = 0; i < gray.size(); ++i) {
        const float g = std::isfinite(gray[i]) ? gray[i] : 0.0f;
        out[i] = static_cast<uint8_t>(std::clamp(g * 255.0f / top, 0.0f, 255.0f));
    }
    return out;
}

void write_png(const std::string &path, uint32_t width, uint32_t height, int channels,
               std::span<const uint8_t> pixels) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    image.format = channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    if (pixels.size() < PNG_IMAGE_SIZE(image))
        throw CliError(kExitFailure, "internal: image buffer too small for " + path);
    if (!png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr)) {
        const std::string why = image.message;
        png_image_free(&image);
        throw CliError(kExitFileError, "cannot write " + path + ": " + why,
                       "check that the folder exists and is writable");
    }
}

}  // namespace kavri::cli
