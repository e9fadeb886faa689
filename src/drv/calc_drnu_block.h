// Calibrated distance of a block of pixels from their phases and the
// per-pixel calibration planes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "drv/calc_pixel.h"

namespace kavri::epc {

struct DrnuConst {
    const uint16_t *planes;  // plane-major: plane k of pixel i at k * plane_stride + i
    size_t plane_stride;
    int32_t count;   // planes
    float step;      // phase between two planes
    float drift_ph;  // temperature drift in phase units
    int32_t box_phase;
    int64_t range;
    int32_t user_offset;
};

// Distance and amplitude of pixels [first, first + cnt) from blk. With fewer
// than two planes every distance is the no-distance marker.
void drnu_block(const DrnuConst &k, size_t first, int32_t cnt, const PixelBlock &blk,
                uint16_t *dist, uint16_t *amp);

}  // namespace kavri::epc
