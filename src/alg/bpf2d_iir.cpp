// Recursive bilateral filter: causal and anti-causal first-order recursions
// along rows and then columns whose feedback is weakened by a range weight of
// neighbouring source values, so smoothing stops at depth steps. Values and
// weights follow the same recursions; their quotient is the result.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "filter_common.h"
#include "filter_conv.h"
#include "alg/filter.h"

namespace kavri::filter {
namespace {

constexpr double kSqrt2 = 1.4142135623730951;
constexpr float kHalf = 0.5f;

float *alloc_floats(size_t n) {
    return static_cast<float *>(std::malloc(std::max<size_t>(n, 1) * sizeof(float)));
}

// Range weight of two neighbouring source values.
struct RangeWeight {
    const float *table;
    float low, high;
    float operator()(uint16_t p, uint16_t q) const {
        float d = std::fabs(static_cast<float>(p) - static_cast<float>(q));
        d = std::min(std::max(d, low), high);
        const auto k = static_cast<uint16_t>(static_cast<int32_t>(d - low));
        return table[k];
    }
};

void horizontal_pass(kv_bpf2d_iir_t &f, const RangeWeight &rw, const uint16_t *src) {
    const int w = static_cast<int>(f.width);
    const float alpha = f.alpha_x;
    const float gain = 1.0f - alpha;
    float *v = f.line_value;
    float *fw = f.line_weight;
    for (uint32_t y = 0; y < f.height; ++y) {
        const size_t off = size_t{y} * f.width;
        const uint16_t *x = src + off;
        float *h = f.img_h + off;
        float *g = f.img_h_weight + off;
        v[0] = x[0];
        fw[0] = 1.0f;
        for (int n = 1; n < w; ++n) {
            const float a = alpha * rw(x[n], x[n - 1]);
            v[n] = a * v[n - 1] + gain * static_cast<float>(x[n]);
            fw[n] = a * fw[n - 1] + gain;
        }
        float va = x[w - 1], fa = 1.0f;
        h[w - 1] = (v[w - 1] + va) * kHalf;
        g[w - 1] = (fw[w - 1] + fa) * kHalf;
        for (int n = w - 2; n >= 0; --n) {
            const float a = alpha * rw(x[n], x[n + 1]);
            va = a * va + gain * static_cast<float>(x[n]);
            fa = a * fa + gain;
            h[n] = (v[n] + va) * kHalf;
            g[n] = (fw[n] + fa) * kHalf;
        }
    }
}

void vertical_pass(kv_bpf2d_iir_t &f, const RangeWeight &rw, const uint16_t *src) {
    const size_t w = f.width;
    const float alpha = f.alpha_y;
    const float gain = 1.0f - alpha;
    float *res = f.img_result, *vw = f.img_v_weight, *h = f.img_h, *g = f.img_h_weight;
    std::memcpy(res, h, w * sizeof(float));
    std::memcpy(vw, g, w * sizeof(float));
    for (size_t y = 1; y < f.height; ++y) {
        const size_t cur = y * w, prev = cur - w;
        for (size_t c = 0; c < w; ++c) {
            const float a = alpha * rw(src[cur + c], src[prev + c]);
            res[cur + c] = gain * h[cur + c] + a * res[prev + c];
            vw[cur + c] = gain * g[cur + c] + a * vw[prev + c];
        }
    }
    for (size_t y = f.height - 1; y-- > 0;) {
        const size_t cur = y * w, next = cur + w;
        for (size_t c = 0; c < w; ++c) {
            const float a = alpha * rw(src[cur + c], src[next + c]);
            h[cur + c] = gain * h[cur + c] + a * h[next + c];
            g[cur + c] = gain * g[cur + c] + a * g[next + c];
        }
    }
    const size_t n = w * f.height;
    for (size_t i = 0; i < n; ++i) {
        vw[i] = (vw[i] + g[i]) * kHalf;
        res[i] = ((res[i] + h[i]) * kHalf) / vw[i];
    }
}

bool buffers_ready(const kv_bpf2d_iir_t &f) {
    return f.range_table != nullptr && f.img_result != nullptr && f.img_h != nullptr &&
           f.img_h_weight != nullptr && f.img_v_weight != nullptr && f.line_value != nullptr &&
           f.line_weight != nullptr;
}

}  // namespace
}  // namespace kavri::filter

using namespace kavri::filter;

void kavri::filter::bpf2d_iir_uninit(kv_bpf2d_iir_t *bpf) {
    if (bpf == nullptr) return;
    float *owned[] = {bpf->range_table,  bpf->img_result,   bpf->img_h,
                      bpf->img_h_weight, bpf->img_v_weight, bpf->line_value,
                      bpf->line_weight,  bpf->line_spare0,  bpf->line_spare1};
    for (float *p : owned) std::free(p);
}

extern "C" KAVRI_API void kv_bpf2d_iir_uninit(kv_bpf2d_iir_t *bpf) {
    kavri::filter::bpf2d_iir_uninit(bpf);
}

extern "C" KAVRI_API int kv_bpf2d_iir_init(kv_bpf2d_iir_t *bpf, uint32_t width, uint32_t height,
                                           float sigma_spatial, float sigma_range,
                                           uint16_t range_low, uint16_t range_high) {
    if (bpf == nullptr) {
        KV_ERR("[%s] wrong parameters\n", __func__);
        return 0;
    }
    std::memset(bpf, 0, sizeof *bpf);
    if (width > KV_BPF2D_MAX_SIZE || height > KV_BPF2D_MAX_SIZE) {
        KV_ERR("[%s] wrong image width or height: w=%u, h=%u\n", __func__, width, height);
        return 0;
    }
    // A reversed range would make the weight table's size wrap.
    if (range_low > range_high) {
        KV_ERR("[%s] wrong range: low=%u > high=%u\n", __func__, unsigned{range_low},
               unsigned{range_high});
        return 0;
    }
    // Non-positive sigmas give a table of NaN or an unstable recursion.
    if (!(sigma_spatial > 0.0f) || !(sigma_range > 0.0f)) {
        KV_ERR("[%s] wrong sigma: spatial=%f, range=%f\n", __func__, double{sigma_spatial},
               double{sigma_range});
        return 0;
    }
    bpf->width = width;
    bpf->height = height;
    bpf->sigma_spatial = sigma_spatial;
    bpf->sigma_range = sigma_range;
    bpf->range_low = range_low;
    bpf->range_high = range_high;
    bpf->count = uint32_t{range_high} - range_low + 1u;
    bpf->range_table = alloc_floats(bpf->count);
    if (bpf->range_table == nullptr) {
        KV_ERR("[%s] cannot malloc buffers for BPF\n", __func__);
        return 0;
    }
    const float divisor = sigma_range * static_cast<float>(bpf->count);
    const double inv = 1.0 / static_cast<double>(divisor);
    for (uint32_t i = 0; i < bpf->count; ++i)
        bpf->range_table[i] = static_cast<float>(std::exp(-static_cast<double>(i) * inv));
    bpf->alpha_x = static_cast<float>(
        std::exp(-kSqrt2 / static_cast<double>(sigma_spatial * static_cast<float>(width))));
    bpf->alpha_y = static_cast<float>(
        std::exp(-kSqrt2 / static_cast<double>(sigma_spatial * static_cast<float>(height))));

    const size_t pixels = size_t{width} * height;
    bpf->img_result = alloc_floats(pixels);
    bpf->img_h = alloc_floats(pixels);
    bpf->img_h_weight = alloc_floats(pixels);
    bpf->img_v_weight = alloc_floats(pixels);
    bpf->line_value = alloc_floats(2 * size_t{width});
    bpf->line_weight = alloc_floats(2 * size_t{width});
    bpf->line_spare0 = alloc_floats(width);
    bpf->line_spare1 = alloc_floats(width);
    if (!buffers_ready(*bpf) || bpf->line_spare0 == nullptr || bpf->line_spare1 == nullptr) {
        KV_ERR("[%s] cannot malloc buffers for BPF\n", __func__);
        bpf2d_iir_uninit(bpf);
        std::memset(bpf, 0, sizeof *bpf);
        return 0;
    }
    return 1;
}

extern "C" KAVRI_API void kv_bpf2d_iir(kv_bpf2d_iir_t *bpf, uint16_t *dst, const uint16_t *src,
                                       uint32_t width, uint32_t height) {
    if (bpf == nullptr || dst == nullptr || src == nullptr || width != bpf->width ||
        height != bpf->height || !buffers_ready(*bpf)) {
        KV_ERR("[%s] wrong parameters\n", __func__);
        return;
    }
    if (width == 0 || height == 0) return;
    const RangeWeight rw{bpf->range_table, bpf->range_low, bpf->range_high};
    horizontal_pass(*bpf, rw, src);
    vertical_pass(*bpf, rw, src);
    const size_t n = size_t{width} * height;
    for (size_t i = 0; i < n; ++i) dst[i] = f32_to_u16_trunc(bpf->img_result[i]);
}
