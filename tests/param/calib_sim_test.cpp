// The simulated camera's calibration package: what parameter 8 reports for
// each CAMSIM_CALIB setting, the archive it builds, and CAMSIM_SW_VERSION.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "camsim.h"
#include "param_test_util.h"

namespace {

using kavri::param::test::TempDir;
using Bytes = std::vector<uint8_t>;

uint32_t u32_at(const uint8_t *p) {
    return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24;
}

struct Reported {
    uint8_t bytes[18] = {};
    uint8_t len = 0;
};

Reported calib_info(int cam) {
    Reported r;
    EXPECT_EQ(camsim_param_get(cam, 8, r.bytes, &r.len), CAMSIM_OK);
    return r;
}

Bytes payload_of(int cam) {
    Bytes b(static_cast<size_t>(std::max(camsim_calib_get(cam, nullptr, 0, nullptr), 0)));
    camsim_calib_get(cam, b.data(), static_cast<uint32_t>(b.size()), nullptr);
    return b;
}

int32_t param_id_of(int cam) {
    uint8_t chip[18] = {}, uid[18] = {}, len = 0;
    camsim_param_get(cam, 7, chip, &len);
    camsim_param_get(cam, 5, uid, &len);
    return static_cast<int32_t>(u32_at(chip + 2) ^ u32_at(uid));
}

// The entries of a zip archive in memory: name and contents.
std::vector<std::pair<std::string, Bytes>> unzip(const Bytes &zip) {
    std::vector<std::pair<std::string, Bytes>> out;
    archive *a = archive_read_new();
    archive_read_support_format_zip(a);
    EXPECT_EQ(archive_read_open_memory(a, zip.data(), zip.size()), ARCHIVE_OK);
    archive_entry *e = nullptr;
    while (archive_read_next_header(a, &e) == ARCHIVE_OK) {
        Bytes data(static_cast<size_t>(archive_entry_size(e)));
        EXPECT_EQ(archive_read_data(a, data.data(), data.size()),
                  static_cast<la_ssize_t>(data.size()));
        out.emplace_back(archive_entry_pathname(e), std::move(data));
    }
    archive_read_free(a);
    return out;
}

// Each test sets the environment, then plugs the cameras it describes.
class SimCalib : public ::testing::Test {
  protected:
    void TearDown() override {
        unsetenv("CAMSIM_CALIB");
        unsetenv("CAMSIM_SW_VERSION");
        camsim_clear();
    }
    int reset_with(const char *calib) {
        if (calib != nullptr)
            setenv("CAMSIM_CALIB", calib, 1);
        else
            unsetenv("CAMSIM_CALIB");
        camsim_reset();
        return 0;
    }
};

TEST_F(SimCalib, DefaultIsThePlainParameterFilePaddedToWholeFrames) {
    const int cam = reset_with(nullptr);
    const Reported r = calib_info(cam);
    ASSERT_EQ(r.len, CAMSIM_CALIB_HEADER_BYTES);
    const Bytes file = payload_of(cam);
    EXPECT_EQ(r.bytes[0], 1);                          // valid
    EXPECT_EQ(r.bytes[1], 0);                          // a parameter file
    EXPECT_EQ(u32_at(r.bytes + 2), 0u);                // reserved
    EXPECT_EQ(u32_at(r.bytes + 6), u32_at(&file[1]));  // the file's own timestamp
    EXPECT_EQ(u32_at(r.bytes + 14), file.size());
    const uint32_t package = u32_at(r.bytes + 10);
    EXPECT_EQ(package % CAMSIM_CALIB_FRAME_BYTES, 0u);
    EXPECT_GE(package, file.size() + CAMSIM_CALIB_HEADER_BYTES);
    EXPECT_LT(package - CAMSIM_CALIB_FRAME_BYTES, file.size() + CAMSIM_CALIB_HEADER_BYTES);
    EXPECT_LE(package, 0xa00000u);
    EXPECT_EQ(file[0], 140);  // current format
    EXPECT_EQ(std::memcmp(&file[5], "KVP1", 4), 0);
    camsim_calib_stats_t s{};
    ASSERT_EQ(camsim_calib_get_stats(cam, &s), CAMSIM_OK);
    EXPECT_EQ(s.package_frames, package / CAMSIM_CALIB_FRAME_BYTES);
    EXPECT_EQ(s.uploads, 0u);
}

TEST_F(SimCalib, ZipHoldsTheSameFileUnderTheHostsName) {
    const Bytes plain = payload_of(reset_with("bin"));
    const int cam = reset_with("zip");
    const Reported r = calib_info(cam);
    EXPECT_EQ(r.bytes[1], CAMSIM_CALIB_PAYLOAD_ZIP);
    const Bytes zip = payload_of(cam);
    EXPECT_EQ(u32_at(r.bytes + 14), zip.size());
    const auto entries = unzip(zip);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].first, "kavri_param_" + std::to_string(param_id_of(cam)) + ".bin");
    EXPECT_EQ(entries[0].second, plain);
}

TEST_F(SimCalib, NoneReportsNoPackage) {
    const int cam = reset_with("none");
    const Reported r = calib_info(cam);
    EXPECT_EQ(r.len, CAMSIM_CALIB_HEADER_BYTES);
    for (uint8_t b : r.bytes) EXPECT_EQ(b, 0);
    EXPECT_EQ(camsim_calib_get(cam, nullptr, 0, nullptr), 0);
}

TEST_F(SimCalib, APathServesTheFileTypedByItsSignature) {
    TempDir dir;
    const Bytes zip_like = {'P', 'K', 3, 4, 9, 9, 9};
    Bytes plain(40, 0);
    plain[1] = 0x2a;  // timestamp 42
    for (const auto &[name, bytes] : {std::pair{"a.zip", zip_like}, std::pair{"p.bin", plain}}) {
        std::ofstream(dir.file(name), std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    int cam = reset_with(dir.file("a.zip").c_str());
    EXPECT_EQ(calib_info(cam).bytes[1], CAMSIM_CALIB_PAYLOAD_ZIP);
    EXPECT_EQ(payload_of(cam), zip_like);
    cam = reset_with(dir.file("p.bin").c_str());
    const Reported r = calib_info(cam);
    EXPECT_EQ(r.bytes[1], 0);
    EXPECT_EQ(u32_at(r.bytes + 6), 42u);
    EXPECT_EQ(u32_at(r.bytes + 10), CAMSIM_CALIB_FRAME_BYTES);
    EXPECT_EQ(payload_of(cam), plain);
    // A path that cannot be read is ignored: the default package.
    cam = reset_with(dir.file("missing").c_str());
    EXPECT_EQ(calib_info(cam).bytes[0], 1);
    EXPECT_EQ(payload_of(cam)[0], 140);
}

TEST_F(SimCalib, HeaderFieldsCanBeForced) {
    const int cam = reset_with("none");
    const Bytes payload(1000, 0x11);
    camsim_calib_header_t h{};
    h.valid = 3;
    h.payload_type = 7;
    h.timestamp = 99;
    h.package_size = 1018;
    h.payload_size = 0;
    ASSERT_EQ(camsim_calib_set(cam, payload.data(), 1000, &h), CAMSIM_OK);
    const Reported r = calib_info(cam);
    EXPECT_EQ(r.bytes[0], 3);
    EXPECT_EQ(r.bytes[1], 7);
    EXPECT_EQ(u32_at(r.bytes + 6), 99u);
    EXPECT_EQ(u32_at(r.bytes + 10), 1018u);
    EXPECT_EQ(u32_at(r.bytes + 14), 0u);
    camsim_calib_stats_t s{};
    camsim_calib_get_stats(cam, &s);
    EXPECT_EQ(s.package_frames, 1u);  // streamed padded to a whole frame all the same
    EXPECT_EQ(camsim_calib_set(cam, nullptr, 5, nullptr), CAMSIM_EINVAL);
    EXPECT_EQ(camsim_calib_set(99, payload.data(), 1, nullptr), CAMSIM_ENOCAM);
    EXPECT_EQ(camsim_calib_use(cam, "/no/such/file"), CAMSIM_ENOENT);
}

TEST_F(SimCalib, SoftwareVersionFromTheEnvironmentSurvivesAPowerCycle) {
    setenv("CAMSIM_SW_VERSION", "132", 1);
    const int cam = reset_with("none");
    uint8_t v[18] = {}, len = 0;
    ASSERT_EQ(camsim_param_get(cam, 6, v, &len), CAMSIM_OK);
    EXPECT_EQ(v[2] | v[3] << 8, 132);
    ASSERT_EQ(camsim_unplug(cam), CAMSIM_OK);
    ASSERT_EQ(camsim_replug(cam, 0), CAMSIM_OK);
    ASSERT_EQ(camsim_param_get(cam, 6, v, &len), CAMSIM_OK);
    EXPECT_EQ(v[2] | v[3] << 8, 132);
    EXPECT_EQ(camsim_calib_set_sw_version(cam, 0x150), CAMSIM_OK);
    ASSERT_EQ(camsim_param_get(cam, 6, v, &len), CAMSIM_OK);
    EXPECT_EQ(v[2] | v[3] << 8, 0x150);
}

}  // namespace
