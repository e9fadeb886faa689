// An application may define functions named like the library's exported
// ones. The library's own calls between its areas must still reach the
// library's code: the logger, the image filters, the colour map, the lens map
// and the matrices are each called here from inside the library while the
// application defines a function of the same name.
#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "api/api_fixture.h"

namespace {

// The library functions this executable defines itself.
enum Fn {
    kLog,
    kLogEnable,
    kLogDisable,
    kMedianK3,
    kMedianK5,
    kGaussK3,
    kFlypixK3,
    kFholeK3,
    kCmapInit,
    kCmapUninit,
    kCmapSetRange,
    kCmapGetColor,
    kLensInitMap,
    kLensUninitMap,
    kLensUndistort,
    kMat3Set,
    kMat3Inverse,
    kMat3ToMat4,
    kMat4Set,
    kMat4Identity,
    kMat4Inverse,
    kMat4Multiply,
    kMat4MultiplyVec4,
    kMat4ToInverseMat3,
    kMat4Frustum,
    kMat4FromRotationTranslation,
    kFnCount
};

constexpr const char *kFnNames[] = {"kv_log",
                                    "kv_log_enable",
                                    "kv_log_disable",
                                    "kv_median2d_u16_k3",
                                    "kv_median2d_u16_k5",
                                    "kv_gauss2d_u16_k3",
                                    "kv_flypix_u16_k3",
                                    "kv_fhole_u16_k3",
                                    "kv_cmap_init",
                                    "kv_cmap_uninit",
                                    "kv_cmap_set_range",
                                    "kv_cmap_get_color",
                                    "kv_calib_len_init_map",
                                    "kv_calib_len_uninit_map",
                                    "kv_calib_len_undistort_u16",
                                    "mat3_set",
                                    "mat3_inverse",
                                    "mat3_toMat4",
                                    "mat4_set",
                                    "mat4_identity",
                                    "mat4_inverse",
                                    "mat4_multiply",
                                    "mat4_multiplyVec4",
                                    "mat4_toInverseMat3",
                                    "mat4_frustum",
                                    "mat4_fromRotationTranslation"};
static_assert(std::size(kFnNames) == kFnCount);

// Calls of each definition; the event threads log too, hence atomics.
std::array<std::atomic<int>, kFnCount> g_calls{};

void reset_calls() {
    for (auto &c : g_calls) c = 0;
}

// The library's definition of name, the next one after this executable's.
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

// The logger is variadic and cannot forward: this one drops the message, so
// the library's messages only arrive when it calls its own logger.
extern "C" int kv_log(unsigned, const char *, const char *, ...) {
    ++g_calls[kLog];
    return 0;
}
KV_TEST_FORWARD(kLogEnable, int, kv_log_enable, (unsigned s, unsigned l, const char *f), (s, l, f))
KV_TEST_FORWARD(kLogDisable, int, kv_log_disable, (void), ())
KV_TEST_FORWARD(kMedianK3, void, kv_median2d_u16_k3,
                (uint16_t * d, const uint16_t *s, int w, int h), (d, s, w, h))
KV_TEST_FORWARD(kMedianK5, void, kv_median2d_u16_k5,
                (uint16_t * d, const uint16_t *s, int w, int h), (d, s, w, h))
KV_TEST_FORWARD(kGaussK3, void, kv_gauss2d_u16_k3, (uint16_t * d, const uint16_t *s, int w, int h),
                (d, s, w, h))
KV_TEST_FORWARD(kFlypixK3, void, kv_flypix_u16_k3,
                (uint16_t * d, const uint16_t *s, int w, int h, uint32_t t), (d, s, w, h, t))
KV_TEST_FORWARD(kFholeK3, void, kv_fhole_u16_k3,
                (uint16_t * d, const uint16_t *s, int w, int h, int r), (d, s, w, h, r))
KV_TEST_FORWARD(kCmapInit, void, kv_cmap_init, (kv_cmap_t * m, int32_t n), (m, n))
KV_TEST_FORWARD(kCmapUninit, void, kv_cmap_uninit, (kv_cmap_t * m), (m))
KV_TEST_FORWARD(kCmapSetRange, void, kv_cmap_set_range, (kv_cmap_t * m, int32_t a, int32_t b),
                (m, a, b))
KV_TEST_FORWARD(kCmapGetColor, uint32_t, kv_cmap_get_color, (const kv_cmap_t *m, int32_t v), (m, v))
KV_TEST_FORWARD(kLensInitMap, int32_t, kv_calib_len_init_map,
                (kv_calib_len_map_t * m, const kv_lens_param_t *p), (m, p))
KV_TEST_FORWARD(kLensUninitMap, void, kv_calib_len_uninit_map, (kv_calib_len_map_t * m), (m))
KV_TEST_FORWARD(kLensUndistort, uint8_t, kv_calib_len_undistort_u16,
                (const kv_calib_len_map_t *m, uint16_t *d, int32_t n, const uint16_t *s, int32_t w,
                 int32_t h, int32_t f),
                (m, d, n, s, w, h, f))
KV_TEST_FORWARD(kMat3Set, double *, mat3_set, (const double *m, double *d), (m, d))
KV_TEST_FORWARD(kMat3Inverse, double *, mat3_inverse, (double *m, double *d), (m, d))
KV_TEST_FORWARD(kMat3ToMat4, double *, mat3_toMat4, (const double *m, double *d), (m, d))
KV_TEST_FORWARD(kMat4Set, double *, mat4_set, (const double *m, double *d), (m, d))
KV_TEST_FORWARD(kMat4Identity, double *, mat4_identity, (double *d), (d))
KV_TEST_FORWARD(kMat4Inverse, double *, mat4_inverse, (double *m, double *d), (m, d))
KV_TEST_FORWARD(kMat4Multiply, double *, mat4_multiply, (double *m, const double *n, double *d),
                (m, n, d))
KV_TEST_FORWARD(kMat4MultiplyVec4, double *, mat4_multiplyVec4,
                (const double *m, double *v, double *d), (m, v, d))
KV_TEST_FORWARD(kMat4ToInverseMat3, double *, mat4_toInverseMat3, (const double *m, double *d),
                (m, d))
KV_TEST_FORWARD(kMat4Frustum, double *, mat4_frustum,
                (double l, double r, double b, double t, double n, double f, double *d),
                (l, r, b, t, n, f, d))
KV_TEST_FORWARD(kMat4FromRotationTranslation, double *, mat4_fromRotationTranslation,
                (const double *q, const double *v, double *d), (q, v, d))

namespace {

using namespace kavri_api_test;

constexpr int kSide = 4;
constexpr size_t kPixels = size_t{kSide} * kSide;

std::vector<uint16_t> image() {
    std::vector<uint16_t> img(kPixels);
    for (size_t i = 0; i < kPixels; ++i) img[i] = static_cast<uint16_t>(1000 + 10 * i);
    return img;
}

struct Case {
    const char *what;
    std::function<void()> call;
    std::vector<Fn> inside;  // what the call uses inside the library
};

TEST(OwnCalls, LibraryCallsReachTheLibrarysOwnFunctions) {
    // An open log file, which kavri_log_cfg keeps instead of opening its own
    // in the current folder.
    const std::string log_file = ::testing::TempDir() + "kv_own_calls.log";
    const std::string init_log_file = ::testing::TempDir() + "kv_own_calls_init.log";
    kv_log_enable(KV_LOG_SINK_FILE, KV_LOG_OFF, log_file.c_str());
    const Case cases[] = {
        {"kv_median2d_u16 kernel 3",
         [] {
             std::vector<uint16_t> src = image(), dst(kPixels);
             kv_median2d_u16(dst.data(), src.data(), kSide, kSide, 3);
         },
         {kMedianK3}},
        {"kv_median2d_u16 kernel 5",
         [] {
             std::vector<uint16_t> src = image(), dst(kPixels);
             kv_median2d_u16(dst.data(), src.data(), kSide, kSide, 5);
         },
         {kMedianK5}},
        {"kavri_cmap_float",
         [] {
             const float m[2] = {0.5f, 1.5f};
             uint8_t rgb[6] = {};
             kavri_cmap_float(rgb, sizeof rgb, m, 2, KAVRI_CMAP_OUTFMT_RGB, 0.0f, 2.0f);
         },
         {kCmapSetRange, kCmapGetColor}},
        {"coloured point cloud",
         [] {
             kavri_dev_t none{};
             const kavri_lens_param_t lens = {0, 0, 1, 1, 1};
             const float d = 1.0f;
             float out[4] = {};
             kavri_frame_get_pcl_xyzd(&none, out, 4, &d, 1, 1, 1, 1, &lens);
         },
         {kCmapGetColor}},
        {"kavri_log_cfg", [] { kavri_log_cfg(KV_LOG_OFF, KV_LOG_OFF, KV_LOG_OFF); }, {kLogEnable}},
        {"kv_calib_len_init_map",
         [] {
             kv_lens_param_t p{};
             p.img_w = kSide;
             p.img_h = kSide;
             p.fx = p.fy = 2.0;
             p.cx = p.cy = 2.0;
             kv_calib_len_map_t map{};
             kv_calib_len_init_map(&map, &p);
             kv_calib_len_uninit_map(&map);
         },
         {kMat3Set, kMat3Inverse}},
        {"mat3_inverse",
         [] {
             double m[9] = {2, 0, 0, 0, 2, 0, 0, 0, 2};
             mat3_inverse(m, nullptr);
         },
         {kMat3ToMat4, kMat4ToInverseMat3}},
        {"mat4_lookAt at the eye",
         [] {
             const double eye[3] = {1, 2, 3};
             double m[16] = {};
             mat4_lookAt(eye, eye, eye, m);
         },
         {kMat4Identity}},
        {"mat4_perspective",
         [] {
             double m[16] = {};
             mat4_perspective(60, 1, 1, 10, m);
         },
         {kMat4Frustum}},
        {"quat_toMat4",
         [] {
             const double q[4] = {0, 0, 0, 1};
             double m[16] = {};
             quat_toMat4(q, m);
         },
         {kMat4FromRotationTranslation}},
        {"vec3_unproject",
         [] {
             double v[3] = {1, 1, 0.5};
             double id[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
             const double viewport[4] = {0, 0, 2, 2};
             vec3_unproject(v, id, id, viewport, nullptr);
         },
         {kMat4Set, kMat4Multiply, kMat4Inverse, kMat4MultiplyVec4}},
        {"kavri_init and kavri_uninit",
         [&init_log_file] {
             kavri_init(init_log_file.c_str());
             kavri_uninit();
         },
         {kLogEnable, kCmapInit, kCmapUninit, kLogDisable}},
    };
    for (const Case &c : cases) {
        reset_calls();
        c.call();
        for (Fn fn : c.inside) EXPECT_EQ(g_calls[fn], 0) << c.what << " called " << kFnNames[fn];
    }
    std::filesystem::remove(log_file);
    std::filesystem::remove(init_log_file);
}

TEST(OwnCalls, LibraryMessagesReachTheLibrarysOwnLogger) {
    kavri_testing::LogCapture log(KV_LOG_ERR);
    reset_calls();
    kv_median2d_u16_k3(nullptr, nullptr, 0, 0);
    EXPECT_TRUE(log.has("[kv_median2d_u16_k3]  wrong parameter")) << log.text();
    EXPECT_EQ(g_calls[kLog], 0);
}

// Opening an EPC camera builds its lens map, decoding runs the smoothing
// chain and the undistortion, closing releases the map.
using OwnCallsOnCamera = ApiTestOwnCache;

TEST_F(OwnCallsOnCamera, DriverCallsReachTheLibrarysFilterAndLensMap) {
    reset_calls();
    const int cam = plug(config(CAMSIM_CHIP_E2));
    ASSERT_GE(cam, 0);
    kavri_dev_t *dev = open_first();
    ASSERT_NE(dev, nullptr);
    ASSERT_EQ(kavri_filter_enable(dev, KAVRI_FILTER_UNDISTORT, nullptr, 0), 1);
    std::vector<uint8_t> raw(16u << 20);
    kavri_frame_info_t info{};
    ASSERT_EQ(kavri_cap_snapshot(dev, raw.data(), static_cast<uint32_t>(raw.size()), &info), 1);
    std::vector<float> d(size_t{info.width} * info.height);
    EXPECT_GT(kavri_frame_get_distance(dev, d.data(), static_cast<uint32_t>(d.size()), raw.data(),
                                       info.frame_size, &info),
              0);
    kavri_dev_close(dev);
    for (Fn fn :
         {kLensInitMap, kMedianK5, kGaussK3, kFlypixK3, kFholeK3, kLensUndistort, kLensUninitMap})
        EXPECT_EQ(g_calls[fn], 0) << kFnNames[fn];
}

}  // namespace
