// The temporal filter of the EPC decode: a per-pixel history of each
// device's distance images that averages sensor noise out of a static scene.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kavri/quality.h"

namespace kavri::epc {

// One device's temporal filter. Settings and history change under the driver
// state's lock; `restarts` is bumped from any thread without it.
struct Temporal {
    static constexpr uint16_t kWeightOff = 1000;  // per mille: the new frame alone
    bool on = false;
    uint16_t weight = kWeightOff;
    uint16_t motion_mm = KAVRI_TEMPORAL_MOTION_MM_DEFAULT;
    uint8_t hole_frames = KAVRI_TEMPORAL_HOLE_FRAMES_DEFAULT;
    // Per pixel: the history in 1/16 mm (negative: none), and how many frames
    // in a row the pixel has shown it without a distance of its own.
    std::vector<int32_t> history;
    std::vector<uint8_t> held;
    // Requests to start the history afresh; the decode compares the count
    // with the one it last saw.
    std::atomic<uint32_t> restarts{0};
    uint32_t restarts_seen = 0;

    void restart() { restarts.fetch_add(1, std::memory_order_release); }
    // Frees the history (the filter switched off).
    void release();
};

// Runs the filter over one distance image of n pixels (image order, the
// decode's 16-bit values: markers above 60000) in place. Allocates only when
// the image size changes; on short memory the image passes unfiltered (ERR
// line). Called under the state's lock.
void temporal_apply(Temporal &t, uint16_t *dist, size_t n);

// The per-pixel pass, for the filter and its tests and benchmark: weight_q10
// is the new frame's weight in 1/1024, motion_q the threshold in 1/16 mm.
void temporal_pass(uint16_t *__restrict dist, int32_t *__restrict history, uint8_t *__restrict held,
                   size_t n, int32_t weight_q10, int32_t motion_q, uint8_t hole_frames);

// A per-mille weight in the steps the pass takes.
int32_t weight_q10(uint16_t permille);

}  // namespace kavri::epc
