// Frame description from the stream's raw frame info, and the temperature
// monitor that reports the camera's temperatures every ten seconds.
#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "core/le.h"
#include "drv/epc_io.h"
#include "drv/epc_state.h"
#include "kavri/epc.h"
#include "core/log_internal.h"

namespace kavri::epc {
namespace {

constexpr uint16_t kFormatCalibData = 171;
constexpr long kReportIntervalS = 9;  // a report when more than this has passed
constexpr float kTenthsPerDegree = 10.0f;

// The report reads the frame rate from the camera: called without the state
// lock, with the settings taken under it.
void temp_monitor(kavri_drv_t *drv, State &st, bool enabled, int16_t t_sensor, uint16_t format,
                  int16_t t_ib_raw) {
    constexpr const char *kTag = "_feature_temp_monitor";
    if (!enabled || format == kFormatCalibData) {
        KV_TRC("[%s] Temp monitor not enable\n", kTag);
        return;
    }
    timeval now{};
    ::gettimeofday(&now, nullptr);
    const int64_t last = st.temp_report_last_s.load(std::memory_order_relaxed);
    if (now.tv_sec - last <= kReportIntervalS) return;
    uint8_t fps[4] = {};
    param_read(drv, KAVRI_PARAM_FPS, fps, sizeof fps);
    KV_DBG("[%s] INTERV:%d, IBtemp:%.2f, Tsensor:%.2f, FPS:%d\n", kTag,
           static_cast<int>(now.tv_sec - last),
           static_cast<double>(static_cast<float>(t_ib_raw) / kTenthsPerDegree),
           static_cast<double>(static_cast<float>(t_sensor) / kTenthsPerDegree),
           static_cast<int>(le::get_u32(fps)));
    st.temp_report_last_s.store(now.tv_sec, std::memory_order_relaxed);
}

}  // namespace
}  // namespace kavri::epc

using namespace kavri::epc;

extern "C" KAVRI_API uint8_t epc_frame_get_info(kavri_drv_t *drv, kavri_frame_info_t *out,
                                                const kv_stream_frame_info_t *raw) {
    State *st = state_of(drv);
    if (out == nullptr || raw == nullptr) return 0;
    // Description words: u16 width, u16 height, s16 sensor and s16 board
    // temperature, little-endian as they came in the chunk header.
    uint8_t desc[sizeof raw->desc];
    for (size_t i = 0; i < 3; ++i) kavri::le::put_u32(desc + 4 * i, raw->desc[i]);
    uint32_t width = kavri::le::get_u16(desc);
    uint32_t height = kavri::le::get_u16(desc + 2);
    const int16_t t_sensor = kavri::le::get_s16(desc + 4);
    const int16_t t_ib = kavri::le::get_s16(desc + 6);
    if (st != nullptr) {
        bool monitor = false;
        {
            std::lock_guard lock(st->lock);
            // Calibration data frames carry no temperatures: zeros stored
            // from them would skew the drift correction until the next
            // image frame. The last image frame's values stay.
            if (raw->frfmt != kFormatCalibData) {
                st->t_sensor = t_sensor;
                st->t_ib = t_ib == 0 ? t_sensor : t_ib;
            }
            monitor = st->temp_monitor_en != 0;
        }
        temp_monitor(drv, *st, monitor, t_sensor, raw->frfmt, t_ib);
    }
    std::memset(out, 0, sizeof *out);
    if (width == 0) width = kDefaultWidth;
    if (height == 0) height = kDefaultHeight;
    KV_TRC("[%s] frame: fmt=%d, sz=%d, wxh = %dx%d\n", __func__, raw->frfmt,
           static_cast<int>(raw->frlen), static_cast<int>(width), static_cast<int>(height));
    const uint32_t pixels = width * height;
    if (raw->frfmt != kFormatCalibData && raw->frlen % pixels != 0) return 0;
    out->frame_size = raw->frlen;
    out->frame_format = raw->frfmt;
    out->frame_idx = raw->fridx;
    out->width = width;
    out->height = height;
    out->pixel_width = static_cast<uint8_t>(raw->frlen / pixels);
    return 1;
}
