#include "cli/images.h"

#include <kavri.h>
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli/cli_error.h"
#include "cli/tiny_font.h"

namespace kavri::cli {
namespace {

constexpr int32_t kPaletteEntries = 1024;
constexpr double kLowPercentile = 0.02, kHighPercentile = 0.98, kGrayPercentile = 0.99;
constexpr int32_t kFallbackMinMm = 0, kFallbackMaxMm = 4000;
constexpr float kMmPerMetre = 1000.0f;
// The marker values (65300 .. 65500 mm) lie below this, in metres.
constexpr float kMarkerCeilingM = 70.0f;

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
        // The map blacks out values outside its range, so a measured
        // distance is clamped into the range first: the nearest and farthest
        // pixels take the end colours and black stays for pixels without a
        // distance. The map's lower bound is exclusive, hence min + 1.
        // Pixels without a distance keep the marker colours the map knows;
        // NaN and other oddities are shown black.
        int32_t mm = -1;
        if (valid_distance(d_m)) {
            mm = std::clamp(to_mm(d_m), map.min + 1, map.max);
        } else if (std::isfinite(d_m) && d_m >= 0.0f && d_m < kMarkerCeilingM) {
            const int32_t marker = to_mm(d_m);
            if (marker == KV_CMAP_MARK_INVALID || marker == KV_CMAP_MARK_65400 ||
                marker == KV_CMAP_MARK_NO_DIST)
                mm = marker;
        }
        put(mm, out);
    }
    // The colour of mm as the map gives it; negative is black.
    void put(int32_t mm, uint8_t out[3]) const {
        const uint32_t c = mm < 0 ? 0u : kv_cmap_get_color(&map, mm);
        out[0] = static_cast<uint8_t>(c);
        out[1] = static_cast<uint8_t>(c >> 8);
        out[2] = static_cast<uint8_t>(c >> 16);
    }
};

// The colour bar panel right of the picture.
constexpr int kPanelGap = 6;  // picture to bar
constexpr int kBarWidth = 12;
// A tick between bar and label would read as a minus sign: a gap only.
constexpr int kLabelGap = 4;
constexpr int kPanelMargin = 4;
constexpr int kLabelHalfHeight = kGlyphHeight / 2;
// Three labels (far end, middle, near end) with a blank row between them.
constexpr int kBarLabels = 3;
constexpr int kMinPictureHeight =
    2 * (kPanelMargin + kLabelHalfHeight) + kBarLabels * (kGlyphHeight + 1);
constexpr uint8_t kPanelColour[3] = {40, 40, 40};
constexpr uint8_t kInkColour[3] = {230, 230, 230};
constexpr const char *kLabelUnit = " mm";

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

Picture with_colour_bar(std::span<const uint8_t> rgb, uint32_t width, uint32_t height,
                        DistanceRange range) {
    const ColourMap map(range);
    const int32_t far_mm = map.map.max, near_mm = map.map.min;
    const int w = static_cast<int>(width), h = static_cast<int>(height);
    const int out_h = std::max(h, kMinPictureHeight);
    const int bar_x = w + kPanelGap, bar_top = kPanelMargin + kLabelHalfHeight;
    const int bar_bottom = out_h - 1 - kPanelMargin - kLabelHalfHeight;
    // Row y of the bar shows this distance: far at the top, near at the bottom.
    const auto mm_at = [&](int y) {
        return static_cast<int32_t>(far_mm - static_cast<int64_t>(far_mm - near_mm) *
                                                 (y - bar_top) / (bar_bottom - bar_top));
    };
    const int rows[kBarLabels] = {bar_top, (bar_top + bar_bottom) / 2, bar_bottom};
    std::string labels[kBarLabels];
    size_t label_chars = 0;
    for (int i = 0; i < kBarLabels; ++i) {
        labels[i] = std::to_string(mm_at(rows[i])) + kLabelUnit;
        label_chars = std::max(label_chars, labels[i].size());
    }
    const int label_x = bar_x + kBarWidth + kLabelGap;
    const int out_w = label_x + static_cast<int>(label_chars) * kGlyphAdvance + kPanelMargin;

    Picture pic;
    pic.width = static_cast<uint32_t>(out_w);
    pic.height = static_cast<uint32_t>(out_h);
    pic.rgb.resize(static_cast<size_t>(out_w) * static_cast<size_t>(out_h) * 3);
    for (size_t i = 0; i < pic.rgb.size(); i += 3) std::memcpy(&pic.rgb[i], kPanelColour, 3);
    const size_t row_bytes = static_cast<size_t>(w) * 3;
    for (int y = 0; y < h && row_bytes * static_cast<size_t>(y + 1) <= rgb.size(); ++y)
        std::memcpy(&pic.rgb[static_cast<size_t>(y) * static_cast<size_t>(out_w) * 3],
                    &rgb[static_cast<size_t>(y) * row_bytes], row_bytes);

    const RgbCanvas canvas{pic.rgb, out_w, out_h};
    for (int y = bar_top; y <= bar_bottom; ++y) {
        uint8_t colour[3];
        // Clamped as the picture's pixels are: the near end is min + 1.
        map.put(std::clamp(mm_at(y), near_mm + 1, far_mm), colour);
        for (int x = bar_x; x < bar_x + kBarWidth; ++x) canvas.set(x, y, colour);
    }
    for (int i = 0; i < kBarLabels; ++i)
        draw_text(canvas, label_x, rows[i] - kLabelHalfHeight, labels[i], kInkColour);
    return pic;
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
