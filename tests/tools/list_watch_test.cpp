// kavri-cli list --watch in-process on the simulator: the table, then one
// line per arrival and removal, until SIGINT.
#include <camsim.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "cli/commands.h"
#include "cli/exit_codes.h"
#include "tools/cli_runner.h"

namespace kavri::cli {}

namespace kavri::cli_test {
namespace {

// Long enough for the watcher to start, read an identity, or see a change
// on the polling path (250 ms), on a loaded runner.
constexpr auto kSettle = std::chrono::milliseconds(1500);

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(CliListWatch, PrintsPresentCamerasThenArrivalsAndRemovalsUntilInterrupted) {
    setenv("CAMSIM_CALIB", "none", 1);
    camsim_clear();
    const int first = camsim_plug(nullptr);
    ASSERT_GE(first, 0);
    TempDir work;
    cli::GlobalOptions g;
    g.workdir = work.path();

    ::testing::internal::CaptureStdout();
    int status = -1;
    std::thread watch([&] { status = cli::run_list_watch(g); });
    std::this_thread::sleep_for(kSettle);
    const int second = camsim_plug(nullptr);
    std::this_thread::sleep_for(kSettle);
    camsim_unplug(first);
    std::this_thread::sleep_for(kSettle);
    kill(getpid(), SIGINT);  // the command's handler only raises its flag
    watch.join();
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_GE(second, 0);

    EXPECT_EQ(status, cli::kExitOk) << out;
    EXPECT_NE(out.find("1 camera\n"), std::string::npos) << out;
    // The camera listed in the table is not announced again; the second one
    // arrives at 1:2 with its identity, then the first leaves from 1:1.
    EXPECT_EQ(count_of(out, "+ "), 1u) << out;
    EXPECT_EQ(count_of(out, "- "), 1u) << out;
    const size_t plus = out.find("+ 1:2 ");
    const size_t minus = out.find("- 1:1 ");
    ASSERT_NE(plus, std::string::npos) << out;
    ASSERT_NE(minus, std::string::npos) << out;
    EXPECT_LT(plus, minus);
    EXPECT_NE(out.find("SIM", plus), std::string::npos) << out;
    camsim_reset();
}

}  // namespace
}  // namespace kavri::cli_test
