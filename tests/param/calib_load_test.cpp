// kavri_param_load_from_dev against the simulated camera: plain and zip
// packages, the refusals before any download, damaged and hostile packages,
// and the driver's own download at open.
#include <algorithm>

#include "calib_fixture.h"
#include "zip_builder.h"

namespace kavri::param::test {
namespace {

using Load = CalibOnSim;

TEST_F(Load, PlainPackageBecomesTheParameterFile) {
    ASSERT_NE(open(), nullptr);
    ASSERT_EQ(camsim_calib_use(cam_, "bin"), CAMSIM_OK);
    LogCapture log;
    ASSERT_EQ(kavri_param_load_from_dev(&dev_), 1);
    const std::string text = log.text();

    EXPECT_EQ(read_all(param_file()), camera_payload());
    EXPECT_TRUE(param_file_valid());
    EXPECT_FALSE(fs::exists(work_file("calibration.bin"))) << text;
    EXPECT_EQ(camera_mode(), 0);
    const camsim_calib_stats_t s = calib_stats();
    EXPECT_EQ(s.uploads, 1u);
    EXPECT_EQ(s.frames_sent, s.package_frames);
    EXPECT_GT(s.package_frames, 1u);
    char expect[96];
    std::snprintf(expect, sizeof expect, "valid:1, fsize:%d, fr_num: %d",
                  static_cast<int>(s.package_frames * kFrame), static_cast<int>(s.package_frames));
    EXPECT_NE(text.find(expect), std::string::npos) << text;
    // The capture set-up stays as the loader left it.
    uint32_t size = 0;
    kavri_cap_get_frame_buffer(&dev_, nullptr, &size);
    EXPECT_EQ(size, 614400u);
    EXPECT_EQ(kavri_cap_is_ongoing(&dev_), 0);
}

TEST_F(Load, ZipPackageIsUnpackedIntoTheWorkingFolder) {
    ASSERT_NE(open(), nullptr);
    ASSERT_EQ(camsim_calib_use(cam_, "zip"), CAMSIM_OK);
    LogCapture log;
    ASSERT_EQ(kavri_param_load_from_dev(&dev_), 1);
    EXPECT_TRUE(log.has("[_calib_pk_parse] unzip " + work_file("tmp.zip") + " OK")) << log.text();

    EXPECT_TRUE(param_file_valid());
    EXPECT_EQ(work_listing(), (std::vector<std::string>{fs::path(param_file()).filename()}));
    EXPECT_EQ(camera_mode(), 0);
}

TEST_F(Load, FirmwareOlderThan133IsNotAskedForThePackage) {
    for (const uint16_t sw : {132, 133}) {
        SCOPED_TRACE(sw);
        close();
        ASSERT_EQ(camsim_calib_none(cam_), CAMSIM_OK);  // nothing to fetch at open
        ASSERT_EQ(camsim_calib_set_sw_version(cam_, sw), CAMSIM_OK);
        ASSERT_NE(open(), nullptr);  // the version is read at open
        EXPECT_EQ(dev_.version[1], sw);
        const std::vector<uint8_t> payload = pattern_bytes(1000);
        ASSERT_EQ(camsim_calib_set(cam_, payload.data(), 1000, nullptr), CAMSIM_OK);
        const uint32_t uploads_before = calib_stats().uploads;
        LogCapture log;
        const uint8_t result = kavri_param_load_from_dev(&dev_);
        EXPECT_TRUE(log.has("valid:1, fsize:153600, fr_num: 1")) << log.text();
        EXPECT_EQ(camera_mode(), 0);
        if (sw == 132) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(calib_stats().uploads, uploads_before);
            EXPECT_TRUE(work_listing().empty());
        } else {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(calib_stats().uploads, uploads_before + 1);
            EXPECT_EQ(read_all(param_file()), payload);
            fs::remove(param_file());
        }
    }
}

TEST_F(Load, RefusedPackagesAreNotFetched) {
    ASSERT_NE(open(), nullptr);
    const std::vector<uint8_t> payload = pattern_bytes(500);
    struct Case {
        const char *what;
        uint8_t valid;
        uint32_t timestamp;
        uint32_t package_size;
        uint32_t payload_size;
    } cases[] = {
        {"not valid", 0, 1, CAMSIM_CALIB_AUTO, CAMSIM_CALIB_AUTO},
        {"valid byte 2", 2, 1, CAMSIM_CALIB_AUTO, CAMSIM_CALIB_AUTO},
        {"no timestamp", 1, 0, CAMSIM_CALIB_AUTO, CAMSIM_CALIB_AUTO},
        {"above 10 MiB", 1, 1, 0xa00000 + kFrame, CAMSIM_CALIB_AUTO},
        {"payload beyond the package", 1, 1, kFrame, kFrame},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        camsim_calib_header_t h = package_header();
        h.valid = c.valid;
        h.timestamp = c.timestamp;
        h.package_size = c.package_size;
        h.payload_size = c.payload_size;
        ASSERT_EQ(camsim_calib_set(cam_, payload.data(), 500, &h), CAMSIM_OK);
        EXPECT_EQ(kavri_param_load_from_dev(&dev_), 0);
        EXPECT_EQ(calib_stats().uploads, 0u);
        EXPECT_EQ(camera_mode(), 0);
    }
    EXPECT_TRUE(work_listing().empty());
}

TEST_F(Load, TwoFramePackageArrivesWhole) {
    ASSERT_NE(open(), nullptr);
    const std::vector<uint8_t> payload = pattern_bytes(2 * kFrame - kHdr);
    ASSERT_EQ(
        camsim_calib_set(cam_, payload.data(), static_cast<uint32_t>(payload.size()), nullptr),
        CAMSIM_OK);
    ASSERT_EQ(kavri_param_load_from_dev(&dev_), 1);
    EXPECT_EQ(calib_stats().frames_sent, 2u);
    EXPECT_EQ(read_all(param_file()), payload);
    EXPECT_TRUE(work_listing() == std::vector<std::string>{fs::path(param_file()).filename()});
}

TEST_F(Load, PackageOfNoWholeFrameCountFailsTheHeaderCheck) {
    ASSERT_NE(open(), nullptr);
    const std::vector<uint8_t> payload = pattern_bytes(200000);
    camsim_calib_header_t h = package_header();
    h.package_size = kHdr + 200000;  // as stored, not padded
    ASSERT_EQ(camsim_calib_set(cam_, payload.data(), 200000, &h), CAMSIM_OK);
    LogCapture log;
    ASSERT_EQ(kavri_param_load_from_dev(&dev_), 1);
    const std::string pkg = work_file("calibration.bin");
    EXPECT_TRUE(log.has("[_calib_pk_parse] " + pkg +
                        " header verify failed: valid=1, ts=1, fsize=200018 (expect=153600), "
                        "dsize=200000)"))
        << log.text();
    // One frame fetched, kept for the next attempt; nothing stored.
    EXPECT_EQ(fs::file_size(pkg), kFrame);
    EXPECT_EQ(work_listing(), std::vector<std::string>{"calibration.bin"});
    EXPECT_EQ(camera_mode(), 0);
}

TEST_F(Load, DamagedParameterFileLandsButDoesNotOpen) {
    ASSERT_NE(open(), nullptr);
    ASSERT_EQ(camsim_calib_use(cam_, "bin"), CAMSIM_OK);
    std::vector<uint8_t> file = camera_payload();
    file[file.size() / 2] ^= 0x5a;  // inside a block: the blocks checksum breaks
    ASSERT_EQ(camsim_calib_set(cam_, file.data(), static_cast<uint32_t>(file.size()), nullptr),
              CAMSIM_OK);
    ASSERT_EQ(kavri_param_load_from_dev(&dev_), 1);  // attempted
    EXPECT_EQ(read_all(param_file()), file);
    EXPECT_FALSE(param_file_valid());
}

TEST_F(Load, FailedUnzipLeavesBothFiles) {
    ASSERT_NE(open(), nullptr);
    std::vector<uint8_t> junk = pattern_bytes(3000);
    std::copy_n("PK\3\4", 4, junk.begin());
    ASSERT_EQ(camsim_calib_set(cam_, junk.data(), 3000, nullptr), CAMSIM_OK);
    LogCapture log;
    ASSERT_EQ(kavri_param_load_from_dev(&dev_), 1);
    EXPECT_TRUE(log.has("[_calib_pk_parse] unzip " + work_file("tmp.zip") + " failed"))
        << log.text();
    EXPECT_EQ(work_listing(), (std::vector<std::string>{"calibration.bin", "tmp.zip"}));
    EXPECT_EQ(read_all(work_file("tmp.zip")), junk);
    EXPECT_EQ(camera_mode(), 0);
}

TEST_F(Load, HostileArchiveWritesNothingOutsideTheWorkingFolder) {
    ASSERT_NE(open(), nullptr);
    const std::vector<uint8_t> good = pattern_bytes(1000);  // unchecked by the loader
    const std::string good_name = fs::path(param_file()).filename();
    const std::string outside = dir_.file("escaped.bin");
    const std::vector<std::vector<ZipEntry>> archives = {
        {zip_file(good_name, good), zip_file("../escaped.bin", pattern_bytes(64))},
        {zip_file(outside, pattern_bytes(64)), zip_file(good_name, good)},
        {zip_symlink("link", ".."), zip_file("link/escaped.bin", pattern_bytes(64))},
    };
    for (size_t i = 0; i < archives.size(); ++i) {
        SCOPED_TRACE(i);
        const Bytes zip = build_zip(archives[i]);
        ASSERT_EQ(camsim_calib_set(cam_, zip.data(), static_cast<uint32_t>(zip.size()), nullptr),
                  CAMSIM_OK);
        LogCapture log;
        ASSERT_EQ(kavri_param_load_from_dev(&dev_), 1);
        EXPECT_TRUE(log.has("refused entry")) << log.text();
        EXPECT_TRUE(log.has("unzip " + work_file("tmp.zip") + " failed")) << log.text();
        EXPECT_FALSE(fs::exists(outside));
        // Refused before anything was written: only the two package files.
        EXPECT_EQ(work_listing(), (std::vector<std::string>{"calibration.bin", "tmp.zip"}));
        fs::remove(work_file("calibration.bin"));
        fs::remove(work_file("tmp.zip"));
    }
}

TEST_F(Load, ModeSwitchRefusedEndsAtOnce) {
    ASSERT_NE(open(), nullptr);
    ASSERT_EQ(camsim_calib_use(cam_, "bin"), CAMSIM_OK);
    camsim_camera_stats_t before{}, after{};
    camsim_get_camera_stats(cam_, &before);
    ASSERT_EQ(camsim_inject(cam_, CAMSIM_FAULT_FAIL_COMMAND, 1, 0, nullptr), CAMSIM_OK);
    LogCapture log;
    EXPECT_EQ(kavri_param_load_from_dev(&dev_), 0);
    EXPECT_TRUE(log.has("[_load_kavri_param]  set mode to DATA_UP failed!")) << log.text();
    camsim_get_camera_stats(cam_, &after);
    EXPECT_EQ(after.param_sets, before.param_sets);  // not even the restore
    EXPECT_EQ(calib_stats().uploads, 0u);
}

TEST_F(Load, RefusedWhileTheApplicationCaptures) {
    ASSERT_NE(open(), nullptr);
    ASSERT_EQ(camsim_calib_use(cam_, "bin"), CAMSIM_OK);
    ASSERT_EQ(kavri_cap_start(&dev_), 1);
    EXPECT_EQ(kavri_param_load_from_dev(&dev_), 0);
    EXPECT_EQ(kavri_cap_is_ongoing(&dev_), 1);
    EXPECT_EQ(camera_mode(), 0);
    EXPECT_EQ(calib_stats().uploads, 0u);
    kavri_cap_stop(&dev_);
}

TEST_F(Load, NullHandleIsRefused) {
    EXPECT_EQ(kavri_param_load_from_dev(nullptr), 0);
}

TEST_F(Load, DriverDownloadsAtOpenAndUsesTheCacheAfterwards) {
    ASSERT_EQ(camsim_calib_use(cam_, "zip"), CAMSIM_OK);
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(calib_stats().uploads, 1u);
    EXPECT_TRUE(param_file_valid());
    close();
    ASSERT_NE(open(), nullptr);
    EXPECT_EQ(calib_stats().uploads, 1u);  // the file is current: no second download
}

// The parameter file's name holds the whole working path: the file the
// download writes is the one the driver mounts, and the next open finds it.
TEST_F(Load, LongWorkingPathStillMountsTheCalibration) {
    for (const size_t length : {size_t{64}, size_t{255}}) {
        SCOPED_TRACE(length);
        std::string prefix = dir_.file("long" + std::to_string(length)) + "/";
        ASSERT_LT(prefix.size(), size_t{40}) << "the temporary folder leaves no room";
        while (prefix.size() < length) {
            const size_t take = std::min<size_t>(40, length - prefix.size());
            prefix += std::string(take - 1, 'd') + "/";
        }
        ASSERT_EQ(prefix.size(), length);
        ASSERT_EQ(kavri_path_cfg(prefix.c_str()), 0);
        close();
        ASSERT_EQ(camsim_calib_use(cam_, "bin"), CAMSIM_OK);
        const uint32_t uploads = calib_stats().uploads;
        ASSERT_NE(open(), nullptr);
        EXPECT_EQ(calib_stats().uploads, uploads + 1);
        EXPECT_EQ(kavri_filter_enable(&dev_, KAVRI_FILTER_CALIB, nullptr, 0), 1);
        EXPECT_EQ(param_file().rfind(prefix, 0), 0u);
        EXPECT_TRUE(param_file_valid());
        close();
        ASSERT_NE(open(), nullptr);
        EXPECT_EQ(calib_stats().uploads, uploads + 1);  // the cache is found
        EXPECT_EQ(kavri_filter_enable(&dev_, KAVRI_FILTER_CALIB, nullptr, 0), 1);
    }
}

}  // namespace
}  // namespace kavri::param::test
