// The image steps of the EPC decode, each one pass over the image, and the
// two checks that run before it (automatic integration time, consistency).
#pragma once

#include <cstddef>
#include <cstdint>

#include "drv/calc_pixel.h"
#include "drv/epc_state.h"

namespace kavri::epc {

// The distance and gray calculations behind the exported calc_* functions,
// with the pixel-count rule given: the decode passes PixelCount::kAny so that
// every pixel it reports is computed. Results as the exported functions.
bool dist_calib_drnu(kavri_drv_t *drv, uint16_t *dist, uint16_t *amp, const uint16_t *src,
                     uint32_t width, uint32_t height, uint32_t count, PixelCount rule);
bool dist_calib_simple(kavri_drv_t *drv, uint16_t *dist, uint16_t *amp, const uint16_t *src,
                       uint32_t width, uint32_t height, uint32_t count, PixelCount rule);
bool gray(kavri_drv_t *drv, uint16_t *amp, const uint16_t *src, uint32_t width, uint32_t height,
          uint32_t count, PixelCount rule);

// Row merge of two integration times: of each row pair the row with the
// larger amplitude wins, in both images.
void merge_rows(uint16_t *dist, uint16_t *amp, uint32_t width, uint32_t height);
// Gray images: both rows of a pair take the larger value.
void merge_rows_gray(uint16_t *gray, uint32_t width, uint32_t height);
// Removes pixels whose amplitude is below the threshold (with hysteresis when
// state is given: n bytes of per-pixel on/off).
void amp_filter_hyst(uint16_t *dist, const uint16_t *amp, uint8_t *state, size_t n,
                     uint16_t amp_min, uint16_t hyst);
void amp_filter(uint16_t *dist, const uint16_t *amp, size_t n, uint16_t amp_min);
// Distances at or below 100 mm or at or beyond the range are removed;
// markers above 60000 stay.
void range_check(uint16_t *dist, size_t n, uint32_t range_mm);

// Confidence (0..255) of each of n pixels from its amplitude (the gray
// calculation's, amp) and its four samples (src: four sub-frames of n).
void confidence_pass(uint16_t *conf, const uint16_t *amp, const uint16_t *src, size_t n);

// Automatic integration time: the step for the sample statistics of one frame.
struct SampleCounts {
    uint32_t bad = 0, high = 0, low = 0, total = 0;
};
SampleCounts count_samples(const uint16_t *src, size_t count);
int32_t auto_intg_step(const SampleCounts &c, uint16_t sat_ratio);
// Runs the control on one raw frame (rate-limited per device, reads and
// writes parameter 13). Sends commands: never under the state lock.
void auto_intg(kavri_drv_t *drv, State &st, const PreDecode &pre, const uint16_t *src,
               uint32_t src_bytes);

// The consistency check of the four sub-frames; false when the frame is to be
// dropped (a resync was sent, at most once a second per device). Sends
// commands: never under the state lock.
bool sync_check(kavri_drv_t *drv, State &st, int16_t sync_value, const uint16_t *src, size_t n,
                uint32_t src_bytes);
// Share of consistent pixels, for the check and its tests.
bool frame_consistent(const uint16_t *src, size_t n, size_t examined);
// The clock (whole seconds) behind the check's once-a-second limit; nullptr
// restores the wall clock. Library-wide, for tests.
using SyncClock = int64_t (*)();
void set_sync_clock(SyncClock clock);

}  // namespace kavri::epc
