// Register and parameter batches: item conversion, driver notifications,
// failures and bad handles.
#include <array>
#include <mutex>

#include "api/api_fixture.h"

namespace {

using namespace kavri_api_test;

// A driver table that records the notifications it receives.
struct Notice {
    int op;  // 6 update_intg_time, 7 update_mod_freq
    uint32_t value;
    uint32_t which;
};
std::mutex g_notice_mutex;
std::vector<Notice> g_notices;

void record_intg(kavri_drv_t *, uint16_t value, uint32_t which) {
    std::lock_guard lock(g_notice_mutex);
    g_notices.push_back({6, value, which});
}
void record_freq(kavri_drv_t *, uint32_t hz, uint32_t unused) {
    std::lock_guard lock(g_notice_mutex);
    g_notices.push_back({7, hz, unused});
}

kavri_param_item_t item(uint32_t id, std::initializer_list<uint8_t> bytes) {
    kavri_param_item_t it{};
    it.param_id = id;
    it.param_val_len = static_cast<uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), it.param_val);
    return it;
}

class Batch : public ApiTest {
  protected:
    void SetUp() override {
        ApiTest::SetUp();
        cam_ = plug();
        dev_ = open_first();
        ASSERT_NE(dev_, nullptr);
    }
    void TearDown() override {
        if (saved_ops_ != nullptr) kavri_dev_get_drv(dev_)->ops = saved_ops_;
        ApiTest::TearDown();
    }
    // Swaps the registry entry's table for a recording one for this test.
    void record_notifications() {
        kavri_drv_t *drv = kavri_dev_get_drv(dev_);
        saved_ops_ = drv->ops;
        recording_ = *drv->ops;
        recording_.update_intg_time = record_intg;
        recording_.update_mod_freq = record_freq;
        drv->ops = &recording_;
        std::lock_guard lock(g_notice_mutex);
        g_notices.clear();
    }
    std::vector<uint8_t> sim_param(uint8_t id) {
        uint8_t value[18] = {};
        uint8_t len = 0;
        EXPECT_EQ(camsim_param_get(cam_, id, value, &len), CAMSIM_OK);
        return std::vector<uint8_t>(value, value + len);
    }

    int cam_ = -1;
    kavri_dev_t *dev_ = nullptr;
    const kavri_drv_op_t *saved_ops_ = nullptr;
    kavri_drv_op_t recording_{};
};

TEST_F(Batch, SetFpsIsLoggedAndSent) {
    kavri_param_item_t fps = item(KAVRI_PARAM_FPS, {30, 0, 0, 0});
    LogCapture log(KV_LOG_TRC);
    ASSERT_EQ(kavri_param_batch_set(dev_, &fps, 1), 1);
    EXPECT_TRUE(log.has("[_kavri_param_batch_set] Set FPS:30")) << log.text();
    EXPECT_TRUE(log.has("[_kavri_param_batch_set] set 1 param"));
    log.text();
    EXPECT_EQ(sim_param(KAVRI_PARAM_FPS), (std::vector<uint8_t>{30, 0, 0, 0}));
}

TEST_F(Batch, IdsAboveByteRangeTravelWithTheirLowByte) {
    kavri_param_item_t fps = item(0x300u + KAVRI_PARAM_FPS, {25, 0, 0, 0});
    ASSERT_EQ(kavri_param_batch_set(dev_, &fps, 1), 1);
    EXPECT_EQ(sim_param(KAVRI_PARAM_FPS), (std::vector<uint8_t>{25, 0, 0, 0}));

    kavri_param_item_t got{};
    got.param_id = 0x100u + KAVRI_PARAM_FPS;
    got.param_val_len = 4;
    ASSERT_EQ(kavri_param_batch_get(dev_, &got, 1), 1);
    EXPECT_EQ(got.param_id, 0x100u + KAVRI_PARAM_FPS);  // the caller's id is kept
    EXPECT_EQ(got.param_val[0], 25);
}

// A parameter the test defines on the camera, 18 bytes long and writable.
constexpr uint8_t kSpareParam = 40;

TEST_F(Batch, GetCopiesEighteenValueBytesAndTheLength) {
    uint8_t truth[18];
    for (int i = 0; i < 18; ++i) truth[i] = static_cast<uint8_t>(0xA0 + i);
    ASSERT_EQ(camsim_param_set(cam_, kSpareParam, truth, 18), CAMSIM_OK);
    kavri_param_item_t got{};
    got.param_id = kSpareParam;
    std::memset(got.param_val, 0xEE, sizeof got.param_val);
    ASSERT_EQ(kavri_param_batch_get(dev_, &got, 1), 1);
    EXPECT_EQ(got.param_val_len, 18);
    EXPECT_EQ(std::memcmp(got.param_val, truth, 18), 0);
    // The nineteenth byte of the interface item is not the wire's.
    EXPECT_EQ(got.param_val[18], 0xEE);
}

TEST_F(Batch, SetSendsAllEighteenValueBytes) {
    const uint8_t zero[18] = {};
    ASSERT_EQ(camsim_param_set(cam_, kSpareParam, zero, 18), CAMSIM_OK);
    kavri_param_item_t it{};
    it.param_id = kSpareParam;
    it.param_val_len = 18;
    for (int i = 0; i < 18; ++i) it.param_val[i] = static_cast<uint8_t>('a' + i);
    it.param_val[18] = 'Z';
    ASSERT_EQ(kavri_param_batch_set(dev_, &it, 1), 1);
    const std::vector<uint8_t> truth = sim_param(kSpareParam);
    ASSERT_EQ(truth.size(), 18u);
    EXPECT_EQ(std::memcmp(truth.data(), it.param_val, 18), 0);
}

TEST_F(Batch, FailedGetLeavesTheItemsUntouched) {
    std::array<kavri_param_item_t, 2> items{item(KAVRI_PARAM_FPS, {1, 2, 3, 4}),
                                            item(KAVRI_PARAM_PRODUCT, {9, 9})};
    for (auto &it : items)
        std::memset(it.param_val + it.param_val_len, 0x5A, 19 - it.param_val_len);
    const auto before = items;
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_FAIL_COMMAND, 10, 0, nullptr), CAMSIM_OK);
    EXPECT_EQ(kavri_param_batch_get(dev_, items.data(), 2), 0);
    camsim_clear_faults(cam_);
    EXPECT_EQ(std::memcmp(items.data(), before.data(), sizeof items), 0);
}

TEST_F(Batch, DriverHearsOfIntegrationTimeAndFrequencyEvenWhenTheWriteFails) {
    record_notifications();
    std::array<kavri_param_item_t, 4> items{item(KAVRI_PARAM_INTG_TIME, {0x34, 0x12}),
                                            item(KAVRI_PARAM_MOD_FREQ, {0x40, 0x78, 0x7D, 0x01}),
                                            item(KAVRI_PARAM_INTG_TIME2, {0x10, 0x00}),
                                            item(KAVRI_PARAM_FPS, {10, 0, 0, 0})};
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_FAIL_COMMAND, 10, 0, nullptr), CAMSIM_OK);
    EXPECT_EQ(kavri_param_batch_set(dev_, items.data(), 4), 0);
    camsim_clear_faults(cam_);
    std::lock_guard lock(g_notice_mutex);
    ASSERT_EQ(g_notices.size(), 3u);
    EXPECT_EQ(g_notices[0].op, 6);
    EXPECT_EQ(g_notices[0].value, 0x1234u);
    EXPECT_EQ(g_notices[0].which, 0u);
    EXPECT_EQ(g_notices[1].op, 7);
    EXPECT_EQ(g_notices[1].value, 25000000u);
    EXPECT_EQ(g_notices[2].op, 6);
    EXPECT_EQ(g_notices[2].value, 0x10u);
    EXPECT_EQ(g_notices[2].which, 1u);
}

TEST_F(Batch, DriverWithoutTheSlotsIsNotCalled) {
    // The TI driver has neither notification: the item just goes out.
    ASSERT_EQ(kavri_dev_get_drv(dev_)->ops->update_intg_time, nullptr);
    kavri_param_item_t it = item(KAVRI_PARAM_INTG_TIME, {100, 0});
    kavri_param_batch_set(dev_, &it, 1);
    EXPECT_GE(camera_stats(cam_).param_sets, 1u);
}

TEST_F(Batch, RegistersRoundTrip) {
    constexpr uint8_t kSensor = 1;
    uint32_t values[3] = {0x11, 0x22, 0x33};
    ASSERT_EQ(kavri_reg_batch_write(dev_, kSensor, 0x10, values, 3), 1);
    uint32_t v = 0;
    ASSERT_EQ(camsim_reg_get(cam_, kSensor, 0x11, &v), CAMSIM_OK);
    EXPECT_EQ(v, 0x22u);
    ASSERT_EQ(camsim_reg_set(cam_, kSensor, 0x12, 0xABCD), CAMSIM_OK);
    uint32_t back[3] = {};
    ASSERT_EQ(kavri_reg_batch_read(dev_, kSensor, 0x10, back, 3), 1);
    EXPECT_EQ(back[0], 0x11u);
    EXPECT_EQ(back[2], 0xABCDu);
}

TEST_F(Batch, ClosedHandlesAreRefused) {
    kavri_dev_t closed{};
    kavri_param_item_t it = item(KAVRI_PARAM_FPS, {});
    uint32_t v = 0;
    LogCapture log(KV_LOG_ERR);
    EXPECT_EQ(kavri_param_batch_set(&closed, &it, 1), 0);
    EXPECT_EQ(kavri_param_batch_get(nullptr, &it, 1), 0);
    EXPECT_EQ(kavri_reg_batch_write(&closed, 1, 0, &v, 1), 0);
    EXPECT_EQ(kavri_reg_batch_read(&closed, 1, 0, &v, 1), 0);
    EXPECT_TRUE(log.has("[kavri_param_batch_set]  Device handler Is NULL!")) << log.text();
    EXPECT_TRUE(log.has("[kavri_reg_batch_read]  Device handler Is NULL!"));
}

}  // namespace
