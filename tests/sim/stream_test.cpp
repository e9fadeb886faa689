// The frame stream: chunks, frames, pacing, layouts and the stream faults.
#include <cmath>
#include <cstdio>
#include <numbers>

#include "sim/stream_ring.h"

namespace simtest {
namespace {

class Stream : public SimTest {
  protected:
    void start(camsim_camera_config_t cfg) {
        ASSERT_EQ(camsim_plug(&cfg), 0);
        s = std::make_unique<Session>();
        ASSERT_NE(s->h, nullptr);
        ring = std::make_unique<Ring>(*s);
        ring->start();
        ASSERT_EQ(s->stream_start(), "");
    }
    void TearDown() override {
        ring.reset();
        s.reset();
        SimTest::TearDown();
    }
    std::unique_ptr<Session> s;
    std::unique_ptr<Ring> ring;
};

// One frame a second: after the first frame the transfers wait in the queue.
camsim_camera_config_t paced_config() {
    auto cfg = SimTest::quick_config();
    cfg.free_run = 0;
    cfg.fps = 1;
    return cfg;
}

TEST_F(Stream, FramesArriveWholeWithConsecutiveIndexesAndDescriptions) {
    start(quick_config());
    ASSERT_TRUE(ring->frames(5));
    const auto &p = ring->parser;
    EXPECT_EQ(p.junk, 0u);
    EXPECT_EQ(p.bad_sums, 0u);
    EXPECT_EQ(p.sidx_gaps, 0u);
    for (size_t i = 0; i < p.frames.size(); ++i) {
        const auto &f = p.frames[i];
        EXPECT_EQ(f.data.size(), 614400u);
        EXPECT_EQ(f.format, 2);
        EXPECT_EQ(f.index, static_cast<uint16_t>(p.frames[0].index + i));
        EXPECT_EQ(le16(f.desc), 320);
        EXPECT_EQ(le16(f.desc + 2), 240);
        EXPECT_GT(static_cast<int16_t>(le16(f.desc + 4)), 0);
        EXPECT_GT(static_cast<int16_t>(le16(f.desc + 6)), 0);
        EXPECT_EQ(le32(f.desc + 8), 0u);
    }
    // default layout: 153600-byte payloads, data checksum on, first chunk flagged
    const auto &c = p.chunks;
    ASSERT_GE(c.size(), 4u);
    EXPECT_TRUE(c[0].start);
    EXPECT_FALSE(c[1].start);
    EXPECT_EQ(c[0].len, 153600u);
    EXPECT_EQ(c[0].frlen, 614400u);
    EXPECT_TRUE(c[0].has_sum);
    // free-running frames fill every transfer to the brim
    for (int len : ring->lengths) EXPECT_EQ(len, kStreamTransferBytes);
    // the last frame put in the stream matches what the camera says it sent
    std::vector<uint8_t> last(614400);
    uint16_t idx = 0;
    ASSERT_EQ(camsim_last_frame(0, last.data(), 614400, nullptr, &idx), 614400);
}

TEST_F(Stream, PacedFramesEndTheirTransferWithAShortPacket) {
    auto cfg = quick_config();
    cfg.free_run = 0;
    cfg.fps = 60;
    start(cfg);
    ASSERT_TRUE(ring->frames(3));
    bool short_seen = false;
    for (int len : ring->lengths) short_seen |= len < kStreamTransferBytes;
    EXPECT_TRUE(short_seen);
    EXPECT_EQ(ring->parser.junk, 0u);
}

struct Layout {
    const char *name;
    uint16_t width, height;
    uint32_t chunk_payload;
    uint8_t frames_per_chunk, checksum;
    uint32_t expect_len;  // payload of the first chunk
};

TEST_F(Stream, ConfigurableLayouts) {
    const Layout cases[] = {
        {"whole frame per chunk", 320, 240, 0, 1, 1, 614400},
        {"small chunks", 320, 240, 65536, 1, 1, 65536},
        {"no checksum", 320, 240, 153600, 1, 0, 153600},
        {"three small frames per chunk", 80, 60, 0, 3, 1, 3 * 80 * 60 * 8},
    };
    for (const auto &l : cases) {
        SCOPED_TRACE(l.name);
        camsim_clear();
        auto cfg = quick_config();
        cfg.width = l.width;
        cfg.height = l.height;
        cfg.chunk_payload = l.chunk_payload;
        cfg.frames_per_chunk = l.frames_per_chunk;
        cfg.data_checksum = l.checksum;
        ring.reset();
        s.reset();
        start(cfg);
        ASSERT_TRUE(ring->frames(7));
        const auto &p = ring->parser;
        EXPECT_EQ(p.chunks[0].len, l.expect_len);
        EXPECT_EQ(p.chunks[0].has_sum, l.checksum != 0);
        EXPECT_EQ(p.chunks[0].frlen, uint32_t{l.width} * l.height * 8);
        for (size_t i = 1; i < p.frames.size(); ++i)
            EXPECT_EQ(p.frames[i].index, static_cast<uint16_t>(p.frames[i - 1].index + 1));
        EXPECT_EQ(p.junk + p.bad_sums + p.sidx_gaps, 0u);
    }
}

TEST_F(Stream, StopEndsTheStreamAndStartBeginsWithAFrameStart) {
    start(paced_config());
    ASSERT_TRUE(ring->frames(1));
    ring->drain();
    ASSERT_EQ(s->stream_stop(), "");
    EXPECT_GT(ring->statuses[LIBUSB_TRANSFER_CANCELLED], 0);
    EXPECT_EQ(ring->outstanding, 0);
    ring->parser = StreamParser{};
    ring->start();
    ASSERT_EQ(s->stream_start(), "");
    ASSERT_TRUE(ring->frames(2));
    EXPECT_TRUE(ring->parser.chunks.at(0).start);
    EXPECT_EQ(ring->parser.junk, 0u);
}

TEST_F(Stream, StallHaltsTheEndpointUntilClearHalt) {
    start(quick_config());
    ASSERT_TRUE(ring->frames(1));
    ring->clear_halt_on_stall = false;
    ASSERT_EQ(camsim_inject(0, CAMSIM_FAULT_STALL_BULK_IN, 1, 0, nullptr), 0);
    ASSERT_TRUE(ring->run_until([&] { return ring->statuses[LIBUSB_TRANSFER_STALL] == 1; }));
    const size_t before = ring->parser.frames.size();
    timeval tv{0, 100000};
    libusb_handle_events_timeout_completed(s->ctx, &tv, nullptr);
    EXPECT_EQ(ring->statuses[LIBUSB_TRANSFER_STALL], 1);  // halted: nothing flows, nothing stalls
    EXPECT_LE(ring->parser.frames.size(), before + 1);
    const size_t stalled_at = ring->lengths.size();
    libusb_handle_events_timeout_completed(s->ctx, &tv, nullptr);
    EXPECT_EQ(ring->lengths.size(), stalled_at);
    ASSERT_EQ(libusb_clear_halt(s->h, kEpIn), 0);
    EXPECT_TRUE(ring->frames(before + 3));
}

TEST_F(Stream, TimedOutTransferDeliversItsPartialDataAndNothingIsLost) {
    start(quick_config());
    ASSERT_TRUE(ring->frames(1));
    ASSERT_EQ(camsim_inject(0, CAMSIM_FAULT_TIMEOUT_BULK_IN, 2, 1000, nullptr), 0);
    ASSERT_TRUE(ring->run_until([&] { return ring->statuses[LIBUSB_TRANSFER_TIMED_OUT] == 2; }));
    const size_t before = ring->parser.frames.size();
    ASSERT_TRUE(ring->frames(before + 2));
    int partial = 0;
    for (int len : ring->lengths) partial += len == 1000;
    EXPECT_EQ(partial, 2);
    EXPECT_EQ(ring->parser.junk + ring->parser.bad_sums + ring->parser.sidx_gaps, 0u);
}

TEST_F(Stream, TimeOutThatWaitsForTheTransferTimeout) {
    auto cfg = quick_config();
    ASSERT_EQ(camsim_plug(&cfg), 0);
    s = std::make_unique<Session>();
    ring = std::make_unique<Ring>(*s, 4, 150);
    ASSERT_EQ(camsim_inject(0, CAMSIM_FAULT_TIMEOUT_BULK_IN_WAIT, 1, 512, nullptr), 0);
    ring->start();
    ASSERT_EQ(s->stream_start(), "");
    ASSERT_TRUE(ring->run_until([&] { return ring->statuses[LIBUSB_TRANSFER_TIMED_OUT] > 0; }));
    EXPECT_EQ(ring->lengths.at(0), 512);  // the others waited behind it and timed out empty
    ASSERT_TRUE(ring->frames(2));
}

struct StreamFault {
    const char *name;
    int fault;
    uint32_t arg;
    bool bad_sum, gap, junk;
};

TEST_F(Stream, EachStreamFaultShowsUpInTheStream) {
    const StreamFault cases[] = {
        {"corrupt payload", CAMSIM_FAULT_CORRUPT_PAYLOAD, 0, true, false, false},
        {"corrupt header", CAMSIM_FAULT_CORRUPT_HEADER, 0, false, true, true},
        {"drop bytes", CAMSIM_FAULT_DROP_BYTES, 1000, true, true, true},
        {"drop chunk", CAMSIM_FAULT_DROP_CHUNKS, 0, false, true, false},
        {"garbage", CAMSIM_FAULT_GARBAGE_BYTES, 100, false, false, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        camsim_clear();
        ring.reset();
        s.reset();
        start(quick_config());
        ASSERT_TRUE(ring->frames(1));
        ASSERT_EQ(camsim_inject(0, c.fault, 1, c.arg, nullptr), 0);
        // transfers already filled still carry clean data: wait well past them
        const size_t before = ring->parser.frames.size();
        ASSERT_TRUE(ring->frames(before + 10));
        const auto &p = ring->parser;
        EXPECT_EQ(p.bad_sums > 0, c.bad_sum);
        EXPECT_EQ(p.sidx_gaps > 0, c.gap);
        EXPECT_EQ(p.junk > 0, c.junk);
        // one frame lost at most, the stream goes on with whole frames
        EXPECT_LE(p.broken_frames, 1u);
        EXPECT_EQ(p.frames.back().data.size(), 614400u);
    }
}

TEST_F(Stream, UnplugMidCaptureCompletesEveryTransferWithNoDevice) {
    start(paced_config());
    ASSERT_TRUE(ring->frames(1));
    ASSERT_EQ(camsim_unplug(0), 0);
    ASSERT_TRUE(ring->run_until([&] { return ring->outstanding == 0; }));
    EXPECT_GT(ring->statuses[LIBUSB_TRANSFER_NO_DEVICE], 0);
    EXPECT_EQ(libusb_submit_transfer(ring->ts[0]), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(Stream, UnplugAfterSomeTransfers) {
    start(paced_config());
    ASSERT_EQ(camsim_inject(0, CAMSIM_FAULT_UNPLUG, 3, 0, nullptr), 0);
    ASSERT_TRUE(ring->run_until([&] { return ring->outstanding == 0; }));
    EXPECT_GT(ring->statuses[LIBUSB_TRANSFER_NO_DEVICE], 0);
    EXPECT_GE(ring->statuses[LIBUSB_TRANSFER_COMPLETED], 3);
    camsim_camera_info_t info;
    ASSERT_EQ(camsim_camera_info(0, &info), 0);
    EXPECT_EQ(info.plugged, 0);
}

// Distance (mm) the centre pixel of a raw EPC frame shows, through the camera's phase model:
// samples in sensor readout order (image row h/2 is read out second), a raw offset of 2000 mm
// and a drift from the temperatures in the frame's description.
double centre_distance_mm(const StreamParser::Frame &f, uint32_t mod_freq_hz) {
    constexpr double kRangeNumerator = 149896229000.0, kRawOffsetMm = 2000.0;
    const size_t w = le16(f.desc), h = le16(f.desc + 2), plane = w * h;
    const size_t at = w + w / 2;  // readout row 1 holds image row h / 2
    double d[4];
    for (size_t q = 0; q < 4; ++q) d[q] = le16(&f.data[2 * (q * plane + at)]) & 0xfff;
    const double t_sensor = static_cast<int16_t>(le16(f.desc + 4));
    const double t_ib = static_cast<int16_t>(le16(f.desc + 6));
    const double drift = std::round(0.33765 * t_ib + 1.7 * t_sensor);
    const double range = std::trunc(kRangeNumerator / mod_freq_hz);
    const double turns = std::atan2(d[3] - d[1], d[2] - d[0]) / (2 * std::numbers::pi) + 0.5;
    double r = std::fmod(turns * range - kRawOffsetMm - drift, range);
    return r < 0 ? r + range : r;
}

TEST_F(Stream, SceneChangeShowsFromTheFrameIndexItNames) {
    constexpr uint32_t kModFreq = 12000000;
    constexpr double kOldWallMm = 2000, kNewWallMm = 1800, kToleranceMm = 30;
    constexpr uint16_t kW = 64, kH = 48;  // small frames: many of them queue up in the ring
    auto cfg = quick_config();
    cfg.width = kW;
    cfg.height = kH;
    cfg.fpn = 0;
    std::snprintf(cfg.scene, sizeof cfg.scene, "wall:2000");
    start(cfg);
    ASSERT_TRUE(ring->frames(2));

    EXPECT_EQ(camsim_set_scene(0, "wall:0", nullptr), CAMSIM_EINVAL);
    EXPECT_EQ(camsim_set_scene(0, nullptr, nullptr), CAMSIM_EINVAL);
    EXPECT_EQ(camsim_set_scene(1, "wall:1800", nullptr), CAMSIM_ENOCAM);
    uint16_t first = 0;
    ASSERT_EQ(camsim_set_scene(0, "wall:1800", &first), CAMSIM_OK);
    std::vector<float> truth(kW * kH);
    ASSERT_EQ(camsim_ground_truth(0, truth.data(), kW * kH), kW * kH);
    EXPECT_NEAR(truth[kH / 2 * kW + kW / 2], kNewWallMm, 5);

    auto &frames = ring->parser.frames;
    EXPECT_GT(static_cast<int16_t>(first - frames.back().index), 0);
    ASSERT_TRUE(
        ring->run_until([&] { return static_cast<int16_t>(frames.back().index - first) >= 1; }));
    size_t old_frames = 0, new_frames = 0;
    for (const auto &f : frames) {
        const bool changed = static_cast<int16_t>(f.index - first) >= 0;
        (changed ? new_frames : old_frames)++;
        EXPECT_NEAR(centre_distance_mm(f, kModFreq), changed ? kNewWallMm : kOldWallMm,
                    kToleranceMm)
            << "frame " << f.index << ", the new scene from " << first;
    }
    EXPECT_GE(old_frames, 2u);
    EXPECT_GE(new_frames, 2u);
    uint16_t last = 0;
    ASSERT_GT(camsim_last_frame(0, nullptr, 0, nullptr, &last), 0);
    EXPECT_GE(static_cast<int16_t>(last - first), 1);
}

TEST_F(Stream, TemperaturesDriftSlowlyUpwards) {
    auto cfg = quick_config();
    cfg.width = 32;
    cfg.height = 24;
    start(cfg);
    ASSERT_TRUE(ring->frames(200));
    const auto &f = ring->parser.frames;
    for (size_t i = 1; i < f.size(); ++i) {
        const int step = static_cast<int16_t>(le16(f[i].desc + 4)) -
                         static_cast<int16_t>(le16(f[i - 1].desc + 4));
        EXPECT_TRUE(step == 0 || step == 1) << step;
    }
    EXPECT_GT(le16(f.back().desc + 4), le16(f.front().desc + 4));
}

}  // namespace
}  // namespace simtest
