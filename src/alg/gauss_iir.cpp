// Recursive gaussian (Young - van Vliet): a third-order forward and backward
// recursion along every row and then every column, at a fixed cost per pixel
// whatever the sigma.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "filter_common.h"
#include "filter_conv.h"
#include "kavri/filter.h"

namespace kavri::filter {
namespace {

struct Coeffs {
    float b;  // gain of the current sample
    float c1, c2, c3;
};

// Below this sigma the recursion degenerates: the sigma-0.5 set is used.
constexpr double kMinSigma = 0.5;
constexpr double kLinearSigma = 2.5;
// Boundary samples the recursions look back on.
constexpr int kOrder = 3;

Coeffs coefficients(float sigma_f) {
    const double sigma = sigma_f;
    if (!(sigma >= kMinSigma)) return {0.84029317f, 0.170402f, -0.011035039f, 0.00033983588f};
    double q;
    if (sigma >= kLinearSigma) {
        q = 0.98711 * sigma - 0.96330;
    } else {
        const float s = static_cast<float>(std::sqrt(1.0 - 0.26891 * sigma));
        q = 3.97156 - 4.14554 * static_cast<double>(s);
    }
    const double q2 = q * q, q3 = q2 * q;
    const double b0 = 1.57825 + 2.44413 * q + 1.4281 * q2 + 0.422205 * q3;
    const double b1 = 2.44413 * q + 2.85619 * q2 + 1.26661 * q3;
    const double b2 = -(1.4281 * q2 + 1.26661 * q3);
    const double b3 = 0.422205 * q3;
    Coeffs c{};
    c.c1 = static_cast<float>(b1 / b0);
    c.c2 = static_cast<float>(b2 / b0);
    c.c3 = static_cast<float>(b3 / b0);
    c.b = static_cast<float>(1.0 - (double{c.c1} + double{c.c2} + double{c.c3}));
    return c;
}

// One step of the recursion; the sum is formed in double, stored as float.
inline float step(const Coeffs &k, float x, float p1, float p2, float p3) {
    return static_cast<float>(double{k.b} * x + double{k.c1} * p1 + double{k.c2} * p2 +
                              double{k.c3} * p3);
}

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};
using FloatBuf = std::unique_ptr<float[], FreeDeleter>;

FloatBuf alloc_floats(size_t n, const char *func) {
    FloatBuf buf(static_cast<float *>(std::malloc(std::max<size_t>(n, 1) * sizeof(float))));
    if (!buf) die_no_memory(func);
    return buf;
}

// Filters one line x[0 .. n-1] into y; w is scratch of n + 2 * kOrder floats.
void filter_line(const Coeffs &k, const float *x, float *y, float *w, int n) {
    float *fw = w + kOrder;  // fw[-3 .. n-1]
    fw[-1] = fw[-2] = fw[-3] = x[0];
    for (int i = 0; i < n; ++i) fw[i] = step(k, x[i], fw[i - 1], fw[i - 2], fw[i - 3]);
    float y1 = fw[n - 1], y2 = y1, y3 = y1;  // y[n], y[n+1], y[n+2]
    for (int i = n - 1; i >= 0; --i) {
        const float v = step(k, fw[i], y1, y2, y3);
        y[i] = v;
        y3 = y2;
        y2 = y1;
        y1 = v;
    }
}

// Every column of img at once, row by row, in place: the forward values
// replace the input rows top-down, the backward values replace them
// bottom-up. Each element goes through exactly the recursion of its column.
void filter_columns(const Coeffs &k, float *img, int width, int height, float *top) {
    auto row = [&](int y) { return img + static_cast<size_t>(y) * static_cast<size_t>(width); };
    std::copy(row(0), row(0) + width, top);  // the boundary value of each column
    for (int y = 0; y < height; ++y) {
        float *cur = row(y);
        const float *p1 = y >= 1 ? row(y - 1) : top;
        const float *p2 = y >= 2 ? row(y - 2) : top;
        const float *p3 = y >= 3 ? row(y - 3) : top;
        for (int c = 0; c < width; ++c) cur[c] = step(k, cur[c], p1[c], p2[c], p3[c]);
    }
    const float *last = row(height - 1);
    std::copy(last, last + width, top);  // y[H .. H+2] repeat the last forward value
    for (int y = height - 1; y >= 0; --y) {
        float *cur = row(y);
        const float *p1 = y + 1 < height ? row(y + 1) : top;
        const float *p2 = y + 2 < height ? row(y + 2) : top;
        const float *p3 = y + 3 < height ? row(y + 3) : top;
        for (int c = 0; c < width; ++c) cur[c] = step(k, cur[c], p1[c], p2[c], p3[c]);
    }
}

void gauss_iir_f32(float *dst, const float *src, int width, int height, float sigma,
                   const char *func) {
    if (width <= 0 || height <= 0) return;
    const Coeffs k = coefficients(sigma);
    const size_t line = (static_cast<size_t>(std::max(width, height)) + 4u) * 2u;
    FloatBuf work0 = alloc_floats(line, func);
    FloatBuf work1 = alloc_floats(line, func);
    for (int y = 0; y < height; ++y) {
        const size_t off = static_cast<size_t>(y) * static_cast<size_t>(width);
        // The row is filtered out of a copy, so dst may equal src.
        std::copy(src + off, src + off + width, work1.get());
        filter_line(k, work1.get(), dst + off, work0.get(), width);
    }
    filter_columns(k, dst, width, height, work0.get());
}

void gauss_iir_u16(uint16_t *dst, const uint16_t *src, int width, int height, float sigma) {
    constexpr const char *kName = "kv_gauss2d_iir_u16";
    if (width <= 0 || height <= 0) return;
    const size_t n = pixel_count(width, height);
    FloatBuf buf = alloc_floats(2 * n, kName);
    float *in = buf.get();
    float *out = buf.get() + n;
    for (size_t i = 0; i < n; ++i) in[i] = static_cast<float>(src[i]);
    gauss_iir_f32(out, in, width, height, sigma, kName);
    for (size_t i = 0; i < n; ++i) dst[i] = f32_to_u16_trunc(out[i]);
}

bool check_ptrs(const char *func, const void *dst, const void *src, int width, int height) {
    if (dst != nullptr && src != nullptr) return true;
    KV_ERR("[%s]  wrong parameter:w/h=%d/%d\n", func, width, height);
    return false;
}

bool same_shape(const char *func, int dst_rows, int dst_cols, int src_rows, int src_cols) {
    if (dst_rows == src_rows && dst_cols == src_cols) return true;
    KV_ERR("[%s] wrong parameter: src wxh = %dx%d, dst wxh = %dx%d\n", func, src_cols, src_rows,
           dst_cols, dst_rows);
    return false;
}

}  // namespace
}  // namespace kavri::filter

using namespace kavri::filter;

extern "C" KAVRI_API void kv_gauss2d_iir_f32(float *dst, const float *src, int width, int height,
                                             float sigma) {
    if (!check_ptrs(__func__, dst, src, width, height)) return;
    gauss_iir_f32(dst, src, width, height, sigma, __func__);
}

extern "C" KAVRI_API void kv_gauss2d_iir_u16(uint16_t *dst, const uint16_t *src, int width,
                                             int height, float sigma) {
    if (!check_ptrs(__func__, dst, src, width, height)) return;
    gauss_iir_u16(dst, src, width, height, sigma);
}

extern "C" KAVRI_API void gauss2d_iir_f32(float *dst, int dst_rows, int dst_cols, const float *src,
                                          int src_rows, int src_cols, float sigma) {
    if (!same_shape(__func__, dst_rows, dst_cols, src_rows, src_cols)) return;
    if (!check_ptrs(__func__, dst, src, src_cols, src_rows)) return;
    gauss_iir_f32(dst, src, src_cols, src_rows, sigma, __func__);
}

extern "C" KAVRI_API void gauss2d_iir_u16(uint16_t *dst, int dst_rows, int dst_cols,
                                          const uint16_t *src, int src_rows, int src_cols,
                                          float sigma) {
    if (!same_shape(__func__, dst_rows, dst_cols, src_rows, src_cols)) return;
    if (!check_ptrs(__func__, dst, src, src_cols, src_rows)) return;
    gauss_iir_u16(dst, src, src_cols, src_rows, sigma);
}
