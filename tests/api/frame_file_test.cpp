// Frame files: layouts, appending, partial loads, and hostile headers.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "kavri/api.h"
#include "kavri/log.h"

namespace {

// A fresh read/write file in the test's temporary directory.
class TempFd {
  public:
    TempFd() {
        path_ = ::testing::TempDir() + "kv_frame_" + std::to_string(::getpid()) + "_" +
                std::to_string(counter_++) + ".bin";
        fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    }
    ~TempFd() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    int fd() const { return fd_; }
    void rewind() const { ::lseek(fd_, 0, SEEK_SET); }
    std::string contents() const {
        std::string s(static_cast<size_t>(::lseek(fd_, 0, SEEK_END)), '\0');
        ::pread(fd_, s.data(), s.size(), 0);
        return s;
    }
    void write_raw(const std::string &bytes) const {
        ::ftruncate(fd_, 0);
        ::pwrite(fd_, bytes.data(), bytes.size(), 0);
        rewind();
    }

  private:
    static inline int counter_ = 0;
    std::string path_;
    int fd_;
};

class Quiet {
  public:
    Quiet() : saved_(kv_log_get_level(0)) { kv_log_enable(0, KV_LOG_OFF, nullptr); }
    ~Quiet() { kv_log_enable(0, saved_, nullptr); }

  private:
    unsigned saved_;
};

TEST(FrameFile, TwoDistanceFramesU16ThenAppend) {
    TempFd f;
    std::vector<float> d(2 * 320 * 240);
    for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<float>(i % 5000) * 0.001f;
    ASSERT_EQ(kavri_frame_save_distance(f.fd(), KAVRI_FRAME_SAVE_UINT16, d.data(),
                                        static_cast<uint32_t>(d.size()), 320, 240),
              1);
    const std::string header = "KV_DIST,U16,320,240\n";
    EXPECT_EQ(f.contents().size(), header.size() + 2 * 76800 * 2);
    EXPECT_EQ(f.contents().substr(0, header.size()), header);
    // At the end of the file: frames only, no header.
    ASSERT_EQ(kavri_frame_save_distance(f.fd(), KAVRI_FRAME_SAVE_UINT16, d.data(), 76800, 320, 240),
              1);
    EXPECT_EQ(f.contents().size(), header.size() + 3 * 76800 * 2);

    f.rewind();
    std::vector<float> back(76800);
    uint32_t w = 0, h = 0;
    for (int frame = 0; frame < 3; ++frame) {
        ASSERT_EQ(kavri_frame_load_distance(f.fd(), back.data(), 76800, &w, &h), 76800) << frame;
        EXPECT_EQ(w, 320u);
        EXPECT_EQ(h, 240u);
        const size_t base = frame == 1 ? 76800 : 0;
        for (size_t i = 0; i < 76800; i += 1231) EXPECT_NEAR(back[i], d[base + i], 1.5e-3) << i;
    }
    Quiet q;
    EXPECT_EQ(kavri_frame_load_distance(f.fd(), back.data(), 76800, &w, &h), 0);  // end of data
}

TEST(FrameFile, DistanceLayoutsRoundTrip) {
    const float v[4] = {1.2345f, 0.0f, 59.999f, 65.536f};
    struct Case {
        int format;
        const char *header;
        float expect[4];
    } cases[] = {
        {KAVRI_FRAME_SAVE_FLOAT32, "KV_DIST,F32,2,2\n", {1.2345f, 0.0f, 59.999f, 65.536f}},
        {KAVRI_FRAME_SAVE_UINT32, "KV_DIST,U32,2,2\n", {1.234f, 0.0f, 59.999f, 65.536f}},
        // 16 bits keep only the low part: 65.536 m wraps to 0.
        {KAVRI_FRAME_SAVE_UINT16, "KV_DIST,U16,2,2\n", {1.234f, 0.0f, 59.999f, 0.0f}},
    };
    for (const Case &c : cases) {
        TempFd f;
        ASSERT_EQ(kavri_frame_save_distance(f.fd(), c.format, v, 4, 2, 2), 1);
        EXPECT_EQ(f.contents().rfind(c.header, 0), 0u) << c.header;
        f.rewind();
        float back[4] = {};
        ASSERT_EQ(kavri_frame_load_distance(f.fd(), back, 4, nullptr, nullptr), 4);
        for (int i = 0; i < 4; ++i) EXPECT_NEAR(back[i], c.expect[i], 1e-4) << c.header << i;
    }
}

TEST(FrameFile, EveryMillimetreValueLoadsAsItsQuotientBy1000) {
    constexpr uint32_t kValues = 65536;
    constexpr uint32_t kSide = 256;
    struct Case {
        const char *header;
        size_t value_bytes;
    } cases[] = {{"KV_DIST,U16,256,256\n", 2}, {"KV_DIST,U32,256,256\n", 4}};
    for (const Case &c : cases) {
        std::string file = c.header;
        for (uint32_t v = 0; v < kValues; ++v)
            for (size_t k = 0; k < c.value_bytes; ++k)
                file.push_back(static_cast<char>(k < 2 ? (v >> (8 * k)) & 0xFF : 0));
        TempFd f;
        f.write_raw(file);
        std::vector<float> back(kValues);
        ASSERT_EQ(kavri_frame_load_distance(f.fd(), back.data(), kValues, nullptr, nullptr),
                  int(kSide * kSide));
        uint32_t off = 0;
        for (uint32_t v = 0; v < kValues; ++v) off += back[v] != float(v) / 1000.0f;
        EXPECT_EQ(off, 0u) << c.header;
    }
}

TEST(FrameFile, OnlyWholeDistanceFramesAreSaved) {
    TempFd f;
    std::vector<float> d(6, 1.0f);  // one and a half 2x2 frames
    ASSERT_EQ(kavri_frame_save_distance(f.fd(), KAVRI_FRAME_SAVE_FLOAT32, d.data(), 6, 2, 2), 1);
    EXPECT_EQ(f.contents().size(), std::strlen("KV_DIST,F32,2,2\n") + 4 * 4);
}

TEST(FrameFile, GrayLayoutsAndOneFrameAtMost) {
    const float g[6] = {0.9f, 255.0f, 256.0f, 65535.0f, 7.0f, 8.0f};
    {
        TempFd f;
        ASSERT_EQ(kavri_frame_save_gray(f.fd(), KAVRI_FRAME_SAVE_UINT8, g, 6, 2, 2), 1);
        EXPECT_EQ(f.contents().size(), std::strlen("KV_GRAY,U8,2,2\n") + 4);
        f.rewind();
        float back[4] = {};
        ASSERT_EQ(kavri_frame_load_gray(f.fd(), back, 4, nullptr, nullptr), 4);
        EXPECT_EQ(back[0], 0.0f);
        EXPECT_EQ(back[1], 255.0f);
        EXPECT_EQ(back[2], 0.0f);  // low 8 bits
    }
    {
        TempFd f;
        ASSERT_EQ(kavri_frame_save_gray(f.fd(), KAVRI_FRAME_SAVE_UINT16, g, 6, 2, 2), 1);
        f.rewind();
        float back[4] = {};
        uint32_t w = 0, h = 0;
        ASSERT_EQ(kavri_frame_load_gray(f.fd(), back, 4, &w, &h), 4);
        EXPECT_EQ(back[3], 65535.0f);
        EXPECT_EQ(w, 2u);
    }
}

TEST(FrameFile, WrongFormatsAreRefused) {
    TempFd f;
    const float v[4] = {};
    Quiet q;
    EXPECT_EQ(kavri_frame_save_gray(f.fd(), KAVRI_FRAME_SAVE_FLOAT32, v, 4, 2, 2), 0);
    EXPECT_EQ(kavri_frame_save_gray(f.fd(), KAVRI_FRAME_SAVE_UINT32, v, 4, 2, 2), 0);
    EXPECT_EQ(kavri_frame_save_distance(f.fd(), KAVRI_FRAME_SAVE_UINT8, v, 4, 2, 2), 0);
    EXPECT_EQ(kavri_frame_save_distance(f.fd(), KAVRI_FRAME_SAVE_UINT16, v, 4, 0, 2), 0);
    EXPECT_EQ(kavri_frame_save_gray(f.fd(), KAVRI_FRAME_SAVE_UINT16, v, 4, 2, 0), 0);
    EXPECT_EQ(f.contents().size(), 0u);
}

TEST(FrameFile, ShortDestinationConsumesTheWholeFrame) {
    TempFd f;
    const float v[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(kavri_frame_save_distance(f.fd(), KAVRI_FRAME_SAVE_FLOAT32, v, 8, 2, 2), 1);
    f.rewind();
    float back[2] = {};
    EXPECT_EQ(kavri_frame_load_distance(f.fd(), back, 2, nullptr, nullptr), 2);
    EXPECT_EQ(back[1], 2.0f);
    float next[4] = {};
    EXPECT_EQ(kavri_frame_load_distance(f.fd(), next, 4, nullptr, nullptr), 4);
    EXPECT_EQ(next[0], 5.0f);
    EXPECT_EQ(kavri_frame_load_distance(f.fd(), nullptr, 0, nullptr, nullptr), 0);
}

// Headers an application may meet in a damaged or hostile file: each is
// refused at once, without reading a frame or sizing a buffer from it.
TEST(FrameFile, HostileHeadersAreRefused) {
    const std::string payload(64, 'x');
    const char *headers[] = {
        "some other text\n",
        "KV_DIST,U16,0,240\n",
        "KV_DIST,U16,320,0\n",
        "KV_DIST,U16,-320,240\n",
        "KV_DIST,F32,65536,65536\n",            // 16 GiB of values in a tiny file
        "KV_DIST,U32,4294967295,4294967295\n",  // the product overflows 64 bits with the size
        "KV_DIST,U16,99999999999999999999,2\n",
        "KV_DIST,U16,8,8\n",  // 128 bytes wanted, 64 there
        "KV_DIST,U16,\n",
        "KV_GRAY,U16,4,4\n",  // a gray file is not a distance file
        "",
    };
    for (const char *h : headers) {
        TempFd f;
        f.write_raw(std::string(h) + (std::strlen(h) > 0 ? payload : ""));
        ::testing::internal::CaptureStdout();
        const unsigned saved = kv_log_get_level(0);
        kv_log_enable(0, KV_LOG_ERR, nullptr);
        float dst[16] = {};
        uint32_t w = 7, hh = 7;
        const int r = kavri_frame_load_distance(f.fd(), dst, 16, &w, &hh);
        kv_log_enable(0, saved, nullptr);
        const std::string log = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(r, 0) << h;
        EXPECT_NE(log.find("faile to load KV file header"), std::string::npos) << h;
        EXPECT_EQ(w, 7u);
        // The geometry is forgotten: a load at a later position gives nothing.
        EXPECT_EQ(kavri_frame_load_distance(f.fd(), dst, 16, &w, &hh), 0) << h;
    }
}

TEST(FrameFile, GoodHeaderAfterABadOneWorksAgain) {
    TempFd bad, good;
    bad.write_raw("nonsense\n");
    Quiet q;
    float dst[4];
    EXPECT_EQ(kavri_frame_load_gray(bad.fd(), dst, 4, nullptr, nullptr), 0);
    const float v[4] = {1, 2, 3, 4};
    ASSERT_EQ(kavri_frame_save_gray(good.fd(), KAVRI_FRAME_SAVE_UINT16, v, 4, 2, 2), 1);
    good.rewind();
    EXPECT_EQ(kavri_frame_load_gray(good.fd(), dst, 4, nullptr, nullptr), 4);
    EXPECT_EQ(dst[3], 4.0f);
}

}  // namespace
