// Listing, opening, resetting and closing devices on the simulator.
#include "api/api_fixture.h"

namespace {

using namespace kavri_api_test;

class Dev : public ApiTest {};

TEST_F(Dev, ListRefusesBadArguments) {
    plug();
    kavri_dev_t list[1];
    LogCapture log(KV_LOG_ERR);
    EXPECT_EQ(kavri_dev_list(nullptr, 1), 0);
    EXPECT_EQ(kavri_dev_list(list, 0), 0);
    EXPECT_EQ(kavri_dev_list(list, -1), 0);
    EXPECT_TRUE(log.has("wrong params: dev_list=")) << log.text();
}

TEST_F(Dev, ListFillsOneOfThreeSlots) {
    camsim_camera_config_t cfg = config();
    cfg.bus = 2;
    cfg.port = 5;
    plug(cfg);
    kavri_dev_t list[3];
    std::memset(list, 0xA5, sizeof list);
    ASSERT_EQ(kavri_dev_list(list, 3), 1);
    kavri_usb_info_t info;
    std::memcpy(&info, list[0].if_info, sizeof info);
    EXPECT_EQ(info.usb_bus, 2);
    EXPECT_EQ(info.usb_port, 5);
    EXPECT_EQ(list[0].if_type, KAVRI_IF_USB);
    EXPECT_EQ(list[0].ll, nullptr);
    const kavri_dev_t zero{};
    for (int i = 1; i < 3; ++i) EXPECT_EQ(std::memcmp(&list[i], &zero, sizeof zero), 0) << i;

    // A listed record opens that very camera.
    ASSERT_NE(kavri_dev_open(&list[0]), nullptr);
    EXPECT_NE(std::strstr(list[0].product, "-T0-"), nullptr) << list[0].product;
    kavri_dev_close(&list[0]);
    EXPECT_EQ(list[0].ll, nullptr);
}

TEST_F(Dev, OpenFillsIdentityAndDriver) {
    const int cam = plug();
    kavri_dev_t *dev = open_first();
    ASSERT_NE(dev, nullptr);
    uint8_t value[18];
    uint8_t len = 0;
    ASSERT_EQ(camsim_param_get(cam, KAVRI_PARAM_PRODUCT, value, &len), CAMSIM_OK);
    EXPECT_EQ(std::string(dev->product),
              std::string(reinterpret_cast<char *>(value),
                          strnlen(reinterpret_cast<char *>(value), len)));
    ASSERT_EQ(camsim_param_get(cam, KAVRI_PARAM_VERSION, value, &len), CAMSIM_OK);
    for (int i = 0; i < 4 && 2 * i + 1 < len; ++i)
        EXPECT_EQ(dev->version[i], value[2 * i] | value[2 * i + 1] << 8) << i;
    ASSERT_EQ(camsim_param_get(cam, KAVRI_PARAM_UID, value, &len), CAMSIM_OK);
    EXPECT_EQ(std::memcmp(dev->uid, value, len), 0);
    EXPECT_NE(dev->path, nullptr);
    kavri_drv_t *drv = kavri_dev_get_drv(dev);
    ASSERT_NE(drv, nullptr);
    EXPECT_STREQ(drv->chip_code, "T0");
    EXPECT_EQ(drv->dev, dev);  // the TI driver's init keeps the device
    EXPECT_EQ(kavri_cap_is_ongoing(dev), 0);
}

TEST_F(Dev, EpcCameraOpensWithItsDriversEmptySlotsSkipped) {
    plug(CAMSIM_CHIP_E2);
    kavri_dev_t *dev = open_first();
    ASSERT_NE(dev, nullptr);
    ASSERT_NE(kavri_dev_get_drv(dev), nullptr);
    EXPECT_STREQ(kavri_dev_get_drv(dev)->chip_code, "E2");
    // Frames are still delivered, described or not.
    std::vector<uint8_t> buf(4 << 20);
    EXPECT_EQ(kavri_cap_snapshot(dev, buf.data(), static_cast<uint32_t>(buf.size()), nullptr), 1);
}

TEST_F(Dev, DefaultRecordOpensOnceUntilClosed) {
    plug();
    kavri_dev_t *first = kavri_dev_open(nullptr);
    ASSERT_NE(first, nullptr);
    {
        LogCapture log(KV_LOG_ERR);
        EXPECT_EQ(kavri_dev_open(nullptr), nullptr);
        EXPECT_TRUE(log.has("default device may not close properly!")) << log.text();
    }
    EXPECT_NE(first->ll, nullptr);  // the first one is still open
    kavri_dev_close(first);
    EXPECT_EQ(first->ll, nullptr);
    kavri_dev_t *again = kavri_dev_open(nullptr);
    EXPECT_EQ(again, first);
    kavri_dev_close(again);
}

TEST_F(Dev, ReopeningAnOpenHandleClosesItFirst) {
    plug();
    kavri_dev_t *dev = open_first();
    ASSERT_NE(dev, nullptr);
    LogCapture log(KV_LOG_WRN);
    ASSERT_EQ(kavri_dev_open(dev), dev);
    EXPECT_TRUE(log.has("device not close correctly. close it..")) << log.text();
    log.text();
    EXPECT_EQ(sim_counters().open_handles, 1);
    EXPECT_EQ(kavri_cap_snapshot(dev, nullptr, 0, nullptr), 1);
}

TEST_F(Dev, UnknownChipCodeFailsTheOpen) {
    const int cam = plug();
    const char product[] = "KV100-Z9-A";
    ASSERT_EQ(camsim_param_set(cam, KAVRI_PARAM_PRODUCT, reinterpret_cast<const uint8_t *>(product),
                               sizeof product),
              CAMSIM_OK);
    kavri_dev_t *dev = new_handle();
    LogCapture log(KV_LOG_ERR);
    EXPECT_EQ(kavri_dev_open(dev), nullptr);
    EXPECT_TRUE(log.has("cannot find driver for device: product=KV100-Z9-A")) << log.text();
    log.text();
    EXPECT_EQ(dev->ll, nullptr);
    EXPECT_EQ(sim_counters().open_handles, 0);
}

TEST_F(Dev, OpenWithoutCameraFails) {
    kavri_dev_t *dev = new_handle();
    LogCapture log(KV_LOG_ERR);
    EXPECT_EQ(kavri_dev_open(dev), nullptr);
    EXPECT_TRUE(log.has("open device failed!")) << log.text();
    EXPECT_EQ(dev->ll, nullptr);
}

TEST_F(Dev, FailedIdentityReadFailsTheOpen) {
    const int cam = plug();
    ASSERT_EQ(camsim_inject(cam, CAMSIM_FAULT_FAIL_COMMAND, 100, 0, nullptr), CAMSIM_OK);
    kavri_dev_t *dev = new_handle();
    LogCapture log(KV_LOG_WRN);
    EXPECT_EQ(kavri_dev_open(dev), nullptr);
    EXPECT_TRUE(log.has("cannot get info of device")) << log.text();
    EXPECT_EQ(dev->ll, nullptr);
    camsim_clear_faults(cam);
}

TEST_F(Dev, ResetPassesTargetsUpToEight) {
    const int cam = plug();
    kavri_dev_t *dev = open_first();
    ASSERT_NE(dev, nullptr);
    // 1 and 2 keep the camera on the bus; 4..8 reach it and are refused by
    // it; 0 reboots it (acknowledged first), so it goes last.
    for (uint32_t target : {1u, 2u, 4u, 5u, 6u, 7u, 8u, 0u}) {
        const uint64_t before = camera_stats(cam).resets;
        kavri_dev_reset(dev, target);
        const camsim_camera_stats_t s = camera_stats(cam);
        EXPECT_EQ(s.resets, before + 1) << target;
        EXPECT_EQ(s.last_reset_target, target);
    }
}

TEST_F(Dev, ResetRefusesTargetNineAndBadHandles) {
    const int cam = plug();
    kavri_dev_t *dev = open_first();
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(kavri_dev_reset(dev, 1), 1);
    const uint64_t before = camera_stats(cam).resets;
    {
        LogCapture log(KV_LOG_ERR);
        EXPECT_EQ(kavri_dev_reset(dev, 9), 0);
        EXPECT_TRUE(log.has("wrong reset target: 9")) << log.text();
    }
    EXPECT_EQ(camera_stats(cam).resets, before);
    LogCapture log(KV_LOG_ERR);
    EXPECT_EQ(kavri_dev_reset(nullptr, 1), 0);
    kavri_dev_t closed{};
    EXPECT_EQ(kavri_dev_reset(&closed, 1), 0);
    EXPECT_TRUE(log.has("Device handler Is NULL!")) << log.text();
}

TEST_F(Dev, CloseOfANeverOpenedHandleDoesNothing) {
    kavri_dev_t dev{};
    kavri_dev_close(&dev);
    kavri_dev_close(nullptr);
    EXPECT_EQ(dev.ll, nullptr);
}

TEST_F(Dev, CloseStopsARunningCapture) {
    const int cam = plug();
    kavri_dev_t *dev = open_first();
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(kavri_cap_start(dev), 1);
    kavri_dev_close(dev);
    EXPECT_EQ(dev->ll, nullptr);
    EXPECT_EQ(camera_stats(cam).stream_stops, 1u);
}

TEST_F(Dev, OpenByFdIsNotSupported) {
    plug();
    kavri_dev_t dev{};
    LogCapture log(KV_LOG_ERR);
    EXPECT_EQ(kavri_dev_open_by_fd(&dev, 3), nullptr);
    EXPECT_TRUE(log.has("kavri_dev_open_by_fd currently only support in android!"));
}

// What a driver's decode writes is read from its record, whatever its table:
// float output is handed over as it is, 16-bit millimetres are widened to
// metres.
constexpr uint32_t kDecodeW = 4, kDecodeH = 2, kDecodePixels = kDecodeW * kDecodeH;
constexpr float kFloatBase = 0.25f;
constexpr uint16_t kMmBase = 1000;

int32_t decode_floats(kavri_drv_t *, void *dst, uint32_t dst_bytes, uint32_t, const uint16_t *,
                      uint32_t, const kavri_frame_info_t *) {
    auto *out = static_cast<float *>(dst);
    const uint32_t n = std::min<uint32_t>(kDecodePixels, dst_bytes / sizeof(float));
    for (uint32_t i = 0; i < n; ++i) out[i] = kFloatBase + static_cast<float>(i);
    return static_cast<int32_t>(n);
}

int32_t decode_millimetres(kavri_drv_t *, void *dst, uint32_t dst_bytes, uint32_t, const uint16_t *,
                           uint32_t, const kavri_frame_info_t *) {
    auto *out = static_cast<uint16_t *>(dst);
    const uint32_t n = std::min<uint32_t>(kDecodePixels, dst_bytes / sizeof(uint16_t));
    for (uint32_t i = 0; i < n; ++i) out[i] = static_cast<uint16_t>(kMmBase + i);
    return static_cast<int32_t>(n * sizeof(uint16_t));
}

TEST_F(Dev, DistanceFollowsTheDecodeOutputTheRecordDeclares) {
    struct Case {
        uint8_t distance_out;
        decltype(kavri_drv_op_t::frame_decode) decode;
        float first_m;
    };
    const Case cases[] = {
        {KAVRI_DECODE_OUT_F32_M, decode_floats, kFloatBase},
        {KAVRI_DECODE_OUT_U16_MM, decode_millimetres, kMmBase / 1000.0f},
    };
    plug();
    kavri_dev_t *dev = open_first();
    ASSERT_NE(dev, nullptr);
    kavri_drv_t *drv = kavri_dev_get_drv(dev);
    ASSERT_NE(drv, nullptr);
    const kavri_drv_t saved = *drv;
    for (const Case &c : cases) {
        kavri_drv_op_t ops = *saved.ops;
        ops.frame_decode = c.decode;
        drv->ops = &ops;
        drv->distance_out = c.distance_out;
        kavri_frame_info_t info{};
        info.width = kDecodeW;
        info.height = kDecodeH;
        const std::vector<uint8_t> raw(64);
        info.frame_size = static_cast<uint32_t>(raw.size());
        std::vector<float> dst(kDecodePixels, -1.0f);
        EXPECT_EQ(kavri_frame_get_distance(dev, dst.data(), kDecodePixels, raw.data(),
                                           static_cast<uint32_t>(raw.size()), &info),
                  static_cast<int>(kDecodePixels));
        for (uint32_t i = 0; i < kDecodePixels; ++i) {
            const float step = c.distance_out == KAVRI_DECODE_OUT_F32_M ? 1.0f : 0.001f;
            EXPECT_FLOAT_EQ(dst[i], c.first_m + step * static_cast<float>(i))
                << "output " << int{c.distance_out} << " pixel " << i;
        }
        drv->ops = saved.ops;
        drv->distance_out = saved.distance_out;
    }
}

}  // namespace
