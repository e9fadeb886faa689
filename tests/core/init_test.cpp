// Library start and stop: log sinks, default log file name, working path,
// the library-wide colour map, and silence after the stop.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "kavri.h"

namespace fs = std::filesystem;

namespace {

std::string slurp(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string todays_log_name() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char name[64];
    std::snprintf(name, sizeof name, "kavri_%04d%02d%02d.log", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday);
    return name;
}

// A colour of the library-wide map for 1 m inside a 0..4 m range (0 when
// the map is empty).
uint32_t shared_map_colour() {
    const float metres = 1.0f;
    uint8_t rgb32[4] = {};
    if (kavri_cmap_float(rgb32, sizeof rgb32, &metres, 1, KAVRI_CMAP_OUTFMT_RGB32, 0.0f, 4.0f) != 1)
        return 0;
    return static_cast<uint32_t>(rgb32[0] | rgb32[1] << 8 | rgb32[2] << 16);
}

// Each test starts and stops the library in a private current folder.
class Init : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kavri_init_XXXXXX";
        root_ = mkdtemp(tmpl);
        old_cwd_ = fs::current_path();
        fs::current_path(root_);
    }
    void TearDown() override {
        kavri_uninit();
        fs::current_path(old_cwd_);
        fs::remove_all(root_);
    }
    fs::path root_, old_cwd_;
};

TEST_F(Init, WithoutANameLogsToTodaysFile) {
    for (const char *name : {static_cast<const char *>(nullptr), ""}) {
        SCOPED_TRACE(name == nullptr ? "NULL" : "empty");
        const std::string expect = todays_log_name();
        // Around midnight the date may move on between the two readings.
        ASSERT_EQ(kavri_init(name), 1);
        const bool found = fs::exists(expect) || fs::exists(todays_log_name());
        EXPECT_TRUE(found) << expect;
        kavri_uninit();
        const std::string text = slurp(fs::exists(expect) ? expect : todays_log_name());
        const std::string version =
            "v" + std::to_string(KAVRI_VERSION_MAJOR) + "." + std::to_string(KAVRI_VERSION_MINOR);
        EXPECT_NE(text.find("[kavri_init] \n --- KAVRI " + version + "(compile at "),
                  std::string::npos)
            << text;
        EXPECT_NE(text.find(") log start -----\n"), std::string::npos) << text;
        // The file sink's threshold is DBG: the stop line is there too.
        EXPECT_NE(text.find("[kavri_uninit] ----- AL log END ----\n\n"), std::string::npos) << text;
        fs::remove(expect);
    }
}

TEST_F(Init, WithANameLogsToThatFileOnly) {
    ASSERT_EQ(kavri_init("mine.log"), 1);
    EXPECT_EQ(kv_log_get_level(KV_LOG_SINK_CONSOLE), KV_LOG_WRN);
    EXPECT_EQ(kv_log_get_level(KV_LOG_SINK_FILE), KV_LOG_DBG);
    kv_log(KV_LOG_DBG, "DBG", "[%s] a debug line\n", "probe");
    kv_log(KV_LOG_TRC, "TRC", "[%s] a trace line\n", "probe");
    kavri_uninit();
    const std::string text = slurp("mine.log");
    EXPECT_NE(text.find("log start"), std::string::npos) << text;
    EXPECT_NE(text.find("[probe] a debug line"), std::string::npos) << text;
    EXPECT_EQ(text.find("[probe] a trace line"), std::string::npos) << text;
    EXPECT_FALSE(fs::exists(todays_log_name()));
}

TEST_F(Init, AnUnopenableLogFileLeavesConsoleLogging) {
    fs::create_directory("a_folder");
    testing::internal::CaptureStdout();
    EXPECT_EQ(kavri_init("a_folder"), 1);
    kv_log(KV_LOG_WRN, "WRN", "[%s] still heard\n", "probe");
    fflush(stdout);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[probe] still heard"), std::string::npos) << out;
}

TEST_F(Init, WorkingPathIsTheCurrentFolderWithASlash) {
    kavri_path_cfg("elsewhere/");
    ASSERT_EQ(kavri_init("x.log"), 1);
    EXPECT_STREQ(kavri_path_get(), "./");
    // Both separators still make folders.
    EXPECT_EQ(kavri_path_cfg("sub\\dir\\"), 0);
    EXPECT_TRUE(fs::is_directory("sub/dir"));
    EXPECT_EQ(kavri_path_cfg("one/two/"), 0);
    EXPECT_TRUE(fs::is_directory("one/two"));
}

TEST_F(Init, ColourMapLivesBetweenInitAndUninit) {
    ASSERT_EQ(kavri_init("x.log"), 1);
    EXPECT_NE(shared_map_colour(), 0u);
    kavri_uninit();
    EXPECT_EQ(shared_map_colour(), 0u);  // empty map: every ordinary value black
    ASSERT_EQ(kavri_init("x.log"), 1);
    EXPECT_NE(shared_map_colour(), 0u);
}

TEST_F(Init, NothingIsLoggedAfterUninit) {
    ASSERT_EQ(kavri_init("quiet.log"), 1);
    kavri_uninit();
    const auto size_after_stop = fs::file_size("quiet.log");
    for (unsigned sink = 0; sink < 3; ++sink) EXPECT_EQ(kv_log_get_level(sink), KV_LOG_OFF);
    testing::internal::CaptureStdout();
    kv_log(KV_LOG_ERR, "ERR", "[%s] must not appear\n", "probe");
    fflush(stdout);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(fs::file_size("quiet.log"), size_after_stop);
    // A threshold set again brings the console back.
    kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_ERR, nullptr);
    testing::internal::CaptureStdout();
    kv_log(KV_LOG_ERR, "ERR", "[%s] heard again\n", "probe");
    fflush(stdout);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("heard again"), std::string::npos);
    kv_log_enable(KV_LOG_SINK_CONSOLE, KV_LOG_OFF, nullptr);
}

TEST_F(Init, TransportIsUsableAfterInit) {
    ASSERT_EQ(kavri_init("x.log"), 1);
    kavri_dev_t list[4];
    EXPECT_GE(kavri_dev_list(list, 4), 0);
}

}  // namespace
