// `kavri-cli capture --device A --device B ...`: cameras captured together,
// each on a thread of its own, and their frames paired by the library's
// arrival times, so a user sees how far apart two cameras' frames are.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/frame_source.h"

namespace kavri::cli {
namespace {

constexpr double kNsPerMs = 1e6;
constexpr size_t kPercentLow = 10, kPercentHigh = 90, kPercent = 100;

// One camera's run: its frames' arrival times and the library's counts.
struct Take {
    std::string place;
    std::vector<uint64_t> t_ns;
    uint32_t fps_setting = 0;
    double rate = 0;
    kavri_cap_stats_t stats{};
    std::string error;
};

void take_frames(kavri_dev_t *dev, uint32_t frames, Take &take) {
    try {
        FrameSource src(dev);
        src.start();
        for (uint32_t i = 0; i < frames; ++i) {
            src.next();
            take.t_ns.push_back(src.meta().t_ns);
        }
        src.stop();
        take.fps_setting = src.fps_setting();
        take.rate = src.rate();
        take.stats = src.library_stats();
    } catch (const CliError &e) {
        take.error = e.what();
    }
}

// For each frame of `ref` that falls inside `other`'s run, the signed time
// from it to the nearest frame of `other` (both lists ascending).
std::vector<int64_t> pair_offsets(const std::vector<uint64_t> &ref,
                                  const std::vector<uint64_t> &other) {
    std::vector<int64_t> out;
    if (other.empty()) return out;
    size_t j = 0;
    for (uint64_t r : ref) {
        if (r < other.front() || r > other.back()) continue;
        while (j + 1 < other.size() && other[j + 1] <= r) ++j;
        int64_t best = static_cast<int64_t>(other[j] - r);
        if (j + 1 < other.size()) {
            const int64_t next = static_cast<int64_t>(other[j + 1] - r);
            if (-best > next) best = next;
        }
        out.push_back(best);
    }
    return out;
}

int64_t at_percent(std::vector<int64_t> v, size_t percent) {
    const size_t k = std::min(v.size() - 1, v.size() * percent / kPercent);
    std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
    return v[k];
}

}  // namespace

int run_capture_together(const GlobalOptions &g, const CaptureOptions &o) {
    if (!g.from.empty())
        throw CliError(kExitUsage, "--from replays one recording",
                       "capture several cameras together without --from");
    if (!o.out_dir.empty() || !o.png_distance.empty() || !o.png_gray.empty() || !o.ply.empty() ||
        !o.kv.empty() || !o.oni.empty())
        throw CliError(kExitUsage, "a capture of several cameras writes no files",
                       "capture each camera with its own --device to write pictures and files");
    Library lib(g);
    std::vector<std::unique_ptr<OpenCamera>> cams;
    std::vector<Take> takes(g.devices.size());
    for (size_t i = 0; i < g.devices.size(); ++i) {
        GlobalOptions one = g;
        one.device = g.devices[i];
        one.devices = {g.devices[i]};
        cams.push_back(std::make_unique<OpenCamera>(one));
        apply_setup(cams.back()->dev(), o.setup);
        takes[i].place = location_text(cams.back()->location());
    }
    for (size_t i = 1; i < takes.size(); ++i)
        for (size_t k = 0; k < i; ++k)
            if (takes[i].place == takes[k].place)
                throw CliError(kExitUsage, "--device " + takes[i].place + " given twice",
                               "name each camera once");
    {
        std::vector<std::jthread> threads;
        for (size_t i = 0; i < cams.size(); ++i)
            threads.emplace_back(take_frames, cams[i]->dev(), o.frames, std::ref(takes[i]));
    }
    for (const Take &t : takes)
        if (!t.error.empty())
            throw CliError(kExitCaptureFailed, "camera at " + t.place + ": " + t.error,
                           "see the log; capture each camera alone to find the cause");

    for (const Take &t : takes)
        std::printf("camera %s: %zu frames (%.1f fps; camera set to %u fps); %s\n", t.place.c_str(),
                    t.t_ns.size(), t.rate, t.fps_setting, lost_by_cause(t.stats).c_str());
    const Take &ref = takes.front();
    for (size_t i = 1; i < takes.size(); ++i) {
        const std::vector<int64_t> off = pair_offsets(ref.t_ns, takes[i].t_ns);
        if (off.empty()) {
            std::printf("together:   %s and %s: no frames at the same time\n",
                        takes[i].place.c_str(), ref.place.c_str());
            continue;
        }
        const double median = static_cast<double>(at_percent(off, kPercent / 2)) / kNsPerMs;
        std::printf(
            "together:   %s's frames arrive %.2f ms %s %s's (median of %zu paired frames; "
            "offset %+.2f to %+.2f ms from the 10th to the 90th percentile)\n",
            takes[i].place.c_str(), median < 0 ? -median : median, median < 0 ? "before" : "after",
            ref.place.c_str(), off.size(),
            static_cast<double>(at_percent(off, kPercentLow)) / kNsPerMs,
            static_cast<double>(at_percent(off, kPercentHigh)) / kNsPerMs);
    }
    return kExitOk;
}

}  // namespace kavri::cli
