// Colour map record: palette, value range and scale factors.
#include <cstdint>
#include <cstdlib>

#include "alg/cmap.h"
#include "alg/cmap_palette.h"
#include "alg/conv_trunc.h"
#include "kavri/cmap.h"
#include "core/log_internal.h"

namespace {

constexpr int32_t kDefaultMin = 0;
constexpr int32_t kDefaultMax = 4000;
constexpr double kGraySteps = 255.0;
constexpr uint32_t kBlack = 0x000000u;
constexpr uint32_t kWhite = 0xFFFFFFu;
constexpr uint32_t kGrayChannels = 0x010101u;

// The colours of the distance markers, or false for an ordinary value.
bool marker_color(int32_t v, uint32_t *color) {
    if (v == KV_CMAP_MARK_65400) {
        *color = KV_CMAP_COLOR_65400;
        return true;
    }
    if (v == KV_CMAP_MARK_NO_DIST) {
        *color = KV_CMAP_COLOR_NO_DIST;
        return true;
    }
    return false;
}

}  // namespace

namespace kavri {

void cmap_init(kv_cmap_t *map, int32_t count) {
    if (map == nullptr) {
        KV_ERR("[kv_cmap_init] map is NULL\n");
        return;
    }
    map->count = 0;
    map->palette = nullptr;
    if (count > 0) {
        map->palette =
            static_cast<uint32_t *>(std::malloc(static_cast<size_t>(count) * sizeof(uint32_t)));
    }
    if (map->palette == nullptr) {
        // Without a palette no entry is computed or read: ordinary values are black.
        KV_ERR("[kv_cmap_init] palette of %d entries cannot be allocated\n", count);
    } else {
        map->count = count;
        for (int32_t i = 0; i < count; ++i) map->palette[i] = kavri::cmap_palette_entry(i, count);
    }
    map->min = kDefaultMin;
    map->max = kDefaultMax;
    map->gray_scale = static_cast<float>(kGraySteps / (kDefaultMax - kDefaultMin));
    map->color_scale =
        static_cast<float>(static_cast<double>(map->count) / (kDefaultMax - kDefaultMin));
}

void cmap_uninit(kv_cmap_t *map) {
    if (map == nullptr) return;
    std::free(map->palette);
    // Cleared so that a later read or a second release cannot touch freed memory.
    map->palette = nullptr;
    map->count = 0;
}

void cmap_set_range(kv_cmap_t *map, int32_t a, int32_t b) {
    if (map == nullptr) return;
    if (a == b) {
        map->gray_scale = static_cast<float>(kGraySteps);
        map->color_scale = static_cast<float>(map->count);
        return;
    }
    map->min = a < b ? a : b;
    map->max = a < b ? b : a;
    const double span = static_cast<double>(static_cast<int64_t>(map->max) - map->min);
    map->gray_scale = static_cast<float>(kGraySteps / span);
    map->color_scale = static_cast<float>(static_cast<double>(map->count) / span);
}

uint32_t cmap_get_color(const kv_cmap_t *map, int32_t v) {
    uint32_t color = kBlack;
    if (v == KV_CMAP_MARK_INVALID) return kBlack;
    if (marker_color(v, &color)) return color;
    if (map == nullptr || map->palette == nullptr || map->count <= 0) return kBlack;
    if (v <= map->min || v > map->max) return kBlack;
    // Near values (just above min) take the last entries: the palette is read backwards.
    const auto offset = static_cast<float>(static_cast<int64_t>(v) - map->min);
    const int64_t step = kavri::trunc_indefinite<int32_t>(static_cast<double>(offset) *
                                                          static_cast<double>(map->color_scale));
    const int64_t k = map->count - step;
    if (k <= 0) return map->palette[0];
    if (k >= map->count) return map->palette[map->count - 1];
    return map->palette[k];
}

}  // namespace kavri

extern "C" {

KAVRI_API void kv_cmap_init(kv_cmap_t *map, int32_t count) {
    kavri::cmap_init(map, count);
}

KAVRI_API void kv_cmap_uninit(kv_cmap_t *map) {
    kavri::cmap_uninit(map);
}

KAVRI_API void kv_cmap_set_range(kv_cmap_t *map, int32_t a, int32_t b) {
    kavri::cmap_set_range(map, a, b);
}

KAVRI_API uint32_t kv_cmap_get_color(const kv_cmap_t *map, int32_t v) {
    return kavri::cmap_get_color(map, v);
}

KAVRI_API uint32_t kv_cmap_get_gray(const kv_cmap_t *map, int32_t v) {
    uint32_t color = kBlack;
    if (marker_color(v, &color)) return color;
    if (map == nullptr) return kBlack;
    if (v > map->max) return kWhite;
    if (v < map->min) return kBlack;
    // The value itself, not its offset from min, is scaled.
    const int32_t g = kavri::trunc_indefinite<int32_t>(static_cast<double>(static_cast<float>(v)) *
                                                       static_cast<double>(map->gray_scale));
    return (static_cast<uint32_t>(g) & 0xFFu) * kGrayChannels;
}

}  // extern "C"
