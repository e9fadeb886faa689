// Every kavri-cli subcommand once on the simulator (through camsim-run), with
// the exit statuses and messages a user or script relies on.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "tools/cli_runner.h"

namespace kavri::cli_test {
namespace {

struct Case {
    const char *name;
    std::vector<std::string> args;
    Env env;
    int status;          // kAnyVerdict: 0 or 7, whatever the calibration state
    const char *expect;  // in stdout or stderr
};

constexpr int kAnyVerdict = -1;

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

Env cameras(int n) {
    return {{{"CAMSIM_CAMERAS", std::to_string(n)}}};
}

class CliCommand : public ::testing::TestWithParam<Case> {};

TEST_P(CliCommand, ExitsWithItsStatusAndSaysWhy) {
    const Case &c = GetParam();
    TempDir work;
    const RunResult r = run_cli(c.args, work.path(), c.env);
    if (c.status == kAnyVerdict) {
        EXPECT_TRUE(r.status == 0 || r.status == 7) << r.status << "\n" << r.out << r.err;
    } else {
        EXPECT_EQ(r.status, c.status) << "stdout:\n" << r.out << "stderr:\n" << r.err;
    }
    EXPECT_NE((r.out + r.err).find(c.expect), std::string::npos)
        << "missing '" << c.expect << "'\nstdout:\n"
        << r.out << "stderr:\n"
        << r.err;
    if (c.status != 0 && c.status != 2 && c.status != 7 && c.status != kAnyVerdict) {
        EXPECT_NE(r.err.find("fix:"), std::string::npos) << "an error names its fix:\n" << r.err;
    }
}

const Case kCases[] = {
    {"list", {"list"}, {}, 0, "KV320-E2-SIM"},
    {"list_two", {"list"}, cameras(2), 0, "2 cameras"},
    {"list_none", {"list"}, cameras(0), 3, "no camera found"},
    {"info", {"info"}, {}, 0, "modulation:      12000000 Hz"},
    {"info_lens", {"info"}, {}, 0, "lens:            320x240"},
    {"info_second_camera", {"info", "--device", "1:2"}, cameras(2), 0, "KV-SIM-000002"},
    {"info_absent_camera", {"info", "--device", "9:9"}, {}, 3, "no camera at 9:9"},
    {"info_bad_device", {"info", "--device", "first"}, {}, 2, "is not BUS:PORT"},
    {"param_get", {"param", "get", "fps", "mod_freq"}, {}, 0, "1 mod_freq = 12000000"},
    {"param_get_versions", {"param", "get", "version"}, {}, 0, "0x0102 0x0150 0x0003"},
    {"param_set", {"param", "set", "intg_time", "600"}, {}, 0, "13 intg_time = 600"},
    {"param_set_refused", {"param", "set", "fps", "500"}, {}, 1, "refused fps = 500"},
    {"param_set_read_only", {"param", "set", "ident", "x"}, {}, 1, "refused ident"},
    {"param_unknown", {"param", "get", "brightness"}, {}, 2, "unknown parameter"},
    {"param_bad_value", {"param", "set", "fps", "fast"}, {}, 2, "is not a number"},
    {"param_names", {"param", "names"}, {}, 0, "mod_freq"},
    {"reg_read", {"reg", "read", "1", "34", "2"}, {}, 0, "1:35 = 0x00012323"},
    {"reg_write", {"reg", "write", "2", "5", "7", "0x8"}, {}, 0, "wrote 2 register(s) at 2:5"},
    {"reg_write_read_only", {"reg", "write", "0", "0", "1"}, {}, 1, "refused to write"},
    {"reg_read_out_of_range", {"reg", "read", "1", "250", "10"}, {}, 1, "refused to read"},
    {"record_count", {"record", "rec.oni", "-n", "4", "--no-gray"}, {}, 0, "done: 4 frames"},
    {"capture_settings_and_filters",
     {"capture", "-n", "3", "--undistort", "--smooth", "2", "--amp-min", "10", "--auto-intg", "50",
      "--offset", "5", "--mod-freq", "20000000", "--fps", "15", "--intg-time", "300"},
     {},
     0,
     "frames:      3 of 320x240"},
    {"capture_temporal",
     {"capture", "-n", "3", "--temporal", "200", "--temporal-motion", "80", "--temporal-holes",
      "3"},
     {},
     0,
     "temporal:    200 per mille of each new frame, motion 80 mm, holes 3 frames"},
    {"capture_temporal_out_of_range", {"capture", "--temporal", "0"}, {}, 2, "--temporal"},
    {"capture_lost_by_cause",
     {"capture", "-n", "3"},
     {},
     0,
     // A slow build (sanitizers, a loaded machine) may drop a frame for a slow fetch:
     // the line's causes are checked, not that count.
     "dropped for a slow fetch, 0 refused by the consistency check; 0 stream bytes skipped"},
    {"capture_two_cameras",
     {"capture", "-n", "10", "--device", "1:1", "--device", "1:2"},
     cameras(2),
     0,
     "together:   1:2's frames arrive"},
    {"capture_two_cameras_no_files",
     {"capture", "-n", "1", "-d", "1:1", "-d", "1:2", "--png", "d.png"},
     cameras(2),
     2,
     "writes no files"},
    {"two_devices_elsewhere", {"info", "-d", "1:1", "-d", "1:2"}, cameras(2), 2, "only capture"},
    {"capture_refused_setting",
     {"capture", "-n", "1", "--mod-freq", "200000000"},
     {},
     1,
     "refused modulation frequency"},
    {"capture_bad_kv_format", {"capture", "--kv-format", "f64"}, {}, 2, "is not f32, u32 or u16"},
    {"capture_bad_range", {"capture", "--range", "5:1"}, {}, 2, "MIN:MAX"},
    {"capture_no_camera", {"capture", "-n", "1"}, cameras(0), 3, "no camera found"},
    {"capture_unwritable",
     {"capture", "-n", "1", "--png", "/nonexistent/d.png"},
     {},
     6,
     "cannot write /nonexistent/d.png"},
    {"doctor_no_camera", {"doctor"}, cameras(0), 7, "FAIL  no camera on the USB buses"},
    {"doctor",
     {"doctor"},
     {{{"CAMSIM_CALIB", "bin"}}},
     kAnyVerdict,
     "ok    camera at 1:1: can be opened"},
    {"help_lists_exit_codes", {"--help"}, {}, 0, "Exit codes:"},
    {"no_subcommand", {}, {}, 2, "subcommand"},
    {"unknown_option", {"list", "--frobnicate"}, {}, 2, "--frobnicate"},
};

INSTANTIATE_TEST_SUITE_P(Subcommands, CliCommand, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

// Data images go into the flash with a progress bar and a verdict; the
// camera's images can be read back (each run is a fresh simulated camera).
TEST(CliData, DownloadUploadAndFirmware) {
    TempDir work;
    const std::string image = work / "image.bin";
    {
        std::ofstream out(image, std::ios::binary);
        for (int i = 0; i < 70000; ++i) out.put(static_cast<char>(i * 7));
    }
    RunResult r =
        run_cli({"data", "download", image, "--type", "5", "--version", "3"}, work.path());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("(70000 bytes) written as type 5 version 3"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("100 % 70000 of 70000 bytes"), std::string::npos) << r.err;

    // Type 4 and up need no restart of the camera, so the run stays short.
    r = run_cli({"firmware", image, "--version", "9", "--type", "4"}, work.path());
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("done: firmware"), std::string::npos) << r.out;

    r = run_cli({"data", "upload", work / "back.bin", "--type", "5"}, work.path());
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("no data image of type 5"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("fix:"), std::string::npos) << r.err;

    r = run_cli({"data", "download", work / "missing.bin", "--type", "5"}, work.path());
    EXPECT_EQ(r.status, 2) << r.out << r.err;

    // An image beyond what the simulated camera holds (4 MiB a type): the
    // camera refuses the start.
    constexpr uintmax_t kBeyondCapacity = 4u * 1024u * 1024u + 1u;
    const std::string huge = work / "huge.bin";
    std::ofstream(huge).close();
    std::filesystem::resize_file(huge, kBeyondCapacity);
    r = run_cli({"data", "download", huge, "--type", "5"}, work.path());
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("the camera refused the data image after 0 of"), std::string::npos)
        << r.err;
}

// Ctrl-C ends a recording with a finished file and a zero exit status.
TEST(CliRecord, InterruptFinishesTheFile) {
    TempDir work;
    const std::string oni = work / "interrupted.oni";
    Child child(cli_argv({"record", oni, "--progress-every", "1"}), with_workdir(work.path(), {}));
    ASSERT_TRUE(child.wait_for_line("frames: 3"));
    child.signal(SIGINT);
    const RunResult r = child.finish();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("interrupted: "), std::string::npos) << r.out;
    const RunResult play = run_program({ONI_READER_PATH, oni, work / "dump"}, {});
    EXPECT_EQ(play.status, 0) << play.out;
    EXPECT_NE(play.out.find("stream depth 320 240"), std::string::npos) << play.out;
    EXPECT_NE(play.out.find("stream ir 320 240"), std::string::npos) << play.out;
    EXPECT_NE(play.out.find("done"), std::string::npos) << play.out;
}

}  // namespace
}  // namespace kavri::cli_test
