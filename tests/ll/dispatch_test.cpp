// The dispatch layer forwards to the record's own table, narrowed to the wire
// widths, and turns a missing record into a plain failure.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kavri.h"

namespace {

// What the fake transport saw last.
struct Seen {
    std::vector<std::string> calls;
    kavri_ll_t *ll = nullptr;
    uint32_t a = 0, b = 0, c = 0, d = 0;
    void *ptr = nullptr;
    kavri_ll_cap_cb_t cb = nullptr;
};
Seen g_seen;

void saw(const char *name, kavri_ll_t *ll) {
    g_seen.calls.emplace_back(name);
    g_seen.ll = ll;
}

kavri_ll_t *fake_open(kavri_ll_t *ll) {
    saw("dev_open", ll);
    return ll;
}
kavri_ll_t *fake_open_by_fd(kavri_ll_t *ll) {
    saw("dev_open_by_fd", ll);
    return ll;
}
void fake_close(kavri_ll_t *ll) {
    saw("dev_close", ll);
}
uint8_t fake_exe_cmd(kavri_ll_t *ll, uint8_t dir, uint8_t type, uint16_t value, void *buf,
                     uint32_t len, uint32_t timeout_ms) {
    saw("exe_cmd", ll);
    g_seen.a = dir;
    g_seen.b = type;
    g_seen.c = value;
    g_seen.d = len ^ timeout_ms;
    g_seen.ptr = buf;
    return 1;
}
int32_t fake_tx_data(kavri_ll_t *ll, const void *buf, uint32_t len) {
    saw("tx_data", ll);
    g_seen.ptr = const_cast<void *>(buf);
    return static_cast<int32_t>(len);
}
void fake_cap_abort(kavri_ll_t *ll) {
    saw("cap_abort", ll);
}
uint8_t fake_cap_start(kavri_ll_t *ll, uint32_t arg, kavri_ll_cap_cb_t cb, void *cb_arg) {
    saw("cap_start", ll);
    g_seen.a = arg;
    g_seen.cb = cb;
    g_seen.ptr = cb_arg;
    return 1;
}
uint8_t fake_cap_stop(kavri_ll_t *ll) {
    saw("cap_stop", ll);
    return 1;
}
uint8_t fake_dev_reset(kavri_ll_t *ll, uint8_t target) {
    saw("dev_reset", ll);
    g_seen.a = target;
    return 1;
}
uint8_t fake_reg(const char *name, kavri_ll_t *ll, uint8_t target, uint32_t base, uint32_t *values,
                 uint16_t count) {
    saw(name, ll);
    g_seen.a = target;
    g_seen.b = base;
    g_seen.c = count;
    g_seen.ptr = values;
    return 1;
}
uint8_t fake_reg_write(kavri_ll_t *ll, uint8_t t, uint32_t b, uint32_t *v, uint16_t n) {
    return fake_reg("reg_write", ll, t, b, v, n);
}
uint8_t fake_reg_read(kavri_ll_t *ll, uint8_t t, uint32_t b, uint32_t *v, uint16_t n) {
    return fake_reg("reg_read", ll, t, b, v, n);
}
uint8_t fake_param_set(kavri_ll_t *ll, kavri_ll_param_item_t *items, uint32_t count) {
    saw("param_set", ll);
    g_seen.ptr = items;
    g_seen.a = count;
    return 1;
}
uint8_t fake_param_get(kavri_ll_t *ll, kavri_ll_param_item_t *items, uint32_t count) {
    saw("param_get", ll);
    g_seen.ptr = items;
    g_seen.a = count;
    return 1;
}

const kavri_ll_op_t kFakeOps = {
    nullptr,        nullptr,        nullptr,       fake_open,      fake_open_by_fd, fake_close,
    nullptr,        fake_exe_cmd,   fake_tx_data,  fake_cap_abort, fake_cap_start,  fake_cap_stop,
    fake_dev_reset, fake_reg_write, fake_reg_read, fake_param_set, fake_param_get,
};

int32_t some_callback(kavri_ll_t *, int32_t, uint8_t *, uint32_t, void *) {
    return 0;
}

class Dispatch : public ::testing::Test {
  protected:
    void SetUp() override {
        g_seen = Seen{};
        rec_.ops = &kFakeOps;
    }
    kavri_ll_t rec_{};
};

TEST_F(Dispatch, CommandNarrowsDirectionTypeAndValue) {
    uint8_t buf[4];
    EXPECT_EQ(kavri_ll_exe_cmd(&rec_, 0x100, 0x1C2, 0x12345, buf, 4, 1000), 1);
    EXPECT_EQ(g_seen.ll, &rec_);
    EXPECT_EQ(g_seen.a, 0u);  // 0x100 narrowed to 8 bits is a read
    EXPECT_EQ(g_seen.b, 0xC2u);
    EXPECT_EQ(g_seen.c, 0x2345u);
    EXPECT_EQ(g_seen.d, 4u ^ 1000u);
    EXPECT_EQ(g_seen.ptr, buf);
}

TEST_F(Dispatch, RegistersNarrowTargetAndCount) {
    uint32_t values[2];
    EXPECT_EQ(kavri_ll_reg_read(&rec_, 0x203, 0xDEADBEEF, values, 0x10011), 1);
    EXPECT_EQ(g_seen.calls.back(), "reg_read");
    EXPECT_EQ(g_seen.a, 3u);
    EXPECT_EQ(g_seen.b, 0xDEADBEEFu);
    EXPECT_EQ(g_seen.c, 0x11u);
    EXPECT_EQ(kavri_ll_reg_write(&rec_, 0x1FF, 7, values, 0x20002), 1);
    EXPECT_EQ(g_seen.calls.back(), "reg_write");
    EXPECT_EQ(g_seen.a, 0xFFu);
    EXPECT_EQ(g_seen.c, 2u);
}

TEST_F(Dispatch, ResetNarrowsTarget) {
    EXPECT_EQ(kavri_ll_dev_reset(&rec_, 0x103), 1);
    EXPECT_EQ(g_seen.a, 3u);
}

TEST_F(Dispatch, EverySlotReachesTheRecordsTable) {
    kavri_ll_param_item_t items[2]{};
    int cb_arg = 0;
    EXPECT_EQ(kavri_ll_dev_open(&rec_), &rec_);
    EXPECT_EQ(kavri_ll_dev_open_by_fd(&rec_), &rec_);
    EXPECT_EQ(kavri_ll_tx_data(&rec_, items, 40), 40);
    EXPECT_EQ(kavri_ll_cap_start(&rec_, 0xABCDEF01, some_callback, &cb_arg), 1);
    EXPECT_EQ(g_seen.a, 0xABCDEF01u);
    EXPECT_EQ(g_seen.cb, &some_callback);
    EXPECT_EQ(g_seen.ptr, &cb_arg);
    EXPECT_EQ(kavri_ll_cap_stop(&rec_), 1);
    kavri_ll_cap_abort(&rec_);
    EXPECT_EQ(kavri_ll_param_set(&rec_, items, 2), 1);
    EXPECT_EQ(kavri_ll_param_get(&rec_, items, 2), 1);
    EXPECT_EQ(g_seen.ptr, items);
    EXPECT_EQ(g_seen.a, 2u);
    kavri_ll_dev_close(&rec_);
    const std::vector<std::string> expected = {"dev_open",  "dev_open_by_fd", "tx_data",
                                               "cap_start", "cap_stop",       "cap_abort",
                                               "param_set", "param_get",      "dev_close"};
    EXPECT_EQ(g_seen.calls, expected);
}

TEST_F(Dispatch, NullRecordFailsWithoutCalling) {
    uint32_t values[1];
    kavri_ll_param_item_t items[1]{};
    EXPECT_EQ(kavri_ll_exe_cmd(nullptr, 1, 0xC2, 0, values, 4, 1000), 0);
    EXPECT_EQ(kavri_ll_tx_data(nullptr, values, 4), 0);
    EXPECT_EQ(kavri_ll_cap_start(nullptr, 0, some_callback, nullptr), 0);
    EXPECT_EQ(kavri_ll_cap_stop(nullptr), 0);
    EXPECT_EQ(kavri_ll_dev_reset(nullptr, 1), 0);
    EXPECT_EQ(kavri_ll_reg_write(nullptr, 0, 0, values, 1), 0);
    EXPECT_EQ(kavri_ll_reg_read(nullptr, 0, 0, values, 1), 0);
    EXPECT_EQ(kavri_ll_param_set(nullptr, items, 1), 0);
    EXPECT_EQ(kavri_ll_param_get(nullptr, items, 1), 0);
    EXPECT_EQ(kavri_ll_dev_open(nullptr), nullptr);
    EXPECT_EQ(kavri_ll_dev_open_by_fd(nullptr), nullptr);
    kavri_ll_dev_close(nullptr);
    kavri_ll_cap_abort(nullptr);
    EXPECT_TRUE(g_seen.calls.empty());
}

TEST_F(Dispatch, RecordWithoutTableOrSlotFails) {
    kavri_ll_t bare{};
    uint8_t buf[1];
    EXPECT_EQ(kavri_ll_exe_cmd(&bare, 1, 0xC2, 0, buf, 1, 1000), 0);
    EXPECT_EQ(kavri_ll_cap_stop(&bare), 0);
    kavri_ll_dev_close(&bare);
    kavri_ll_cap_abort(&bare);

    kavri_ll_op_t empty{};
    bare.ops = &empty;
    EXPECT_EQ(kavri_ll_exe_cmd(&bare, 1, 0xC2, 0, buf, 1, 1000), 0);
    EXPECT_EQ(kavri_ll_dev_open(&bare), nullptr);
    kavri_ll_dev_close(&bare);
    EXPECT_TRUE(g_seen.calls.empty());
}

TEST(DispatchList, NonPositiveMaximumLeavesTheListAlone) {
    kavri_ll_t list[2];
    std::memset(list, 0xA5, sizeof list);
    EXPECT_EQ(kavri_ll_dev_list(list, 0), 0);
    EXPECT_EQ(kavri_ll_dev_list(list, -1), 0);
    EXPECT_EQ(kavri_ll_dev_list(list, INT32_MIN), 0);
    const auto *bytes = reinterpret_cast<const uint8_t *>(list);
    for (size_t i = 0; i < sizeof list; ++i) ASSERT_EQ(bytes[i], 0xA5) << i;
}

TEST(DispatchInit, UsbTransportStartsAndAcceptsAnyDebugLevel) {
    EXPECT_EQ(kavri_ll_init(), 1);
    kavri_ll_set_debug(7);
    kavri_ll_set_debug(1);
    kavri_ll_set_debug(KV_LOG_OFF);
    kavri_ll_uninit();
}

}  // namespace
