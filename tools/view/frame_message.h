// The binary WebSocket messages that carry frames to the page: a small
// little-endian header, then the distances (mm) and amplitudes as 16-bit
// values, row by row. The page colours them itself (tools/view/web/app.js
// reads the same layout).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kavri::view {

inline constexpr uint32_t kFrameMagic = 0x3146564bu;  // "KVF1"
inline constexpr uint32_t kRaysMagic = 0x3152564bu;   // "KVR1"
inline constexpr uint32_t kFrameHeaderBytes = 64;
inline constexpr uint32_t kRaysHeaderBytes = 16;

// Header flags.
inline constexpr uint16_t kFlagReplay = 1;
inline constexpr uint16_t kFlagCalibrated = 2;
inline constexpr uint16_t kFlagPaused = 4;

// Distances of pixels without one travel as 0.
inline constexpr uint16_t kNoDistance = 0;

struct FrameMeta {
    uint32_t width = 0, height = 0;
    uint32_t number = 0;        // frames taken in this run
    uint32_t stream_index = 0;  // the stream's frame index
    uint16_t flags = 0;
    // Wall clock (ms since 1970) at which the frame's last byte reached the
    // host; a replay's frames count from their delivery by the replay.
    double arrival_ms = 0;
    double stream_s = 0;           // the frame's time since the first
    uint32_t lost = 0;             // frames lost since the capture start, every cause
    float fps = 0;                 // measured over the last second
    uint32_t replay_position = 0;  // replays: the frame delivered next
};

// Layout (little-endian, offsets in bytes):
//   0 u32 magic "KVF1"   4 u16 header bytes   6 u16 flags
//   8 u32 width         12 u32 height         16 u32 number   20 u32 stream index
//  24 f64 arrival ms    32 f64 stream s       40 u32 lost
//  44 f32 age (ms from the arrival to the message made: the server's share of the latency)
//  48 f32 fps           52 u32 replay position
//  56 u16 automatic range low (2nd percentile, mm)   58 u16 high (98th percentile)
//  60 u32 pixels with a distance
//  64 u16 distance[width x height] (mm, 0: none), then u16 amplitude[width x height]
std::string encode_frame(const FrameMeta &meta, std::span<const float> dist_m,
                         std::span<const float> amplitude);

// Writes the age into a frame message once it is made, so that the age
// includes the making.
void set_frame_age(std::string &msg, float age_ms);

// Rays: x, y, z (f32) per pixel of a point one metre along that pixel's
// ray, so the page places a point at ray x distance.
//   0 u32 magic "KVR1"  4 u32 width  8 u32 height  12 u32 0, then 3 x f32 per pixel
std::string encode_rays(uint32_t width, uint32_t height, std::span<const float> xyz);

// The distances (metres, 0 without one) and amplitudes of a frame message;
// false when it is not one.
bool decode_frame(const std::string &msg, uint32_t &width, uint32_t &height,
                  std::vector<float> &dist_m, std::vector<float> &amplitude);

// Millimetres of a distance in metres as it travels: 1..60000, 0 without one.
uint16_t distance_mm(float d);

}  // namespace kavri::view
