// kavri-cli's raw recordings on the simulator: record --raw, play, and the
// commands that take --from, with the messages a user relies on when the
// file or the options are wrong.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "tools/cli_runner.h"

namespace kavri::cli_test {
namespace {

constexpr int kFrames = 20;
constexpr int kExitUsage = 2;
constexpr int kExitCaptureFailed = 5;
constexpr int kExitFileError = 6;

// The number after a label such as "played:" at the start of a line; -1
// when the line is missing.
long number_after(const std::string &text, const std::string &label) {
    const std::regex re("(^|\n)" + label + " *([0-9]+)");
    std::smatch m;
    return std::regex_search(text, m, re) ? std::stol(m[2]) : -1;
}

std::string head_of(const std::string &path, size_t n) {
    std::ifstream in(path, std::ios::binary);
    std::string s(n, '\0');
    in.read(s.data(), static_cast<std::streamsize>(n));
    s.resize(static_cast<size_t>(in.gcount()));
    return s;
}

// One raw recording of kFrames frames, shared by the tests.
class CliRec : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        work_ = new TempDir;
        std::ofstream(garbage()) << "not a recording, just text\n";
        record_ = new RunResult(
            run_cli({"record", "--raw", rec(), "-n", std::to_string(kFrames)}, work_->path()));
    }
    static void TearDownTestSuite() {
        delete record_;
        delete work_;
    }
    static std::string rec() { return *work_ / "take.kvr"; }
    static std::string garbage() { return *work_ / "garbage.kvr"; }
    static RunResult cli(const std::vector<std::string> &args) {
        return run_cli(args, work_->path());
    }

    static TempDir *work_;
    static RunResult *record_;
};

TempDir *CliRec::work_ = nullptr;
RunResult *CliRec::record_ = nullptr;

TEST_F(CliRec, RecordReportsTheRawCounters) {
    ASSERT_EQ(record_->status, 0) << record_->out << record_->err;
    EXPECT_NE(record_->out.find("done: " + std::to_string(kFrames) + " frames"), std::string::npos)
        << record_->out;
    EXPECT_GE(number_after(record_->out, "raw:"), kFrames) << record_->out;
    EXPECT_NE(record_->out.find(" transfers ("), std::string::npos) << record_->out;
    EXPECT_NE(record_->out.find("0 lost"), std::string::npos) << record_->out;
}

// The replay delivers every frame the recording holds, and at least those
// the record command took.
TEST_F(CliRec, PlayDeliversTheRecordedFrames) {
    ASSERT_EQ(record_->status, 0) << record_->err;
    const long recorded = number_after(record_->out, "raw:");
    const RunResult r = cli({"play", rec(), "--decode"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(number_after(r.out, "frames:"), recorded) << r.out;
    EXPECT_EQ(number_after(r.out, "played:"), recorded) << r.out;
    EXPECT_NE(r.out.find("KV320-E2-SIM"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("0 dropped in the stream, 0 discarded"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("every transfer delivered"), std::string::npos) << r.out;
    // The simulated room: most pixels have a distance, the median a few metres.
    const std::regex frame_line(
        "frame +0 +idx +[0-9]+ +[0-9]+ bytes .* valid +([0-9]+) of 76800 "
        " median +([0-9]+) mm");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, frame_line)) << r.out;
    EXPECT_GT(std::stol(m[1]), 76800 / 2);
    EXPECT_GT(std::stol(m[2]), 500);
    EXPECT_LT(std::stol(m[2]), 5000);
}

TEST_F(CliRec, PlaySeeksStopsAndLoops) {
    ASSERT_EQ(record_->status, 0) << record_->err;
    RunResult r = cli({"play", rec(), "--seek", "15", "-n", "3"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(number_after(r.out, "played:"), 3) << r.out;
    // Past the end it starts over, and a restart is no gap of dropped frames.
    // (The file may hold a few frames more than were asked for: those that
    // were on their way when the recording stopped.)
    const long held = number_after(r.out, "frames:");
    ASSERT_GE(held, static_cast<long>(kFrames)) << r.out;
    r = cli({"play", rec(), "--loop", "-n", std::to_string(2 * held + 5)});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(number_after(r.out, "played:"), 2 * held + 5) << r.out;
    EXPECT_GE(number_after(r.out, "started over:"), 2) << r.out;
    EXPECT_NE(r.out.find("0 dropped in the stream"), std::string::npos) << r.out;
    r = cli({"play", rec(), "--seek", "100000"});
    EXPECT_EQ(r.status, kExitUsage) << r.out << r.err;
    EXPECT_NE(r.err.find("is past the recording's"), std::string::npos) << r.err;
}

TEST_F(CliRec, InfoFromShowsTheRecordedCameraAndTheRecording) {
    ASSERT_EQ(record_->status, 0) << record_->err;
    const RunResult r = cli({"info", "--from", rec()});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("modulation:      12000000 Hz"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("when recorded"), std::string::npos) << r.out;
    EXPECT_EQ(number_after(r.out, "frames:"), number_after(record_->out, "raw:")) << r.out;
}

TEST_F(CliRec, CaptureFromWritesPictureAndCloud) {
    ASSERT_EQ(record_->status, 0) << record_->err;
    const std::string png = *work_ / "d.png", ply = *work_ / "c.ply";
    const RunResult r = cli({"capture", "--from", rec(), "-n", "5", "--smooth", "2", "--no-calib",
                             "--png", png, "--ply", ply});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("frames:      5 of 320x240"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("source:      " + rec()), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("calibration: off (--no-calib"), std::string::npos) << r.out;
    EXPECT_EQ(head_of(png, 8), "\x89PNG\r\n\x1a\n");
    EXPECT_EQ(head_of(ply, 4), "ply\n");
    EXPECT_GT(std::filesystem::file_size(ply), 1000u);
}

// Asking for more frames than the recording holds takes what it holds.
TEST_F(CliRec, RecordFromWritesAnOniOfTheWholeRecording) {
    ASSERT_EQ(record_->status, 0) << record_->err;
    const std::string oni = *work_ / "replayed.oni";
    const RunResult r = cli({"record", "--from", rec(), oni, "-n", "1000"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const long recorded = number_after(record_->out, "raw:");
    EXPECT_NE(r.out.find("done (end of the recording): " + std::to_string(recorded) + " frames"),
              std::string::npos)
        << r.out;
    const RunResult play = run_program({ONI_READER_PATH, oni, *work_ / "dump"}, {});
    EXPECT_EQ(play.status, 0) << play.out;
    EXPECT_NE(play.out.find("stream depth 320 240 30"), std::string::npos) << play.out;
}

struct Refusal {
    const char *name;
    std::vector<std::string> args;  // "@" stands for the recording, "#" for a text file
    int status;
    const char *expect;  // in stderr
};

void PrintTo(const Refusal &c, std::ostream *os) {
    *os << c.name;
}

class CliRecRefusal : public CliRec, public ::testing::WithParamInterface<Refusal> {};

TEST_P(CliRecRefusal, ExitsWithItsStatusAndSaysWhy) {
    ASSERT_EQ(record_->status, 0) << record_->err;
    const Refusal &c = GetParam();
    std::vector<std::string> args = c.args;
    for (std::string &a : args)
        if (a == "@")
            a = rec();
        else if (a == "#")
            a = garbage();
    const RunResult r = cli(args);
    EXPECT_EQ(r.status, c.status) << r.out << r.err;
    EXPECT_NE(r.err.find(c.expect), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("fix:"), std::string::npos) << r.err;
}

const Refusal kRefusals[] = {
    {"capture_fps",
     {"capture", "--from", "@", "--fps", "15"},
     kExitUsage,
     "--fps changes the camera"},
    {"record_intg_time",
     {"record", "--from", "@", "x.oni", "--intg-time", "300"},
     kExitUsage,
     "--intg-time changes the camera"},
    {"raw_from_replay",
     {"record", "--from", "@", "--raw", "again.kvr"},
     kExitUsage,
     "--raw records"},
    {"record_nothing", {"record", "-n", "2"}, kExitUsage, "record needs a file to write"},
    {"reg_from", {"reg", "read", "1", "0", "--from", "@"}, kExitUsage, "needs a live camera"},
    {"play_missing",
     {"play", "/nonexistent/take.kvr"},
     kExitFileError,
     "cannot read the recording"},
    {"capture_from_missing",
     {"capture", "--from", "/nonexistent/take.kvr"},
     kExitFileError,
     "cannot read the recording"},
    {"play_not_a_recording", {"play", "#"}, kExitFileError, "is not a raw recording"},
};

INSTANTIATE_TEST_SUITE_P(Options, CliRecRefusal, ::testing::ValuesIn(kRefusals),
                         [](const auto &info) { return std::string(info.param.name); });

// A truncated file: only its start survives (a crash mid-recording). The
// replay opens it and plays what is there, or refuses it with a message;
// it never crashes.
TEST_F(CliRec, TruncatedRecordingPlaysOrIsRefused) {
    ASSERT_EQ(record_->status, 0) << record_->err;
    const std::string cut = *work_ / "cut.kvr";
    std::filesystem::copy_file(rec(), cut, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::resize_file(cut, std::filesystem::file_size(rec()) / 2);
    const RunResult r = cli({"play", cut});
    EXPECT_TRUE(r.status == 0 || r.status == kExitFileError || r.status == kExitCaptureFailed)
        << r.status << "\n"
        << r.out << r.err;
    if (r.status != 0) {
        EXPECT_NE(r.err.find("fix:"), std::string::npos) << r.err;
    }
}

// With a calibration mounted the library keeps room for more frames than
// without; the fast replay must still hand every frame to a program that
// takes one at a time.
TEST(CliRecCalibrated, PlayHandsOutEveryFrame) {
    TempDir work;
    const Env calibrated{{{"CAMSIM_CALIB", "bin"}}};
    const std::string raw = work / "calibrated.kvr";
    RunResult r = run_cli({"record", "--raw", raw, "-n", "12"}, work.path(), calibrated);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    const long recorded = number_after(r.out, "raw:");
    r = run_cli({"play", raw}, work.path(), calibrated);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(number_after(r.out, "played:"), recorded) << r.out;
    EXPECT_NE(r.out.find("0 dropped in the stream"), std::string::npos) << r.out;
}

// Ctrl-C ends a raw recording with a finished file that plays.
TEST(CliRecInterrupt, InterruptFinishesTheRawFile) {
    TempDir work;
    const std::string raw = work / "interrupted.kvr";
    Child child(cli_argv({"record", "--raw", raw, "--progress-every", "1"}),
                with_workdir(work.path(), {}));
    ASSERT_TRUE(child.wait_for_line("frames: 3"));
    child.signal(SIGINT);
    const RunResult r = child.finish();
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("interrupted: "), std::string::npos) << r.out;
    const RunResult play = run_cli({"play", raw}, work.path());
    EXPECT_EQ(play.status, 0) << play.out << play.err;
    EXPECT_GE(number_after(play.out, "played:"), 3) << play.out;
}

}  // namespace
}  // namespace kavri::cli_test
