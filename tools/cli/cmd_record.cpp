// `kavri-cli record`: distance (and amplitude) into an ONI file until a frame
// count is reached or the user presses Ctrl-C; the file is always finished.
#include <csignal>
#include <cstdio>
#include <memory>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/frame_source.h"
#include "cli/oni_out.h"

namespace kavri::cli {
namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void on_interrupt(int) {
    g_interrupted = 1;
}

// Routes SIGINT and SIGTERM to the flag while alive, restores them after.
class InterruptFlag {
  public:
    InterruptFlag() {
        g_interrupted = 0;
        struct sigaction sa {};
        sa.sa_handler = on_interrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &old_int_);
        sigaction(SIGTERM, &sa, &old_term_);
    }
    ~InterruptFlag() {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
    }
    bool raised() const { return g_interrupted != 0; }

  private:
    struct sigaction old_int_ {
    }, old_term_{};
};

}  // namespace

int run_record(const GlobalOptions &g, const RecordOptions &o) {
    Library lib(g);
    OpenCamera cam(g);
    kavri_dev_t *dev = cam.dev();
    apply_setup(dev, o.setup);

    InterruptFlag interrupt;
    FrameSource src(dev);
    std::unique_ptr<OniOut> oni;
    std::vector<float> dist, gray;
    src.start();
    std::printf("recording to %s%s\n", o.oni.c_str(),
                o.frames ? "" : " (Ctrl-C ends the recording)");
    std::fflush(stdout);
    while (!interrupt.raised() && (o.frames == 0 || src.frames() < o.frames)) {
        src.next();
        decode_distance(dev, src, dist);
        if (o.gray) decode_gray(dev, src, gray);
        if (!oni)
            oni = std::make_unique<OniOut>(o.oni, src.info().width, src.info().height,
                                           src.fps_setting(), o.gray);
        oni->add(dist, gray, src.micros_since_first());
        if (o.progress_every != 0 && src.frames() % o.progress_every == 0) {
            std::printf("frames: %u\n", src.frames());
            std::fflush(stdout);
        }
    }
    src.stop();
    if (oni) oni->close();
    std::printf("%s: %u frames (%.1f fps), %u dropped, %u discarded, in %s\n",
                interrupt.raised() ? "interrupted" : "done", src.frames(), src.rate(),
                src.dropped(), src.discarded(), o.oni.c_str());
    return kExitOk;
}

}  // namespace kavri::cli
