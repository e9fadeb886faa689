// Lens parameters: defaults of the standard lens, overwritten by the lens
// parameter file, scaled to the image size a caller asks for.
#include "drv/epc_lens.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "kavri/epc.h"
#include "kavri/param.h"
#include "core/log_internal.h"

namespace kavri::epc {
namespace {

constexpr int kLensTokens = 11;  // cx cy fx fy, five coefficients, width, height
constexpr int kCoeffFirst = 4;
constexpr int kWidthToken = 9;
constexpr int kHeightToken = 10;
constexpr size_t kTokenMax = 64;  // longer tokens are read in pieces of this size
constexpr size_t kPathMax = KAVRI_PARAM_PATH_SIZE;
constexpr const char *kLensFile = "lens_param.txt";

// The process-wide lens parameters: read by every device's point clouds and
// written at each open; g_lens_mutex guards them (a leaf lock).
std::mutex g_lens_mutex;
kv_lens_param_t g_lens = {157.262,
                          122.083,
                          210.783,
                          204.817,
                          {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954},
                          320,
                          240};

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

void store_token(kv_lens_param_t &p, int idx, const char *tok) {
    constexpr const char *kTag = "_kv_update_len_param";
    const double v = std::strtod(tok, nullptr);
    switch (idx) {
        case 0:
            p.cx = v;
            KV_DBG("[%s] Cx:%3.5f\n", kTag, v);
            break;
        case 1:
            p.cy = v;
            KV_DBG("[%s] Cy:%3.5f\n", kTag, v);
            break;
        case 2:
            p.fx = v;
            KV_DBG("[%s] Fx:%3.5f\n", kTag, v);
            break;
        case 3:
            p.fy = v;
            KV_DBG("[%s] Fy:%3.5f\n", kTag, v);
            break;
        case kWidthToken:
            p.img_w = static_cast<int32_t>(std::strtol(tok, nullptr, 10));
            KV_DBG("[%s] img_w = %d\n", kTag, p.img_w);
            break;
        case kHeightToken:
            p.img_h = static_cast<int32_t>(std::strtol(tok, nullptr, 10));
            KV_DBG("[%s] img_h = %d\n", kTag, p.img_h);
            break;
        default:
            if (idx >= kCoeffFirst && idx < kWidthToken) {
                p.dcoeff[idx - kCoeffFirst] = v;
                KV_DBG("[%s] dcoeff[%d]:%3.5f\n", kTag, idx - kCoeffFirst, v);
            }
            break;
    }
}

}  // namespace

kv_lens_param_t lens_param() {
    std::lock_guard lock(g_lens_mutex);
    return g_lens;
}

void set_lens_param(const kv_lens_param_t &p) {
    std::lock_guard lock(g_lens_mutex);
    g_lens = p;
}

void update_lens_param(const char *prefix) {
    constexpr const char *kTag = "_kv_update_len_param";
    char path[kPathMax];
    const int len =
        std::snprintf(path, sizeof path, "%s%s", prefix == nullptr ? "" : prefix, kLensFile);
    if (len < 0 || static_cast<size_t>(len) >= sizeof path) {
        // A cut name would read another file.
        KV_ERR("[%s] lens file name under %s does not fit %zu bytes\n", kTag,
               prefix == nullptr ? "" : prefix, sizeof path);
        return;
    }
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path, "r"));
    if (f == nullptr) {
        KV_DBG("[%s] %s Open failed, use default param\n", kTag, path);
        return;
    }
    // %63s reads at most kTokenMax - 1 characters: a longer token is taken in
    // pieces, each counted as a token, so the file then fails the count check.
    char tok[kTokenMax];
    int count = 0;
    // Parsed into a copy, so that a reader never sees half a file.
    kv_lens_param_t lens = lens_param();
    while (std::fscanf(f.get(), "%63s", tok) == 1) {
        store_token(lens, count, tok);
        ++count;
    }
    set_lens_param(lens);
    if (count != kLensTokens) KV_WRN("[%s] len param file %s load failed\n", kTag, kLensFile);
}

}  // namespace kavri::epc

extern "C" KAVRI_API uint8_t epc_lens_param_get(kavri_drv_t *drv, kv_lens_param_t *out,
                                                uint32_t width, uint32_t height) {
    (void)drv;
    const auto w = static_cast<int32_t>(width);
    const auto h = static_cast<int32_t>(height);
    if (out == nullptr || w <= 0 || h <= 0) return 0;
    const kv_lens_param_t p = kavri::epc::lens_param();
    if (p.img_w % w != 0 || p.img_h % h != 0 || p.img_w / w == 0 || p.img_h / h == 0) {
        KV_WRN("[%s] lens param not match the frame size: lens: %dx%d, frame: %dx%d\n", __func__,
               p.img_w, p.img_h, w, h);
        return 0;
    }
    const double sx = p.img_w / w;
    const double sy = p.img_h / h;
    *out = p;
    out->cx = p.cx / sx;
    out->cy = p.cy / sy;
    out->fx = p.fx / sx;
    out->fy = p.fy / sy;
    out->img_w = w;
    out->img_h = h;
    return 1;
}
