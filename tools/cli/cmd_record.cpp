// `kavri-cli record`: distance (and amplitude) into an ONI file, and/or the
// camera's raw stream into a raw recording, until a frame count is reached
// or the user presses Ctrl-C; the files are always finished. With --from the
// frames come from a raw recording instead of a camera.
#include <cstdio>
#include <memory>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/frame_source.h"
#include "cli/interrupt.h"
#include "cli/oni_out.h"
#include "cli/raw_recorder.h"

namespace kavri::cli {
namespace {

void check_outputs(const GlobalOptions &g, const RecordOptions &o) {
    if (o.oni.empty() && o.raw.empty())
        throw CliError(kExitUsage, "record needs a file to write: an ONI file, --raw FILE, or both",
                       "e.g. kavri-cli record take.oni -n 100, or kavri-cli record --raw take.kvr");
    if (!o.raw.empty() && !g.from.empty())
        throw CliError(kExitUsage, "--raw records a live camera, and --from replays a recording",
                       "copy the recording file itself, or leave --from out");
}

std::string targets(const RecordOptions &o) {
    if (o.raw.empty()) return o.oni;
    if (o.oni.empty()) return o.raw;
    return o.oni + " and " + o.raw;
}

}  // namespace

int run_record(const GlobalOptions &g, const RecordOptions &o) {
    check_outputs(g, o);
    Library lib(g);
    OpenCamera cam(g);
    kavri_dev_t *dev = cam.dev();
    apply_setup(dev, o.setup);

    InterruptFlag interrupt;
    // Started before the capture, so the file holds the stream from its
    // first transfer.
    std::unique_ptr<RawRecorder> raw;
    if (!o.raw.empty()) raw = std::make_unique<RawRecorder>(dev, o.raw);
    FrameSource src(dev);
    std::unique_ptr<OniOut> oni;
    std::vector<float> dist, gray;
    src.start();
    std::printf("recording to %s%s\n", targets(o).c_str(),
                o.frames ? "" : " (Ctrl-C ends the recording)");
    std::fflush(stdout);
    bool ended = false;
    while (!interrupt.raised() && (o.frames == 0 || src.frames() < o.frames)) {
        if (!src.try_next()) {
            ended = true;
            break;
        }
        if (!o.oni.empty()) {
            decode_distance(dev, src, dist);
            if (o.gray) decode_gray(dev, src, gray);
            if (!oni)
                oni = std::make_unique<OniOut>(o.oni, src.info().width, src.info().height,
                                               src.fps_setting(), o.gray);
            oni->add(dist, gray, src.micros_since_first());
        }
        if (o.progress_every != 0 && src.frames() % o.progress_every == 0) {
            std::printf("frames: %u\n", src.frames());
            std::fflush(stdout);
        }
    }
    // The raw file ends with the last frame taken, before the capture stops,
    // so it holds the frames asked for rather than those still in flight.
    kavri_rec_stats_t stats{};
    if (raw) stats = raw->finish();
    src.stop();
    if (oni) oni->close();
    std::printf("%s: %u frames (%.1f fps), %u dropped, %u discarded, in %s\n",
                interrupt.raised() ? "interrupted"
                : ended            ? "done (end of the recording)"
                                   : "done",
                src.frames(), src.rate(), src.dropped(), src.discarded(), targets(o).c_str());
    if (raw) {
        print_raw_stats(stats, o.raw);
        if (stats.write_errors != 0)
            throw CliError(kExitFileError,
                           "the raw recording " + o.raw +
                               " is incomplete: " + std::to_string(stats.write_errors) +
                               " writes failed and it was finished early",
                           "check the free space of the disk; the file replays up to the failure");
    }
    return kExitOk;
}

}  // namespace kavri::cli
