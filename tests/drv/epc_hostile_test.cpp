// Calibration files that once broke the mount (found by fuzzing) are refused
// cleanly; under UBSan an undefined conversion would abort the test.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "drv/epc_test_util.h"

namespace fs = std::filesystem;

TEST(EpcMountHostile, FilesFoundByFuzzingAreRefusedWithoutUndefinedBehaviour) {
    const fs::path dir = KAVRI_FUZZ_FOUND_DIR;
    ASSERT_TRUE(fs::is_directory(dir)) << dir;
    int files = 0;
    for (const auto &entry : fs::directory_iterator(dir)) {
        epc_test::Driver d;
        EXPECT_EQ(d.mount_file(entry.path().string()), -1) << entry.path();
        EXPECT_EQ(epc_calc_calib_loaded(d.drv()), 0) << entry.path();
        ++files;
    }
    EXPECT_GT(files, 0);
}
