// kavri-cli: list, inspect and drive kavri depth cameras from the shell.
// The command line lives here; each subcommand's work is in cli/cmd_*.cpp.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>
#include <string>
#include <utility>

#include "cli/cli_error.h"
#include "cli/cmd_view.h"
#include "cli/commands.h"

namespace cli = kavri::cli;

namespace {

// Bounds of the temporal filter's settings (kavri/quality.h).
constexpr int kTemporalWeightMin = 1, kTemporalWeightMax = 1000;  // per mille
constexpr int kTemporalMotionMinMm = 1, kTemporalMotionMaxMm = 60000;
constexpr int kTemporalHolesMax = static_cast<int>(KAVRI_TEMPORAL_HOLE_FRAMES_MAX);

// The processing of the decoded images: works on cameras and replays.
void add_filter_options(CLI::App *cmd, cli::CameraSetup &s) {
    cmd->add_flag("--undistort", s.undistort, "correct the lens distortion");
    cmd->add_option("--smooth", s.smooth, "smoothing level (0 off; the filters run from 2)")
        ->check(CLI::Range(0, 255));
    cmd->add_option("--amp-min", s.amp_min, "drop pixels with a lower amplitude")
        ->check(CLI::Range(0, 65535));
    cmd->add_option("--offset", s.offset_mm, "distance offset in mm added to every pixel");
    cmd->add_flag("--no-calib", s.no_calib, "switch the calibration off: raw distances");
    auto *temporal =
        cmd->add_option("--temporal", s.temporal,
                        "temporal filter for still scenes: per mille of each new frame blended "
                        "into every pixel's history (1000 leaves frames as they are)")
            ->check(CLI::Range(kTemporalWeightMin, kTemporalWeightMax));
    cmd->add_option("--temporal-motion", s.temporal_motion,
                    "with --temporal: a pixel that moved more than this many mm starts afresh "
                    "(default 50)")
        ->check(CLI::Range(kTemporalMotionMinMm, kTemporalMotionMaxMm))
        ->needs(temporal);
    cmd->add_option("--temporal-holes", s.temporal_holes,
                    "with --temporal: frames a pixel without a distance keeps showing its "
                    "history (default 2)")
        ->check(CLI::Range(0, kTemporalHolesMax))
        ->needs(temporal);
}

// Camera settings, then the processing; a replay refuses the settings.
void add_setup_options(CLI::App *cmd, cli::CameraSetup &s) {
    cmd->add_option("--mod-freq", s.mod_freq, "modulation frequency in Hz (e.g. 12000000)");
    cmd->add_option("--fps", s.fps, "frame rate")->check(CLI::Range(1u, 120u));
    cmd->add_option("--intg-time", s.intg_time, "integration time")->check(CLI::Range(0, 65535));
    cmd->add_option("--auto-intg", s.auto_intg,
                    "automatic integration time: per-mille limit of saturated samples")
        ->check(CLI::Range(0, 1000));
    add_filter_options(cmd, s);
}

// Wraps a subcommand that needs a live camera: with --from it stops with a
// usage error instead of quietly opening a camera.
std::function<int()> camera_only(const cli::GlobalOptions &g, const char *name,
                                 std::function<int()> fn) {
    return [&g, name, fn = std::move(fn)] {
        if (!g.from.empty())
            throw cli::CliError(
                cli::kExitUsage,
                std::string("--from replays a recording, and `") + name + "` needs a live camera",
                "--from works with info, param get, capture and record; "
                "`kavri-cli play FILE` replays a recording on its own");
        return fn();
    };
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{
        "kavri-cli: list, inspect and drive kavri time-of-flight depth cameras.\n"
        "Works the same on a real camera and under camsim-run (the simulator)."};
    app.footer(std::string("\n") + cli::kExitCodeHelp +
               "\nErrors name the cause and the fix; the library's log is kavri-cli.log in the "
               "working folder.");
    app.require_subcommand(1);
    app.fallthrough();

    cli::GlobalOptions g;
    app.add_option("-d,--device", g.devices,
                   "BUS:PORT of the camera (see `list`); capture takes it twice or more to "
                   "capture cameras together and compare their frame times");
    app.add_option("-w,--workdir", g.workdir,
                   "folder for the calibration cache and the log (default $KAVRI_WORKDIR, "
                   "else ~/.cache/kavri)");
    app.add_flag("-v,--verbose", g.verbose, "show the library's log: -v warnings, -vv, -vvv more");
    app.add_option("--from", g.from,
                   "replay this raw recording (record --raw) instead of a camera: info, "
                   "param get, capture, record")
        ->excludes("--device");

    std::function<int()> run;

    bool list_watch = false;
    auto *list = app.add_subcommand("list",
                                    "list the cameras: bus, port, address, speed, product, "
                                    "identification, versions, driver");
    list->add_flag("--watch", list_watch,
                   "then print each arrival (+) and removal (-) until Ctrl-C");
    list->callback([&] {
        run = camera_only(g, "list",
                          [&] { return list_watch ? cli::run_list_watch(g) : cli::run_list(g); });
    });
    app.add_subcommand("info",
                       "one camera in detail: settings, calibration state, lens (with --from: "
                       "the recorded camera and what the recording holds)")
        ->callback([&] { run = [&] { return cli::run_info(g); }; });

    cli::ParamOptions po;
    auto *param = app.add_subcommand("param", "read and write the camera's parameters");
    param->require_subcommand(1);
    auto *pget = param->add_subcommand("get", "read parameters by name or id");
    pget->add_option("names", po.names, "names or ids (see `param names`)")->required();
    pget->callback([&] { run = [&] { return cli::run_param_get(g, po); }; });
    auto *pset = param->add_subcommand("set", "write one parameter");
    pset->add_option("name", po.name, "name or id")->required();
    pset->add_option("value", po.value, "number (decimal or 0x..), text, or hex bytes 01:02")
        ->required();
    pset->callback(
        [&] { run = camera_only(g, "param set", [&] { return cli::run_param_set(g, po); }); });
    param->add_subcommand("names", "the parameters known by name")->callback([&] {
        run = [] { return cli::run_param_names(); };
    });

    cli::RegOptions ro;
    auto *reg = app.add_subcommand("reg", "read and write the camera's registers");
    reg->require_subcommand(1);
    auto *rread = reg->add_subcommand("read", "read registers");
    rread->add_option("target", ro.target, "0 system information, 1 sensor, 2 illumination")
        ->required()
        ->check(CLI::Range(0u, 255u));
    rread->add_option("address", ro.address, "first register")->required();
    rread->add_option("count", ro.count, "how many (default 1)");
    rread->callback(
        [&] { run = camera_only(g, "reg read", [&] { return cli::run_reg_read(g, ro); }); });
    auto *rwrite = reg->add_subcommand("write", "write registers");
    rwrite->add_option("target", ro.target, "1 sensor, 2 illumination")
        ->required()
        ->check(CLI::Range(0u, 255u));
    rwrite->add_option("address", ro.address, "first register")->required();
    rwrite->add_option("values", ro.values, "values, decimal or 0x..")->required();
    rwrite->callback(
        [&] { run = camera_only(g, "reg write", [&] { return cli::run_reg_write(g, ro); }); });

    cli::CaptureOptions co;
    auto *cap = app.add_subcommand(
        "capture", "capture frames into PNG pictures, a PLY point cloud, a frame file and ONI");
    cap->add_option("-n,--frames", co.frames, "frames to capture (default 30)");
    cap->add_option("-o,--out-dir", co.out_dir,
                    "write every output there: distance.png gray.png cloud.ply distance.kv "
                    "capture.oni");
    cap->add_option("--png", co.png_distance, "colour-mapped distance picture of the last frame");
    cap->add_option("--gray-png", co.png_gray, "gray (amplitude) picture of the last frame");
    cap->add_option("--ply", co.ply, "point cloud of the last frame");
    cap->add_option("--kv", co.kv, "frame file with every frame's distances");
    cap->add_option("--kv-format", co.kv_format, "f32 (metres), u32 or u16 (mm); default u16");
    cap->add_option("--oni", co.oni, "ONI recording: distance and amplitude");
    cap->add_option("--range", co.range, "colour range MIN:MAX in mm (default: from the data)");
    add_setup_options(cap, co.setup);
    cap->callback([&] { run = [&] { return cli::run_capture(g, co); }; });

    cli::RecordOptions rec;
    auto *record = app.add_subcommand(
        "record",
        "record an ONI file and/or a raw recording (--raw) until a frame count or Ctrl-C (the "
        "files are finished)");
    record->add_option("oni", rec.oni, "the ONI file (optional with --raw)");
    record->add_option("--raw", rec.raw,
                       "also record the camera's raw stream into this file, for `play` and "
                       "--from");
    record->add_option("-n,--frames", rec.frames, "stop after that many (default: Ctrl-C)");
    record->add_flag("!--no-gray", rec.gray, "distance only, no amplitude stream");
    record->add_option("--progress-every", rec.progress_every,
                       "print the frame count every that many frames (0: never; default 30)");
    add_setup_options(record, rec.setup);
    record->callback([&] { run = [&] { return cli::run_record(g, rec); }; });

    cli::PlayOptions play;
    auto *pl = app.add_subcommand(
        "play", "replay a raw recording: what it holds, one line per frame, the totals");
    pl->add_option("file", play.file, "the raw recording (record --raw)")->required();
    auto *realtime = pl->add_flag("--realtime", play.realtime, "at the recorded arrival times");
    pl->add_flag("--step", play.step, "one frame per fetch, nothing read ahead")
        ->excludes(realtime);
    pl->add_flag("--loop", play.loop, "start again after the last frame (-n or Ctrl-C ends it)");
    pl->add_option("--seek", play.seek, "start at this frame (0-based)")
        ->check(CLI::NonNegativeNumber);
    pl->add_option("-n,--frames", play.frames, "stop after that many (default: the end)");
    pl->add_flag("--decode", play.decode, "decode distances: valid pixels, median distance");
    pl->add_flag("--events", play.events, "list the recorded changes and capture starts, stops");
    add_filter_options(pl, play.setup);
    pl->callback([&] { run = [&] { return cli::run_play(g, play); }; });

    cli::DataOptions dopt;
    auto *data = app.add_subcommand("data",
                                    "move data images (calibration data ...) to and from "
                                    "the camera's flash");
    data->require_subcommand(1);
    auto *ddown = data->add_subcommand("download", "write an image file into the camera");
    ddown->add_option("file", dopt.file, "the image file")->required()->check(CLI::ExistingFile);
    ddown->add_option("-t,--type", dopt.type, "data type (the camera defines them)")->required();
    ddown->add_option("--version", dopt.version, "version stored with the image");
    ddown->callback([&] {
        run = camera_only(g, "data download", [&] { return cli::run_data_download(g, dopt); });
    });
    auto *dup = data->add_subcommand("upload", "read the camera's image of a type into a file");
    dup->add_option("file", dopt.file, "the file to write")->required();
    dup->add_option("-t,--type", dopt.type, "data type")->required();
    dup->callback([&] {
        run = camera_only(g, "data upload", [&] { return cli::run_data_upload(g, dopt); });
    });
    auto *fw = app.add_subcommand(
        "firmware", "upgrade the camera's firmware (the camera restarts; do not unplug it)");
    fw->add_option("file", dopt.file, "the firmware image")->required()->check(CLI::ExistingFile);
    fw->add_option("--version", dopt.version, "firmware version")->required();
    fw->add_option("-t,--type", dopt.type, "data type of the firmware (default 0)");
    fw->callback(
        [&] { run = camera_only(g, "firmware", [&] { return cli::run_firmware(g, dopt); }); });

    cli::ViewOptions vo;
    auto *view = app.add_subcommand(
        "view", "a live view in the browser: images, point cloud, settings, snapshots, recording");
    view->add_option("--port", vo.port, "TCP port (0: any free one)");
    view->add_option("--bind", vo.bind,
                     "listen on this address instead of 127.0.0.1 (others on the network can "
                     "then reach the page with the token)");
    view->add_option("--out-dir", vo.out_dir, "folder for the recordings made from the page");
    add_setup_options(view, vo.setup);
    view->callback([&] { run = [&] { return cli::run_view(g, vo); }; });

    app.add_subcommand("doctor", "check what stands between you and a working camera")
        ->callback([&] { run = camera_only(g, "doctor", [&] { return cli::run_doctor(g); }); });

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return cli::kExitUsage;
    }
    if (!g.devices.empty()) g.device = g.devices.front();
    if (g.devices.size() > 1 && !cap->parsed()) {
        std::fprintf(stderr,
                     "kavri-cli: error: --device given %zu times\n  fix: only capture takes "
                     "several cameras; give one --device\n",
                     g.devices.size());
        return cli::kExitUsage;
    }
    try {
        return run ? run() : cli::kExitUsage;
    } catch (const cli::CliError &e) {
        std::fprintf(stderr, "kavri-cli: error: %s\n", e.what());
        if (!e.fix().empty()) std::fprintf(stderr, "  fix: %s\n", e.fix().c_str());
        return e.code();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "kavri-cli: internal error: %s\n", e.what());
        return cli::kExitFailure;
    }
}
