// Shared set-up of the ONI writer tests: a scratch directory, stream
// configurations and frames with recognisable contents.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "kavri/oni.h"

namespace oni_test {

class ScratchDir : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kavri_oni_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string path(const std::string &name) const { return (dir_ / name).string(); }

    std::filesystem::path dir_;
};

constexpr oni_stream_config_t kDepth320{
    ONI_NODE_DEPTH, ONI_PIXEL_FORMAT_DEPTH_1_MM, 4000, 320, 240, 2, 30};
constexpr oni_stream_config_t kIr320{ONI_NODE_IR, ONI_PIXEL_FORMAT_GRAY16, 0, 320, 240, 2, 30};
constexpr oni_stream_config_t kImage320{
    ONI_NODE_IMAGE, ONI_PIXEL_FORMAT_RGB888, 0, 320, 240, 3, 30};

inline size_t frame_size(const oni_stream_config_t &c) {
    return static_cast<size_t>(c.x_res) * c.y_res * c.bytes_per_pixel;
}

// Bytes that differ from frame to frame, stream to stream and pixel to pixel.
inline std::vector<uint8_t> make_frame(const oni_stream_config_t &c, unsigned number) {
    std::vector<uint8_t> frame(frame_size(c));
    uint32_t x = 0x9E3779B9u * (number + 1) + static_cast<uint32_t>(c.kind) * 0x85EBCA6Bu;
    for (auto &b : frame) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return frame;
}

}  // namespace oni_test
