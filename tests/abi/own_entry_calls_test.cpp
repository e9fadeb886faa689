// An application may define functions named like the library's exported
// transport, stream parser, calibration store, driver and data calls. The
// library's own calls between its areas must still reach the library's code:
// opening, capturing from, decoding for and closing an EPC camera, and
// starting and stopping the library, while this executable defines each of
// those functions itself.
#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include "api/api_fixture.h"

namespace {

enum Fn {
    kLlInit,
    kLlUninit,
    kLlSetDebug,
    kLlDevList,
    kLlDevOpen,
    kLlDevClose,
    kLlParamGet,
    kLlParamSet,
    kLlRegWrite,
    kLlRegRead,
    kLlCapStart,
    kLlCapStop,
    kDrvFind,
    kStreamCreate,
    kStreamDestroy,
    kStreamFeedInput,
    kStreamFetchFrames,
    kParamInit,
    kParamUninit,
    kParamOpenFile,
    kParamClose,
    kParamLoadFromDev,
    kParamAbsoluteName,
    kCalcInit,
    kCalcUninit,
    kCalcMountCalib,
    kCalcDcsSort,
    kEpcRegRw,
    kCapStart,
    kCapStop,
    kFnCount
};

constexpr const char *kFnNames[] = {"kavri_ll_init",
                                    "kavri_ll_uninit",
                                    "kavri_ll_set_debug",
                                    "kavri_ll_dev_list",
                                    "kavri_ll_dev_open",
                                    "kavri_ll_dev_close",
                                    "kavri_ll_param_get",
                                    "kavri_ll_param_set",
                                    "kavri_ll_reg_write",
                                    "kavri_ll_reg_read",
                                    "kavri_ll_cap_start",
                                    "kavri_ll_cap_stop",
                                    "kavri_drv_find",
                                    "kv_stream_create",
                                    "kv_stream_destroy",
                                    "kv_stream_feed_input",
                                    "kv_stream_fetch_frames",
                                    "kavri_param_init",
                                    "kavri_param_uninit",
                                    "kavri_param_open_file",
                                    "kavri_param_close",
                                    "kavri_param_load_from_dev",
                                    "kavri_get_param_absolute_name",
                                    "epc_calc_init",
                                    "epc_calc_uninit",
                                    "epc_calc_mount_calib",
                                    "calc_dcs_sort",
                                    "_epc_reg_rw",
                                    "kavri_cap_start",
                                    "kavri_cap_stop"};
static_assert(std::size(kFnNames) == kFnCount);

// Calls of each definition; the event threads call some of them, hence atomics.
std::array<std::atomic<int>, kFnCount> g_calls{};

template <typename F>
F library_definition(const char *name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

// Each definition counts its call and hands it to the library's, so that the
// library works alike whichever of the two it reaches.
#define KV_TEST_FORWARD(fn, ret, name, params, args)                       \
    extern "C" ret name params {                                           \
        ++g_calls[fn];                                                     \
        static const auto next = library_definition<ret(*) params>(#name); \
        return next args;                                                  \
    }

KV_TEST_FORWARD(kLlInit, uint8_t, kavri_ll_init, (void), ())
KV_TEST_FORWARD(kLlUninit, void, kavri_ll_uninit, (void), ())
KV_TEST_FORWARD(kLlSetDebug, void, kavri_ll_set_debug, (uint32_t l), (l))
KV_TEST_FORWARD(kLlDevList, int32_t, kavri_ll_dev_list, (kavri_ll_t * l, int32_t m), (l, m))
KV_TEST_FORWARD(kLlDevOpen, kavri_ll_t *, kavri_ll_dev_open, (kavri_ll_t * l), (l))
KV_TEST_FORWARD(kLlDevClose, void, kavri_ll_dev_close, (kavri_ll_t * l), (l))
KV_TEST_FORWARD(kLlParamGet, uint8_t, kavri_ll_param_get,
                (kavri_ll_t * l, kavri_ll_param_item_t *i, uint32_t n), (l, i, n))
KV_TEST_FORWARD(kLlParamSet, uint8_t, kavri_ll_param_set,
                (kavri_ll_t * l, kavri_ll_param_item_t *i, uint32_t n), (l, i, n))
KV_TEST_FORWARD(kLlRegWrite, uint8_t, kavri_ll_reg_write,
                (kavri_ll_t * l, uint32_t t, uint32_t b, uint32_t *v, uint32_t n), (l, t, b, v, n))
KV_TEST_FORWARD(kLlRegRead, uint8_t, kavri_ll_reg_read,
                (kavri_ll_t * l, uint32_t t, uint32_t b, uint32_t *v, uint32_t n), (l, t, b, v, n))
KV_TEST_FORWARD(kLlCapStart, uint8_t, kavri_ll_cap_start,
                (kavri_ll_t * l, uint32_t a, kavri_ll_cap_cb_t cb, void *arg), (l, a, cb, arg))
KV_TEST_FORWARD(kLlCapStop, uint8_t, kavri_ll_cap_stop, (kavri_ll_t * l), (l))
KV_TEST_FORWARD(kDrvFind, kavri_drv_t *, kavri_drv_find, (const kavri_dev_t *d), (d))
KV_TEST_FORWARD(kStreamCreate, kv_stream_t *, kv_stream_create, (kv_stream_cfg_t c), (c))
KV_TEST_FORWARD(kStreamDestroy, void, kv_stream_destroy, (kv_stream_t * s), (s))
KV_TEST_FORWARD(kStreamFeedInput, uint8_t, kv_stream_feed_input,
                (kv_stream_t * s, const uint8_t *d, int32_t n), (s, d, n))
KV_TEST_FORWARD(kStreamFetchFrames, uint32_t, kv_stream_fetch_frames,
                (kv_stream_t * s, uint8_t *d, uint32_t z, uint32_t w, kv_stream_frame_info_t *i,
                 uint8_t p),
                (s, d, z, w, i, p))
KV_TEST_FORWARD(kParamInit, int, kavri_param_init, (void), ())
KV_TEST_FORWARD(kParamUninit, void, kavri_param_uninit, (void), ())
KV_TEST_FORWARD(kParamOpenFile, uint8_t, kavri_param_open_file, (kavri_param_t * p, const char *f),
                (p, f))
KV_TEST_FORWARD(kParamClose, void, kavri_param_close, (kavri_param_t * p), (p))
KV_TEST_FORWARD(kParamLoadFromDev, uint8_t, kavri_param_load_from_dev, (kavri_dev_t * d), (d))
KV_TEST_FORWARD(kParamAbsoluteName, char *, kavri_get_param_absolute_name,
                (kavri_dev_t * d, char *b, uint32_t n), (d, b, n))
KV_TEST_FORWARD(kCalcInit, uint8_t, epc_calc_init, (kavri_drv_t * d), (d))
KV_TEST_FORWARD(kCalcUninit, void, epc_calc_uninit, (kavri_drv_t * d), (d))
KV_TEST_FORWARD(kCalcMountCalib, int32_t, epc_calc_mount_calib, (kavri_drv_t * d), (d))
KV_TEST_FORWARD(kCalcDcsSort, void, calc_dcs_sort,
                (uint16_t * d, const uint16_t *s, int32_t w, int32_t h), (d, s, w, h))
KV_TEST_FORWARD(kEpcRegRw, int32_t, _epc_reg_rw,
                (kavri_drv_t * d, uint8_t r, uint32_t a, uint32_t n, uint32_t *v), (d, r, a, n, v))
KV_TEST_FORWARD(kCapStart, int, kavri_cap_start, (kavri_dev_t * d), (d))
KV_TEST_FORWARD(kCapStop, int, kavri_cap_stop, (kavri_dev_t * d), (d))

namespace {

using namespace kavri_api_test;

void reset_calls() {
    for (auto &c : g_calls) c = 0;
}

void expect_no_calls(const char *what) {
    for (int fn = 0; fn < kFnCount; ++fn)
        EXPECT_EQ(g_calls[fn], 0) << what << " called " << kFnNames[fn];
}

TEST(OwnEntryCalls, InitAndLogSettingsReachTheLibrarysOwnCalls) {
    const std::string log_file = ::testing::TempDir() + "kv_own_entry_calls.log";
    reset_calls();
    ASSERT_EQ(kavri_init(log_file.c_str()), 1);
    kavri_log_cfg(KV_LOG_OFF, KV_LOG_OFF, KV_LOG_OFF);
    kavri_uninit();
    expect_no_calls("kavri_init, kavri_log_cfg and kavri_uninit");
    std::filesystem::remove(log_file);
}

using OwnEntryCallsOnCamera = ApiTestOwnCache;

TEST_F(OwnEntryCallsOnCamera, OpenCaptureDecodeAndCloseReachTheLibrarysOwnCalls) {
    ASSERT_GE(plug(config(CAMSIM_CHIP_E2)), 0);
    reset_calls();
    kavri_dev_t *dev = open_first();
    ASSERT_NE(dev, nullptr);
    std::vector<uint8_t> raw(16u << 20);
    kavri_frame_info_t info{};
    ASSERT_EQ(kavri_cap_snapshot(dev, raw.data(), static_cast<uint32_t>(raw.size()), &info), 1);
    std::vector<float> d(size_t{info.width} * info.height);
    EXPECT_GT(kavri_frame_get_distance(dev, d.data(), static_cast<uint32_t>(d.size()), raw.data(),
                                       info.frame_size, &info),
              0);
    kavri_dev_close(dev);
    expect_no_calls("open, snapshot, distance and close");
}

}  // namespace
