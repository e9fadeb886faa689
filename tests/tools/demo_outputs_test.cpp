// Runs tools/demo.sh on the simulator and checks what it leaves behind: the
// pictures decode at the sensor size, the point cloud has one point per valid
// pixel, the frame file loads back and the ONI recording plays.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <kavri.h>
#include <png.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/cli_runner.h"

namespace kavri::cli_test {
namespace {

constexpr uint32_t kWidth = 320, kHeight = 240;
constexpr int kFrames = 12;
constexpr size_t kPlyVertexBytes = 3 * 4 + 3;

struct Png {
    bool ok = false;
    uint32_t width = 0, height = 0, format = 0;
    std::vector<uint8_t> pixels;  // in the file's own format
};

Png read_png(const std::string &path) {
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    Png r;
    if (!png_image_begin_read_from_file(&image, path.c_str())) return r;
    r.width = image.width;
    r.height = image.height;
    r.format = image.format;
    r.pixels.resize(PNG_IMAGE_SIZE(image));
    r.ok = png_image_finish_read(&image, nullptr, r.pixels.data(), 0, nullptr) != 0;
    return r;
}

bool is_black(const Png &rgb, uint32_t x, uint32_t y) {
    const size_t i = (static_cast<size_t>(y) * rgb.width + x) * 3;
    return rgb.pixels[i] == 0 && rgb.pixels[i + 1] == 0 && rgb.pixels[i + 2] == 0;
}

class Demo : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        out_ = new TempDir;
        result_ = new RunResult(run_program({"/bin/sh", DEMO_SCRIPT, KAVRI_BUILD_DIR, out_->path()},
                                            {{{"DEMO_FRAMES", std::to_string(kFrames)}}}));
    }
    static void TearDownTestSuite() {
        delete result_;
        delete out_;
    }
    static std::string file(const char *name) { return *out_ / name; }

    // Distances of every frame in the frame file, frame by frame.
    static std::vector<std::vector<float>> load_frames() {
        std::vector<std::vector<float>> frames;
        const int fd = open(file("distance.kv").c_str(), O_RDONLY);
        if (fd < 0) return frames;
        for (;;) {
            std::vector<float> f(kWidth * kHeight);
            uint32_t w = 0, h = 0;
            const int n =
                kavri_frame_load_distance(fd, f.data(), static_cast<int>(f.size()), &w, &h);
            if (n <= 0) break;
            EXPECT_EQ(w, kWidth);
            EXPECT_EQ(h, kHeight);
            frames.push_back(std::move(f));
        }
        close(fd);
        return frames;
    }

    static TempDir *out_;
    static RunResult *result_;
};

TempDir *Demo::out_ = nullptr;
RunResult *Demo::result_ = nullptr;

TEST_F(Demo, RunsAndSaysWhereTheOutputsAre) {
    EXPECT_EQ(result_->status, 0) << result_->out << result_->err;
    EXPECT_NE(result_->out.find("KV320-E2-SIM"), std::string::npos) << result_->out;
    EXPECT_NE(result_->out.find("frames:      " + std::to_string(kFrames)), std::string::npos)
        << result_->out;
    EXPECT_NE(result_->out.find("== outputs in " + out_->path()), std::string::npos);
}

TEST_F(Demo, PicturesDecodeAtTheSensorSize) {
    const Png dist = read_png(file("distance.png"));
    ASSERT_TRUE(dist.ok);
    // The colour bar stands beside the distance picture.
    EXPECT_GT(dist.width, kWidth);
    EXPECT_EQ(dist.height, kHeight);
    EXPECT_EQ(dist.format, static_cast<uint32_t>(PNG_FORMAT_RGB));
    const Png gray = read_png(file("gray.png"));
    ASSERT_TRUE(gray.ok);
    EXPECT_EQ(gray.width, kWidth);
    EXPECT_EQ(gray.height, kHeight);
    EXPECT_EQ(gray.format, static_cast<uint32_t>(PNG_FORMAT_GRAY));
}

// The default colour range runs from the 2nd to the 98th percentile: the
// nearest and farthest pixels (the near box) are coloured with the range's
// ends, and only pixels without a distance are black.
TEST_F(Demo, OnlyPixelsWithoutADistanceAreBlack) {
    const auto frames = load_frames();
    ASSERT_FALSE(frames.empty());
    const std::vector<float> &last = frames.back();
    const Png dist = read_png(file("distance.png"));
    ASSERT_TRUE(dist.ok);
    ASSERT_GE(dist.width, kWidth);
    ASSERT_GE(dist.height, kHeight);
    size_t valid = 0, valid_black = 0;
    for (uint32_t y = 0; y < kHeight; ++y)
        for (uint32_t x = 0; x < kWidth; ++x) {
            const float d = last[y * kWidth + x];
            if (!(d > 0.0f && d < 60.0f)) continue;
            ++valid;
            valid_black += is_black(dist, x, y);
        }
    EXPECT_GT(valid, last.size() / 2);
    EXPECT_EQ(valid_black, 0u);
}

TEST_F(Demo, FrameFileHoldsEveryFrame) {
    const auto frames = load_frames();
    ASSERT_EQ(frames.size(), static_cast<size_t>(kFrames));
    size_t valid = 0;
    for (float d : frames.back()) valid += d > 0.3f && d < 7.0f;
    // The simulated room lies between 0.3 and 6 m: most pixels measure it.
    EXPECT_GT(valid, frames.back().size() * 9 / 10);
}

TEST_F(Demo, PointCloudHasOnePointPerValidPixelOfTheLastFrame) {
    const auto frames = load_frames();
    ASSERT_FALSE(frames.empty());
    size_t valid = 0;
    for (float d : frames.back()) valid += d > 0.0f && d < 60.0f;

    std::ifstream in(file("cloud.ply"), std::ios::binary);
    ASSERT_TRUE(in);
    std::string line, header;
    size_t vertices = 0;
    int properties = 0;
    while (std::getline(in, line) && line != "end_header") {
        header += line + "\n";
        if (std::sscanf(line.c_str(), "element vertex %zu", &vertices) == 1) continue;
        properties += line.rfind("property ", 0) == 0;
    }
    ASSERT_EQ(line, "end_header") << header;
    EXPECT_EQ(header.rfind("ply\nformat binary_little_endian 1.0\n", 0), 0u) << header;
    EXPECT_EQ(properties, 6);
    EXPECT_EQ(vertices, valid);
    const auto body_start = static_cast<size_t>(in.tellg());
    EXPECT_EQ(std::filesystem::file_size(file("cloud.ply")) - body_start,
              vertices * kPlyVertexBytes);
    // The first point lies in front of the camera, at most 60 m away.
    float xyz[3];
    in.read(reinterpret_cast<char *>(xyz), sizeof xyz);
    EXPECT_GT(xyz[2], 0.0f);
    EXPECT_LT(std::sqrt(xyz[0] * xyz[0] + xyz[1] * xyz[1] + xyz[2] * xyz[2]), 60.0f);
}

TEST_F(Demo, OniRecordingPlaysBack) {
    const RunResult play = run_program({ONI_READER_PATH, file("capture.oni"), *out_ / "dump"}, {});
    ASSERT_EQ(play.status, 0) << play.out;
    const std::string n = std::to_string(kFrames);
    EXPECT_NE(play.out.find("stream depth 320 240 30 100 " + n), std::string::npos) << play.out;
    EXPECT_NE(play.out.find("stream ir 320 240 30 203 " + n), std::string::npos) << play.out;
    EXPECT_NE(play.out.find("done"), std::string::npos) << play.out;
    // Every frame arrives, 320 x 240 x 2 bytes each.
    size_t frames = 0, pos = 0;
    while ((pos = play.out.find("\nframe ", pos)) != std::string::npos) {
        ++frames;
        ++pos;
    }
    EXPECT_EQ(frames, 2u * kFrames);
    EXPECT_EQ(std::filesystem::file_size(*out_ / "dump"), 2u * kFrames * kWidth * kHeight * 2);
}

}  // namespace
}  // namespace kavri::cli_test
