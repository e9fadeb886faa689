// Calibrated distance of a block of pixels. The per-pixel work is split into
// passes so that the arithmetic runs vectorised over the whole block and only
// the plane look-ups stay scalar loads: first the drift-corrected phase, then
// the first and last plane of every pixel, the bracket index, the bracketing
// pair, and the interpolation. Every step keeps the operations (and their
// order) of the single-pixel formula, so the results are the same bit for bit.
// (No build fuses multiply-adds; contracting step * kk + ... into one
// rounding would change results.)
#include "drv/calc_drnu_block.h"

#include "core/isa_clones.h"
#include "drv/calc_pixel.h"
#include "drv/epc_state.h"
#include "kavri/epc.h"

namespace kavri::epc {
namespace {

// Working columns of one block.
struct DrnuScratch {
    alignas(64) int32_t h[kBlock];      // drift-corrected phase
    alignas(64) int32_t first[kBlock];  // plane 0 of the pixel, then the lower plane
    alignas(64) int32_t last[kBlock];   // last plane of the pixel, then the upper plane
    alignas(64) int32_t kk[kBlock];     // index of the lower plane
};

KV_ISA_CLONES(void, corrected_phase,
              (int32_t * h, const int32_t *phase, float drift_ph, int32_t cnt),
              (h, phase, drift_ph, cnt)) {
    for (int32_t i = 0; i < cnt; ++i)
        h[i] = static_cast<int32_t>(static_cast<float>(phase[i]) - drift_ph);
}

// Planes kk and kk + 1 of each pixel; pixel i's plane k is at
// base[k * stride + i].
void load_bracket(int32_t *lower, int32_t *upper, const uint16_t *base, size_t stride,
                  const int32_t *kk, int32_t cnt) {
    for (int32_t i = 0; i < cnt; ++i) {
        const uint16_t *l = base + static_cast<size_t>(kk[i]) * stride + i;
        lower[i] = l[0];
        upper[i] = l[stride];
    }
}

// The same plane pair for every pixel.
KV_ISA_CLONES(void, load_fixed_pair,
              (int32_t * va, int32_t *vb, const uint16_t *base, size_t stride, int32_t a, int32_t b,
               int32_t cnt),
              (va, vb, base, stride, a, b, cnt)) {
    const uint16_t *pa = base + static_cast<size_t>(a) * stride;
    const uint16_t *pb = base + static_cast<size_t>(b) * stride;
    for (int32_t i = 0; i < cnt; ++i) {
        va[i] = pa[i];
        vb[i] = pb[i];
    }
}

// Index of the lower plane: 0 below the first plane, the second last above the
// last one, else the linear guess between the two. The guess is computed for
// every pixel and then chosen; its operands are clamped so that pixels that do
// not use it cannot overflow or divide by zero (pixels that do use it see the
// unclamped values).
// The selecting passes compute every lane and select afterwards; no
// floating-point exception is ever examined, so the compiler may execute the
// unselected lanes' arithmetic too. The file is built without trapping math
// (the per-function option alone leaves this loop scalar); this does not
// change any result.
KV_ISA_CLONES(void, bracket, (DrnuScratch & s, int32_t last, int32_t cnt), (s, last, cnt),
              "no-trapping-math") {
    for (int32_t i = 0; i < cnt; ++i) {
        const int32_t hi = s.h[i];
        const int32_t a = s.first[i];
        const int32_t b = s.last[i];
        const int32_t top = b > a ? b : a;
        const int32_t hc = hi < a ? a : (hi > top ? top : hi);
        const int32_t span = b > a ? b - a : 1;
        const auto guess =
            static_cast<int32_t>(static_cast<float>(last * (hc - a)) / static_cast<float>(span));
        s.kk[i] = hi < a ? 0 : (hi < b ? guess : last - 1);
    }
}

// Interpolation between the lower and upper plane and the conversion to a
// wrapped distance; equal planes and invalid pixels give the no-distance
// marker.
KV_ISA_CLONES(void, interpolate,
              (uint16_t * dist, uint16_t *amp, const DrnuScratch &s, const PixelBlock &blk,
               float step, int32_t box_phase, int64_t range, int32_t user_offset, int32_t cnt),
              (dist, amp, s, blk, step, box_phase, range, user_offset, cnt), "no-trapping-math") {
    const auto range32 = static_cast<int32_t>(range);
    for (int32_t i = 0; i < cnt; ++i) {
        const int32_t lower = s.first[i];
        const int32_t upper = s.last[i];
        const bool flat = upper == lower;
        const int32_t span = flat ? 1 : upper - lower;
        // Equal planes divide by 1 instead; their result is not used.
        const auto q = static_cast<int32_t>(step * static_cast<float>(s.kk[i]) +
                                            static_cast<float>(s.h[i] - lower) * step /
                                                static_cast<float>(span));
        // Signed 64-bit rather than unsigned 32-bit: below the first plane
        // the extrapolation gives a negative phase, which has to wrap into
        // the range like any other, where an unsigned product would give
        // garbage. For phases of 0 and more both agree as long as the
        // product stays below 2^32: ranges up to about 120 m, i.e. every
        // modulation frequency above about 1.2 MHz.
        const int64_t ph = static_cast<int64_t>(box_phase) + q;
        const auto v = static_cast<int32_t>((ph * range) >> kPhaseBits) + user_offset;
        const int32_t w = v < 0 ? v + range32 : (v > range32 ? v - range32 : v);
        const bool bad = blk.invalid[i] != 0;
        amp[i] = bad ? 0 : static_cast<uint16_t>(blk.amp[i]);
        dist[i] =
            bad || flat ? static_cast<uint16_t>(KAVRI_DIST_NO_DIST) : static_cast<uint16_t>(w);
    }
}

}  // namespace

void drnu_block(const DrnuConst &k, size_t first, int32_t cnt, const PixelBlock &blk,
                uint16_t *dist, uint16_t *amp) {
    uint16_t *d = dist + first;
    uint16_t *a = amp + first;
    if (k.count < 2) {
        for (int32_t i = 0; i < cnt; ++i) {
            const bool bad = blk.invalid[i] != 0;
            a[i] = bad ? 0 : static_cast<uint16_t>(blk.amp[i]);
            d[i] = static_cast<uint16_t>(KAVRI_DIST_NO_DIST);
        }
        return;
    }
    DrnuScratch s;
    const int32_t last = k.count - 1;
    const uint16_t *base = k.planes + first;
    corrected_phase(s.h, blk.phase, k.drift_ph, cnt);
    load_fixed_pair(s.first, s.last, base, k.plane_stride, 0, last, cnt);
    bracket(s, last, cnt);
    load_bracket(s.first, s.last, base, k.plane_stride, s.kk, cnt);
    interpolate(d, a, s, blk, k.step, k.box_phase, k.range, k.user_offset, cnt);
}

}  // namespace kavri::epc
