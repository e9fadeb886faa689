// Transport faults during a capture: time-outs, stalls, unplug, discarded
// frames, and the error callback's say over the capture.
#include <atomic>
#include <mutex>

#include "api/api_fixture.h"

namespace {

using namespace kavri_api_test;
using kavri::api::priv_of;

struct ErrorLog {
    std::mutex mutex;
    std::vector<std::pair<int32_t, uint32_t>> errors;
    uint8_t answer = 1;
};
ErrorLog *g_errors = nullptr;
uint8_t on_error(kavri_dev_t *, int32_t error, uint32_t arg) {
    std::lock_guard lock(g_errors->mutex);
    g_errors->errors.emplace_back(error, arg);
    return g_errors->answer;
}

class CaptureFault : public ApiTest {
  protected:
    void SetUp() override {
        ApiTest::SetUp();
        cam_ = plug();
        dev_ = open_first();
        ASSERT_NE(dev_, nullptr);
        g_errors = &errors_;
    }
    void TearDown() override {
        ApiTest::TearDown();
        g_errors = nullptr;
    }
    // Fetches until the capture reports a negative code (bounded).
    int fetch_until_error(int max_calls = 20) {
        for (int i = 0; i < max_calls; ++i) {
            const int r = kavri_cap_get_frames(dev_, 1, buf_.data(), kTiFrameBytes, nullptr);
            if (r < 0) return r;
        }
        return 0;
    }
    int cam_ = -1;
    kavri_dev_t *dev_ = nullptr;
    ErrorLog errors_;
    std::vector<uint8_t> buf_ = std::vector<uint8_t>(4 * kTiFrameBytes);
};

TEST_F(CaptureFault, MoreThanThirtyTwoTimeoutsStopWithMinusFive) {
    ASSERT_EQ(kavri_cap_start(dev_), 1);
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_TIMEOUT_BULK_IN, 33, 0, nullptr), CAMSIM_OK);
    EXPECT_EQ(fetch_until_error(), KAVRI_ERR_CAP_TIMEOUT);
    EXPECT_EQ(priv_of(dev_)->timeout_cnt.load(), 33);
    // Every later call reports it too, until the next start.
    EXPECT_EQ(kavri_cap_get_frames(dev_, 1, buf_.data(), kTiFrameBytes, nullptr), -5);
    EXPECT_EQ(kavri_cap_get_frame(dev_, buf_.data(), kTiFrameBytes, nullptr), -5);
    ASSERT_EQ(kavri_cap_start(dev_), 1);
    EXPECT_EQ(kavri_cap_get_frames(dev_, 2, buf_.data(), 2 * kTiFrameBytes, nullptr), 2);
}

TEST_F(CaptureFault, RefusedStartLeavesNoTransferBehind) {
    // The frame-rate read, then the start command itself.
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_FAIL_COMMAND, 2, 0, nullptr), CAMSIM_OK);
    EXPECT_EQ(kavri_cap_start(dev_), 0);
    // The ring was ended before the start returned: nothing was resubmitted
    // in between and nothing is still out waiting for its time-out.
    EXPECT_EQ(sim_counters().inflight_transfers, 0);
    EXPECT_EQ(kavri_cap_is_ongoing(dev_), 0);
    ASSERT_EQ(kavri_cap_start(dev_), 1);
    EXPECT_EQ(kavri_cap_get_frames(dev_, 2, buf_.data(), 2 * kTiFrameBytes, nullptr), 2);
}

TEST_F(CaptureFault, ThirtyTwoTimeoutsAreTolerated) {
    ASSERT_EQ(kavri_cap_start(dev_), 1);
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_TIMEOUT_BULK_IN, 32, 0, nullptr), CAMSIM_OK);
    ASSERT_TRUE(eventually([&] { return priv_of(dev_)->timeout_cnt.load() == 32; }));
    EXPECT_EQ(kavri_cap_get_frames(dev_, 3, buf_.data(), 3 * kTiFrameBytes, nullptr), 3);
    EXPECT_EQ(priv_of(dev_)->error.load() < 0, false);
}

TEST_F(CaptureFault, StallsCountOnlyWhenConsecutive) {
    ASSERT_EQ(kavri_cap_start(dev_), 1);
    for (int round = 0; round < 2; ++round) {
        const uint64_t before = camera_stats(cam_).stream_bytes;
        ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_STALL_BULK_IN, 16, 0, nullptr), CAMSIM_OK);
        // Data flows again after the sixteen stalls.
        ASSERT_TRUE(eventually([&] {
            return camera_stats(cam_).stream_bytes > before + 2 * kTiFrameBytes &&
                   priv_of(dev_)->stall_cnt.load() == 0;
        }));
        EXPECT_EQ(kavri_cap_get_frames(dev_, 1, buf_.data(), kTiFrameBytes, nullptr), 1) << round;
    }
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_STALL_BULK_IN, 17, 0, nullptr), CAMSIM_OK);
    EXPECT_EQ(fetch_until_error(), KAVRI_ERR_CAP_STALL);
}

// Unplug tests pace the camera so that transfers wait in the ring, where
// the unplug fails them.
TEST_F(CaptureFault, UnplugIsPassedOnAsMinusTen) {
    ASSERT_EQ(camsim_set_pacing(cam_, 30, 0), CAMSIM_OK);
    ASSERT_EQ(kavri_cap_start(dev_), 1);
    EXPECT_EQ(kavri_cap_get_frames(dev_, 1, buf_.data(), kTiFrameBytes, nullptr), 1);
    ASSERT_EQ(camsim_unplug(cam_), CAMSIM_OK);
    EXPECT_EQ(fetch_until_error(), KAVRI_ERR_CAP_UNKNOWN);
    kavri_dev_close(dev_);
    EXPECT_EQ(dev_->ll, nullptr);
}

TEST_F(CaptureFault, DiscardsAreReportedAsThreeWithoutStopping) {
    kavri_cap_set_callback_on_error(dev_, on_error);
    ASSERT_EQ(kavri_cap_start(dev_), 1);
    EXPECT_EQ(kavri_cap_get_frames(dev_, 1, buf_.data(), kTiFrameBytes, nullptr), 1);
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_CORRUPT_PAYLOAD, 1, 0, nullptr), CAMSIM_OK);
    ASSERT_TRUE(eventually([&] {
        kavri_cap_get_frames(dev_, 1, buf_.data(), kTiFrameBytes, nullptr);
        std::lock_guard lock(errors_.mutex);
        return !errors_.errors.empty();
    }));
    {
        std::lock_guard lock(errors_.mutex);
        EXPECT_EQ(errors_.errors[0].first, KAVRI_ERR_CAP_FRAME_DISCARD);
        EXPECT_GE(errors_.errors[0].second, 1u);
    }
    EXPECT_EQ(kavri_cap_get_frames(dev_, 2, buf_.data(), 2 * kTiFrameBytes, nullptr), 2);
    EXPECT_EQ(kavri_cap_is_ongoing(dev_), 1);
}

TEST_F(CaptureFault, WithoutErrorCallbackAFaultStaysPending) {
    ASSERT_EQ(camsim_set_pacing(cam_, 30, 0), CAMSIM_OK);
    ASSERT_EQ(kavri_cap_start(dev_), 1);
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_UNPLUG, 0, 0, nullptr), CAMSIM_OK);
    EXPECT_EQ(fetch_until_error(), KAVRI_ERR_CAP_UNKNOWN);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(kavri_cap_get_frames(dev_, 1, buf_.data(), kTiFrameBytes, nullptr), -10);
}

TEST_F(CaptureFault, ErrorCallbackReturningFalseStopsDeliveryUntilTheNextStart) {
    errors_.answer = 0;
    kavri_cap_set_callback_on_error(dev_, on_error);
    ASSERT_EQ(kavri_cap_start(dev_), 1);
    EXPECT_EQ(kavri_cap_get_frames(dev_, 1, buf_.data(), kTiFrameBytes, nullptr), 1);
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_CORRUPT_PAYLOAD, 1, 0, nullptr), CAMSIM_OK);
    ASSERT_TRUE(eventually([&] {
        kavri_cap_get_frames(dev_, 1, buf_.data(), kTiFrameBytes, nullptr);
        return priv_of(dev_)->force_stop.load() != 0;
    }));
    {
        std::lock_guard lock(errors_.mutex);
        ASSERT_EQ(errors_.errors.size(), 1u);
        EXPECT_EQ(errors_.errors[0].first, KAVRI_ERR_CAP_FRAME_DISCARD);
    }
    // Frames keep coming from the camera but none is delivered.
    const uint64_t frames = camera_stats(cam_).frames;
    ASSERT_TRUE(eventually([&] { return camera_stats(cam_).frames > frames + 3; }));
    EXPECT_EQ(kavri_cap_get_frames(dev_, 2, buf_.data(), 2 * kTiFrameBytes, nullptr), 0);
    EXPECT_EQ(kavri_cap_get_frame(dev_, buf_.data(), kTiFrameBytes, nullptr), 0);
    ASSERT_EQ(kavri_cap_start(dev_), 1);
    EXPECT_EQ(kavri_cap_get_frames(dev_, 2, buf_.data(), 2 * kTiFrameBytes, nullptr), 2);
}

TEST_F(CaptureFault, ErrorCallbackSeesTransportFaultsAndMayConsumeThem) {
    kavri_cap_set_callback_on_error(dev_, on_error);
    ASSERT_EQ(camsim_set_pacing(cam_, 30, 0), CAMSIM_OK);
    ASSERT_EQ(kavri_cap_start(dev_), 1);
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_UNPLUG, 0, 0, nullptr), CAMSIM_OK);
    ASSERT_TRUE(eventually([&] { return priv_of(dev_)->stop.load() != 0; }));
    // The call that finds the fault reports it; the callback answered true,
    // so the error is consumed and later calls find the capture just stopped.
    EXPECT_EQ(kavri_cap_get_frames(dev_, 1, buf_.data(), kTiFrameBytes, nullptr), -10);
    EXPECT_EQ(kavri_cap_get_frames(dev_, 1, buf_.data(), kTiFrameBytes, nullptr), 0);
    std::lock_guard lock(errors_.mutex);
    ASSERT_FALSE(errors_.errors.empty());
    EXPECT_EQ(errors_.errors.back().first, KAVRI_ERR_CAP_UNKNOWN);
}

}  // namespace
