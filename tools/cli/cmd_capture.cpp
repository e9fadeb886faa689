// `kavri-cli capture`: a run of frames into pictures, a point cloud, a frame
// file and an ONI recording, then a summary.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/distance_stats.h"
#include "cli/frame_source.h"
#include "cli/images.h"
#include "cli/oni_out.h"
#include "cli/ply.h"
#include "cli/replay.h"

namespace kavri::cli {
namespace {

constexpr size_t kFloatsPerPoint = 4;

int kv_format_code(const std::string &name) {
    if (name == "f32") return KAVRI_FRAME_SAVE_FLOAT32;
    if (name == "u32") return KAVRI_FRAME_SAVE_UINT32;
    if (name == "u16") return KAVRI_FRAME_SAVE_UINT16;
    throw CliError(kExitUsage, "--kv-format '" + name + "' is not f32, u32 or u16",
                   "f32 keeps metres exactly, u32/u16 store millimetres");
}

// A frame file open for appending frames; closed when the object goes.
class FrameFile {
  public:
    FrameFile(const std::string &path, int format) : path_(path), format_(format) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd_ < 0)
            throw CliError(kExitFileError, "cannot create " + path + ": " + std::strerror(errno),
                           "check that the folder exists and is writable");
    }
    ~FrameFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    void add(const std::vector<float> &dist, uint32_t w, uint32_t h) {
        if (kavri_frame_save_distance(fd_, format_, dist.data(), static_cast<uint32_t>(dist.size()),
                                      w, h) != 1)
            throw CliError(kExitFileError, "cannot write frames to " + path_,
                           "check the free space of the disk");
    }
    void finish() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0)
            throw CliError(kExitFileError, "cannot finish " + path_ + ": " + std::strerror(errno),
                           "check the free space of the disk");
    }

  private:
    std::string path_;
    int format_;
    int fd_ = -1;
};

void fill_default_outputs(CaptureOptions &o) {
    if (o.out_dir.empty()) return;
    std::error_code ec;
    std::filesystem::create_directories(o.out_dir, ec);
    if (ec)
        throw CliError(kExitFileError,
                       "cannot create the folder " + o.out_dir + ": " + ec.message(),
                       "give a folder you may write to with --out-dir");
    std::string dir = o.out_dir;
    if (dir.back() != '/') dir += '/';
    auto set = [&](std::string &field, const char *name) {
        if (field.empty()) field = dir + name;
    };
    set(o.png_distance, "distance.png");
    set(o.png_gray, "gray.png");
    set(o.ply, "cloud.ply");
    set(o.kv, "distance.kv");
    set(o.oni, "capture.oni");
}

// Point cloud of one distance image with the distance colours of its pixels.
uint32_t write_cloud(kavri_dev_t *dev, const std::string &path, const std::vector<float> &dist,
                     uint32_t w, uint32_t h, const std::vector<uint8_t> &rgb_image) {
    std::vector<float> points(dist.size() * kFloatsPerPoint + kFloatsPerPoint);
    const int n =
        kavri_frame_get_pcl_xyzd(dev, points.data(), static_cast<uint32_t>(points.size()),
                                 dist.data(), static_cast<uint32_t>(dist.size()), w, h, 0, nullptr);
    if (n < 0)
        throw CliError(kExitFailure, "the driver could not make a point cloud",
                       "see the log; the lens parameters may not fit the frame size");
    // The points come in pixel order, one per valid distance: pair each with
    // its pixel's colour.
    std::vector<uint8_t> rgb(static_cast<size_t>(n) * 3);
    size_t k = 0;
    for (size_t i = 0; i < dist.size() && k < static_cast<size_t>(n); ++i)
        if (valid_distance(dist[i])) std::memcpy(&rgb[3 * k++], &rgb_image[3 * i], 3);
    write_ply(path, points, rgb, static_cast<uint32_t>(n));
    return static_cast<uint32_t>(n);
}

}  // namespace

int run_capture(const GlobalOptions &g, CaptureOptions o) {
    if (o.frames == 0)
        throw CliError(kExitUsage, "--frames must be at least 1", "e.g. --frames 30");
    if (g.devices.size() > 1) return run_capture_together(g, o);
    fill_default_outputs(o);
    const int kv_format = kv_format_code(o.kv_format);
    const bool auto_colours = o.range.empty();
    const DistanceRange fixed_range = auto_colours ? DistanceRange{} : parse_range(o.range);

    Library lib(g);
    OpenCamera cam(g);
    kavri_dev_t *dev = cam.dev();
    apply_setup(dev, o.setup);
    // Asks the driver whether a calibration is mounted for the current
    // frequency; the switch is on after open whenever one is. Asking
    // switches it on, so not after --no-calib.
    const bool calibrated =
        !o.setup.no_calib && kavri_filter_enable(dev, KAVRI_FILTER_CALIB, nullptr, 0) == 1;
    const bool replay = is_replay(dev);

    FrameSource src(dev);
    std::unique_ptr<FrameFile> kv;
    if (!o.kv.empty()) kv = std::make_unique<FrameFile>(o.kv, kv_format);
    std::unique_ptr<OniOut> oni;
    std::vector<float> dist, gray;
    const bool need_gray = !o.png_gray.empty() || !o.oni.empty();

    src.start();
    bool ended = false;
    for (uint32_t i = 0; i < o.frames; ++i) {
        if (!src.try_next()) {
            ended = true;
            break;
        }
        const auto &info = src.info();
        decode_distance(dev, src, dist);
        if (need_gray) decode_gray(dev, src, gray);
        if (kv) kv->add(dist, info.width, info.height);
        if (!o.oni.empty()) {
            if (!oni)
                oni = std::make_unique<OniOut>(o.oni, info.width, info.height, src.fps_setting(),
                                               true);
            oni->add(dist, gray, src.micros_since_first());
        }
    }
    src.stop();
    const kavri_cap_stats_t counts = src.library_stats();
    if (kv) kv->finish();
    if (oni) oni->close();
    if (src.frames() == 0)
        throw CliError(kExitCaptureFailed, "the recording " + g.from + " holds no frames",
                       "record a longer one with `kavri-cli record --raw FILE -n 30`");

    const uint32_t w = src.info().width, h = src.info().height;
    const DistanceRange range = auto_colours ? auto_range(dist) : fixed_range;
    const std::vector<uint8_t> rgb = colourise(dist, range);
    if (!o.png_distance.empty()) {
        const Picture pic = with_colour_bar(rgb, w, h, range);
        write_png(o.png_distance, pic.width, pic.height, 3, pic.rgb);
    }
    if (!o.png_gray.empty()) write_png(o.png_gray, w, h, 1, gray_to_8bit(gray));
    uint32_t points = 0;
    if (!o.ply.empty()) points = write_cloud(dev, o.ply, dist, w, h, rgb);

    const DistanceStats s = distance_stats(dist);
    std::printf("frames:      %u of %ux%u in %.2f s (%.1f fps; %s %u fps)\n", src.frames(), w, h,
                src.seconds(), src.rate(), replay ? "recorded at" : "camera set to",
                src.fps_setting());
    if (replay)
        std::printf("source:      %s%s\n", g.from.c_str(),
                    ended ? " (the recording ended before --frames)" : "");
    std::printf("lost:        %u dropped in the stream, %u discarded as damaged\n", src.dropped(),
                src.discarded());
    std::printf("library:     %s\n", lost_by_cause(counts).c_str());
    std::printf(
        "distance:    %zu of %zu pixels valid; min %.0f mm, median %.0f mm, mean %.0f mm, "
        "max %.0f mm (last frame)\n",
        s.valid, s.total, s.min_mm, s.median_mm, s.mean_mm, s.max_mm);
    std::printf("calibration: %s\n", calibrated         ? "mounted"
                                     : o.setup.no_calib ? "off (--no-calib: raw distances)"
                                                        : "none (uncalibrated distances)");
    if (o.setup.temporal >= 0) {
        // The device's answer, not the options: what the frames went through.
        uint16_t weight = 0, motion_mm = 0;
        uint8_t holes = 0;
        if (kavri_temporal_get(dev, &weight, &motion_mm, &holes) == 1)
            std::printf(
                "temporal:    %u per mille of each new frame, "
                "motion %u mm, holes %u frames\n",
                weight, motion_mm, holes);
        else
            std::printf("temporal:    off\n");
    }
    std::printf("colours:     %d..%d mm, near red, far blue\n", range.min_mm, range.max_mm);
    if (!o.png_distance.empty()) std::printf("wrote:       %s\n", o.png_distance.c_str());
    if (!o.png_gray.empty()) std::printf("wrote:       %s\n", o.png_gray.c_str());
    if (!o.ply.empty()) std::printf("wrote:       %s (%u points)\n", o.ply.c_str(), points);
    if (!o.ply.empty() && points == 0 && s.valid > 0)
        std::fprintf(stderr,
                     "kavri-cli: warning: the point cloud is empty: this camera's driver gives no "
                     "lens parameters for %ux%u (see the log)\n",
                     w, h);
    if (!o.kv.empty())
        std::printf("wrote:       %s (%u frames, %s)\n", o.kv.c_str(), src.frames(),
                    o.kv_format.c_str());
    if (!o.oni.empty())
        std::printf("wrote:       %s (%u frames, depth + IR)\n", o.oni.c_str(), src.frames());
    return kExitOk;
}

}  // namespace kavri::cli
