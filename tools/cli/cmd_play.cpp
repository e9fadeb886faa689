// `kavri-cli play`: a raw recording replayed through the library's parser
// and chip driver, as a camera would deliver it: what the file holds, one
// line per frame, then the totals.
#include <cstdint>
#include <cstdio>
#include <vector>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/distance_stats.h"
#include "cli/frame_source.h"
#include "cli/identity.h"
#include "cli/interrupt.h"
#include "cli/replay.h"

namespace kavri::cli {
namespace {

uint32_t pacing_of(const PlayOptions &o) {
    if (o.realtime) return KAVRI_REC_PACE_REALTIME;
    if (o.step) return KAVRI_REC_PACE_STEP;
    return KAVRI_REC_PACE_FAST;
}

const char *pacing_name(uint32_t pacing) {
    switch (pacing) {
        case KAVRI_REC_PACE_REALTIME:
            return "real time";
        case KAVRI_REC_PACE_STEP:
            return "one frame per fetch";
        default:
            return "as fast as the frames are taken";
    }
}

void print_camera(kavri_dev_t *dev) {
    const CameraIdentity id = identity_of(dev);
    std::printf("product:         %s\n", id.product.c_str());
    std::printf("identification:  %s\n", id.ident.c_str());
    std::printf("identity bytes:  %s\n", id.uid.c_str());
    std::printf("versions:        %s 4th 0x%04x\n", versions_text(id.version).c_str(),
                id.version[3]);
    std::printf("driver:          %s\n", id.driver.c_str());
    std::printf("recorded at:     bus %u port %u address %u (%s speed)\n", id.location.bus,
                id.location.port, id.location.address, speed_name(id.location.speed));
}

void seek(kavri_dev_t *dev, int64_t frame, uint32_t frame_count) {
    const int32_t r = frame > UINT32_MAX ? KAVRI_REC_ERR_RANGE
                                         : kavri_rec_seek(dev, static_cast<uint32_t>(frame));
    if (r == KAVRI_REC_ERR_RANGE)
        throw CliError(
            kExitUsage,
            "--seek " + std::to_string(frame) + " is past the recording's " +
                std::to_string(frame_count) + " frames",
            "seek to a frame from 0 to " + std::to_string(frame_count > 0 ? frame_count - 1 : 0));
    if (r != KAVRI_REC_OK)
        throw CliError(kExitFailure, std::string("the replay cannot seek: ") + rec_result_name(r),
                       "see the log; the file may be damaged before that frame");
}

}  // namespace

int run_play(const GlobalOptions &g, const PlayOptions &o) {
    if (!g.from.empty())
        throw CliError(kExitUsage, "play takes the recording as its argument, not with --from",
                       "kavri-cli play FILE");
    GlobalOptions replay_g = g;
    replay_g.from = o.file;
    Library lib(replay_g);
    const kavri_rec_options_t options = replay_options(pacing_of(o), o.loop);
    OpenCamera cam(replay_g, &options);
    kavri_dev_t *dev = cam.dev();
    print_camera(dev);
    print_recording(dev, o.file, o.events);
    apply_setup(dev, o.setup);
    if (o.seek >= 0) seek(dev, o.seek, replay_info(dev).frame_count);

    std::printf("replay:          %s%s%s\n", pacing_name(options.pacing), o.loop ? ", looping" : "",
                o.loop && o.frames == 0 ? " (Ctrl-C ends it)" : "");
    std::fflush(stdout);
    InterruptFlag interrupt;
    FrameSource src(dev);
    std::vector<float> dist;
    src.start();
    while (!interrupt.raised() && (o.frames == 0 || src.frames() < o.frames)) {
        if (!src.try_next()) break;
        const kavri_frame_info_t &info = src.info();
        std::printf("frame %6u  idx %5u  %7u bytes  at %8.3f s", src.frames() - 1, info.frame_idx,
                    info.frame_size, src.seconds());
        if (o.decode) {
            decode_distance(dev, src, dist);
            const DistanceStats s = distance_stats(dist);
            std::printf("  valid %6zu of %zu  median %5.0f mm", s.valid, s.total, s.median_mm);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    src.stop();

    const kavri_rec_info_t end = replay_info(dev);
    std::printf("played:          %u frames in %.2f s (%.1f fps; recorded at %u fps)\n",
                src.frames(), src.seconds(), src.rate(), src.fps_setting());
    std::printf("lost:            %u dropped in the stream, %u discarded as damaged\n",
                src.dropped(), src.discarded());
    if (src.restarts() != 0) std::printf("started over:    %u times\n", src.restarts());
    std::printf("position:        frame %u of %u next%s%s\n", end.position, end.frame_count,
                end.ended ? ", every transfer delivered" : "",
                interrupt.raised() ? " (interrupted)" : "");
    if (src.frames() == 0)
        throw CliError(kExitCaptureFailed, "no frame came out of the recording " + o.file,
                       "the file may hold only the start of a stream; `kavri-cli play --events` "
                       "shows what it holds");
    return kExitOk;
}

}  // namespace kavri::cli
