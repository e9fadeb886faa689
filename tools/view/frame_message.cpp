#include "view/frame_message.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kavri::view {
namespace {

constexpr float kMaxDistanceM = 60.0f;  // as valid_distance: beyond it nothing is measured
constexpr float kMmPerM = 1000.0f;
constexpr uint16_t kMaxMm = 60000;
constexpr double kLowPercentile = 0.02, kHighPercentile = 0.98;
constexpr size_t kAgeOffset = 44;

template <typename T>
void put(std::string &out, size_t at, T v) {
    static_assert(std::is_arithmetic_v<T>);
    // The machines this runs on are little-endian, as the page reads it.
    std::memcpy(out.data() + at, &v, sizeof v);
}

template <typename T>
T get(const std::string &in, size_t at) {
    T v;
    std::memcpy(&v, in.data() + at, sizeof v);
    return v;
}

uint16_t amplitude_u16(float a) {
    if (!(a > 0.0f)) return 0;
    return a >= 65535.0f ? uint16_t{65535} : static_cast<uint16_t>(std::lround(a));
}

}  // namespace

uint16_t distance_mm(float d) {
    if (!(d > 0.0f && d < kMaxDistanceM)) return kNoDistance;
    const long mm = std::lround(d * kMmPerM);
    return static_cast<uint16_t>(std::clamp<long>(mm, 1, kMaxMm));
}

std::string encode_frame(const FrameMeta &m, std::span<const float> dist_m,
                         std::span<const float> amplitude) {
    const size_t pixels = static_cast<size_t>(m.width) * m.height;
    std::string out(kFrameHeaderBytes + 4 * pixels, '\0');
    auto *dist = reinterpret_cast<uint16_t *>(out.data() + kFrameHeaderBytes);
    auto *amp = dist + pixels;
    std::vector<uint16_t> valid;
    valid.reserve(pixels);
    for (size_t i = 0; i < pixels; ++i) {
        const uint16_t mm = i < dist_m.size() ? distance_mm(dist_m[i]) : kNoDistance;
        dist[i] = mm;
        if (mm != kNoDistance) valid.push_back(mm);
        amp[i] = i < amplitude.size() ? amplitude_u16(amplitude[i]) : 0;
    }
    uint16_t lo = 0, hi = 0;
    if (!valid.empty()) {
        const size_t a =
            static_cast<size_t>(kLowPercentile * static_cast<double>(valid.size() - 1));
        const size_t b =
            static_cast<size_t>(kHighPercentile * static_cast<double>(valid.size() - 1));
        std::nth_element(valid.begin(), valid.begin() + a, valid.end());
        lo = valid[a];
        std::nth_element(valid.begin() + a, valid.begin() + b, valid.end());
        hi = valid[b];
    }
    put<uint32_t>(out, 0, kFrameMagic);
    put<uint16_t>(out, 4, static_cast<uint16_t>(kFrameHeaderBytes));
    put<uint16_t>(out, 6, m.flags);
    put<uint32_t>(out, 8, m.width);
    put<uint32_t>(out, 12, m.height);
    put<uint32_t>(out, 16, m.number);
    put<uint32_t>(out, 20, m.stream_index);
    put<double>(out, 24, m.arrival_ms);
    put<double>(out, 32, m.stream_s);
    put<uint32_t>(out, 40, m.lost);
    put<float>(out, kAgeOffset, 0.0f);
    put<float>(out, 48, m.fps);
    put<uint32_t>(out, 52, m.replay_position);
    put<uint16_t>(out, 56, lo);
    put<uint16_t>(out, 58, hi);
    put<uint32_t>(out, 60, static_cast<uint32_t>(valid.size()));
    return out;
}

void set_frame_age(std::string &msg, float age_ms) {
    if (msg.size() >= kFrameHeaderBytes) put<float>(msg, kAgeOffset, age_ms);
}

std::string encode_rays(uint32_t width, uint32_t height, std::span<const float> xyz) {
    const size_t pixels = static_cast<size_t>(width) * height;
    std::string out(kRaysHeaderBytes + 3 * sizeof(float) * pixels, '\0');
    put<uint32_t>(out, 0, kRaysMagic);
    put<uint32_t>(out, 4, width);
    put<uint32_t>(out, 8, height);
    std::memcpy(out.data() + kRaysHeaderBytes, xyz.data(),
                std::min(xyz.size(), 3 * pixels) * sizeof(float));
    return out;
}

bool decode_frame(const std::string &msg, uint32_t &width, uint32_t &height,
                  std::vector<float> &dist_m, std::vector<float> &amplitude) {
    if (msg.size() < kFrameHeaderBytes || get<uint32_t>(msg, 0) != kFrameMagic) return false;
    width = get<uint32_t>(msg, 8);
    height = get<uint32_t>(msg, 12);
    const size_t pixels = static_cast<size_t>(width) * height;
    if (msg.size() != kFrameHeaderBytes + 4 * pixels) return false;
    dist_m.resize(pixels);
    amplitude.resize(pixels);
    for (size_t i = 0; i < pixels; ++i) {
        dist_m[i] = get<uint16_t>(msg, kFrameHeaderBytes + 2 * i) / kMmPerM;
        amplitude[i] = get<uint16_t>(msg, kFrameHeaderBytes + 2 * (pixels + i));
    }
    return true;
}

}  // namespace kavri::view
