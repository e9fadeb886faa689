// End to end through USB: a streamed frame, cut out of the stream by the
// test's own parser and inverted with the phase model in double precision,
// gives back the camera's ground truth.
#include <cmath>

#include "sim/stream_ring.h"

namespace simtest {
namespace {

constexpr double kRangeNumerator = 149896229000.0;
constexpr double kRawOffsetMm = 2000.0;
constexpr double kPhaseUnits = 32768.0;
constexpr double kPi = 3.14159265358979323846;

struct Case {
    const char *name;
    const char *scene;
    uint32_t mod_freq;
    uint16_t intg;
};

class PhaseEndToEnd : public SimTest {};

TEST_F(PhaseEndToEnd, StreamedSamplesInvertToTheGroundTruth) {
    const Case cases[] = {
        {"wall at 1.5 m, 12 MHz", "wall:1500", 12000000, 400},
        {"default scene, 12 MHz", "default", 12000000, 400},
        {"default scene, 20 MHz, short integration", "default", 20000000, 150},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        camsim_clear();
        auto cfg = quick_config();
        std::snprintf(cfg.scene, sizeof cfg.scene, "%s", c.scene);
        ASSERT_EQ(camsim_plug(&cfg), 0);
        Session s;
        ASSERT_NE(s.h, nullptr);
        uint8_t f[4], t[2];
        put32(f, c.mod_freq);
        put16(t, c.intg);
        ASSERT_EQ(s.param_set(1, {f, f + 4}), "");
        ASSERT_EQ(s.param_set(13, {t, t + 2}), "");
        {
            Ring ring(s);
            ring.start();
            ASSERT_EQ(s.stream_start(), "");
            ASSERT_TRUE(ring.frames(2));
            ring.drain();
            ASSERT_EQ(s.stream_stop(), "");
            const auto &frame = ring.parser.frames[1];
            const int w = le16(frame.desc), h = le16(frame.desc + 2);
            ASSERT_EQ(frame.data.size(), size_t(w) * h * 8);
            const double t_sensor = static_cast<int16_t>(le16(frame.desc + 4));
            const double t_ib = static_cast<int16_t>(le16(frame.desc + 6));

            std::vector<float> truth(size_t(w) * h), fpn(size_t(w) * h);
            ASSERT_EQ(camsim_ground_truth(0, truth.data(), static_cast<uint32_t>(truth.size())),
                      w * h);
            ASSERT_EQ(camsim_fpn(0, fpn.data(), static_cast<uint32_t>(fpn.size())), w * h);

            const double range = std::trunc(kRangeNumerator / c.mod_freq);
            const double drift = std::round(0.33765 * t_ib + 1.7 * t_sensor);
            const size_t plane = size_t(w) * h;
            int checked = 0, off = 0;
            for (int src_row = 0; src_row < h; ++src_row) {
                // sensor readout order: rows leave the middle pairwise
                const int k = src_row / 2;
                const int img_row = src_row % 2 == 0 ? h / 2 - 1 - k : h / 2 + k;
                for (int x = 0; x < w; ++x) {
                    double d[4];
                    bool clipped = false;
                    for (int q = 0; q < 4; ++q) {
                        const size_t at = 2 * (q * plane + size_t(src_row) * w + x);
                        d[q] = le16(&frame.data[at]) & 0xfff;
                        clipped |= d[q] == 0 || d[q] == 4095;
                    }
                    const double amp = std::hypot(d[2] - d[0], d[3] - d[1]);
                    if (clipped || amp < 8) continue;
                    double p = std::atan2(d[3] - d[1], d[2] - d[0]) * kPhaseUnits / (2 * kPi) +
                               kPhaseUnits / 2;
                    const double r = p * range / kPhaseUnits;
                    const size_t i = size_t(img_row) * w + x;
                    double err =
                        std::remainder(r - kRawOffsetMm - drift - fpn[i] - truth[i], range);
                    // one sample step of 0.5 LSB rotates the angle by about 1/amp radians
                    const double tolerance = 2 + 1.5 * range / (2 * kPi * amp);
                    ++checked;
                    if (std::fabs(err) > tolerance) ++off;
                }
            }
            EXPECT_GT(checked, w * h / 2);
            EXPECT_EQ(off, 0);
        }
        s.close();
    }
}

}  // namespace
}  // namespace simtest
