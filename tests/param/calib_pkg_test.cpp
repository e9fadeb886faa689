// The calibration package as received from the camera: header checks, a
// plain parameter file or a zip archive stored under the working path, the
// files left behind on failure, and hostile archives.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "fake_camera.h"
#include "param/calib_pkg.h"
#include "param/zip_extract.h"
#include "param_builder.h"
#include "param_test_util.h"
#include "zip_builder.h"

namespace fs = std::filesystem;
using namespace kavri::param;
using namespace kavri::param::test;

namespace {

constexpr uint32_t kTs = 0x5F000001;

// Header and payload, padded with zeros to whole frames unless told otherwise.
Bytes make_package(const Bytes &payload, uint8_t type, uint32_t declared_size = 0) {
    Bytes p(kPkgHdrSize, 0);
    p[0] = 1;
    p[1] = type;
    kavri::le::put_u32(p.data() + 6, kTs);
    kavri::le::put_u32(p.data() + 14, static_cast<uint32_t>(payload.size()));
    p.insert(p.end(), payload.begin(), payload.end());
    const size_t frames = (p.size() + kCalibFrameSize - 1) / kCalibFrameSize;
    p.resize(frames * kCalibFrameSize, 0);
    kavri::le::put_u32(p.data() + 10,
                       declared_size != 0 ? declared_size : static_cast<uint32_t>(p.size()));
    return p;
}

class CalibPackageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake_camera() = FakeChipInfo{};
        prefix_ = dir_.prefix();
        dev_.path = prefix_.c_str();
    }

    // Writes the package as the capture loop would: whole frames only, as
    // many as the header's package size holds.
    void receive(const Bytes &package) {
        const PackageHeader h = decode_package_header(
            std::span<const uint8_t, kPkgHdrSize>(package.data(), kPkgHdrSize));
        PackageFileWriter writer;
        ASSERT_TRUE(writer.open(prefix_.c_str()));
        for (uint32_t i = 0; i < package_frame_count(h); ++i) {
            ASSERT_TRUE(writer.write_frame(std::span<const uint8_t>(package).subspan(
                i * size_t{kCalibFrameSize}, kCalibFrameSize)));
        }
        ASSERT_TRUE(writer.close());
    }

    std::string param_file() const {
        return prefix_ + "kavri_param_" + std::to_string(fake_param_id()) + ".bin";
    }
    bool exists(const std::string &name) const { return fs::exists(prefix_ + name); }
    bool param_file_opens() const {
        kavri_param_t p{};
        const bool ok = kavri_param_open_file(&p, param_file().c_str()) != 0;
        kavri_param_close(&p);
        return ok;
    }

    TempDir dir_;
    std::string prefix_;
    kavri_dev_t dev_{};
};

}  // namespace

TEST(PackageHeader, DecodesLittleEndianFields) {
    const Bytes p = make_package(Bytes(100, 7), 1);
    const PackageHeader h =
        decode_package_header(std::span<const uint8_t, kPkgHdrSize>(p.data(), kPkgHdrSize));
    EXPECT_EQ(h.valid, 1);
    EXPECT_EQ(h.payload_type, 1);
    EXPECT_EQ(h.timestamp, kTs);
    EXPECT_EQ(h.package_size, kCalibFrameSize);
    EXPECT_EQ(h.payload_size, 100u);
    EXPECT_EQ(package_frame_count(h), 1u);
}

TEST(PackageHeader, DownloadNeedsValidPackageAndFirmware133) {
    PackageHeader ok{1, 0, kTs, 307200, 1000};
    EXPECT_TRUE(package_download_allowed(ok, 133));
    EXPECT_EQ(package_frame_count(ok), 2u);
    struct {
        PackageHeader h;
        uint16_t sw;
        const char *why;
    } refused[] = {
        {ok, 132, "firmware too old"},
        {{0, 0, kTs, 307200, 1000}, 133, "not valid"},
        {{2, 0, kTs, 307200, 1000}, 133, "valid must be 1"},
        {{1, 0, 0, 307200, 1000}, 133, "no timestamp"},
        {{1, 0, kTs, 0xa00001, 1000}, 133, "above 10 MiB"},
        {{1, 0, kTs, 1017, 1000}, 133, "payload does not fit"},
        {{1, 0, kTs, 307200, 0xFFFFFFF0u}, 133, "payload size wraps"},
    };
    for (const auto &c : refused) EXPECT_FALSE(package_download_allowed(c.h, c.sw)) << c.why;
}

TEST(PackageNames, PrefixAndNameKeptWhole) {
    EXPECT_EQ(working_file_name("/w/", kPackageFileName), "/w/calibration.bin");
    const std::string long_prefix(255, 'p');
    EXPECT_EQ(working_file_name(long_prefix.c_str(), kArchiveFileName), long_prefix + "tmp.zip");
}

TEST_F(CalibPackageTest, PlainParameterFileLandsUnderTheWorkingPath) {
    receive(make_package(build_file(two_block_spec()), 0));
    LogCapture log;
    EXPECT_TRUE(calib_pk_parse(&dev_));
    EXPECT_TRUE(log.has("[_calib_pk_parse] fsize, dsize = 153600, ")) << log.text();
    EXPECT_TRUE(param_file_opens());
    EXPECT_FALSE(exists("calibration.bin"));
    EXPECT_FALSE(exists("tmp.zip"));
}

TEST_F(CalibPackageTest, ZipPayloadIsUnpackedAndBothFilesRemoved) {
    fake_camera().chip_word = 0x80000000;  // a negative id prints signed
    const Bytes param = build_file(two_block_spec());
    const std::string name = "kavri_param_" + std::to_string(fake_param_id()) + ".bin";
    ASSERT_EQ(name[12], '-');
    receive(make_package(build_zip({zip_file(name, param), zip_dir("lens/"),
                                    zip_file("lens/info.txt", Bytes{'o', 'k'})}),
                         kPayloadZip));
    LogCapture log;
    EXPECT_TRUE(calib_pk_parse(&dev_));
    EXPECT_TRUE(param_file_opens()) << log.text();
    EXPECT_EQ(read_file(prefix_ + "lens/info.txt"), (Bytes{'o', 'k'}));
    EXPECT_FALSE(exists("calibration.bin"));
    EXPECT_FALSE(exists("tmp.zip"));
    EXPECT_TRUE(log.has("[_calib_pk_parse] unzip " + prefix_ + "tmp.zip OK\n")) << log.text();
    EXPECT_TRUE(log.has("[on_extract_to_folder_entry] Extracted: ")) << log.text();
}

TEST_F(CalibPackageTest, PackageNotAWholeNumberOfFramesFailsTheSizeCheck) {
    receive(make_package(build_file(two_block_spec()), 0, kCalibFrameSize + 100));
    LogCapture log;
    EXPECT_FALSE(calib_pk_parse(&dev_));
    EXPECT_TRUE(log.has("calibration.bin header verify failed: valid=1, ts=" + std::to_string(kTs) +
                        ", fsize=153700 (expect=153600), dsize="))
        << log.text();
    EXPECT_TRUE(exists("calibration.bin"));
    EXPECT_FALSE(fs::exists(param_file()));
}

TEST_F(CalibPackageTest, HeaderFieldsAreChecked) {
    using kavri::le::put_u32;
    struct {
        const char *what;
        void (*spoil)(Bytes &);
    } cases[] = {
        {"not valid", [](Bytes &p) { p[0] = 0; }},
        {"no timestamp", [](Bytes &p) { put_u32(p.data() + 6, 0); }},
        {"no payload", [](Bytes &p) { put_u32(p.data() + 14, 0); }},
        {"payload beyond the package", [](Bytes &p) { put_u32(p.data() + 14, kCalibFrameSize); }},
        {"payload size wraps", [](Bytes &p) { put_u32(p.data() + 14, 0xFFFFFFF0u); }},
    };
    for (const auto &c : cases) {
        Bytes p = make_package(Bytes(100, 1), 0);
        c.spoil(p);
        receive(p);
        LogCapture log;
        EXPECT_FALSE(calib_pk_parse(&dev_)) << c.what;
        EXPECT_TRUE(log.has("header verify failed")) << c.what << "\n" << log.text();
        EXPECT_TRUE(exists("calibration.bin"));
    }
}

TEST_F(CalibPackageTest, MissingOrShortPackageFile) {
    {
        LogCapture log;
        EXPECT_FALSE(calib_pk_parse(&dev_));
        EXPECT_TRUE(log.has("[_calib_pk_parse] Open " + prefix_ + "calibration.bin failed\n"))
            << log.text();
    }
    write_file(prefix_ + "calibration.bin", Bytes(10, 1));
    LogCapture log;
    EXPECT_FALSE(calib_pk_parse(&dev_));
    EXPECT_TRUE(log.has("Read header of " + prefix_ + "calibration.bin falied")) << log.text();
}

TEST_F(CalibPackageTest, FailedUnzipLeavesBothFiles) {
    receive(make_package(Bytes(5000, 0x42), kPayloadZip));
    LogCapture log;
    EXPECT_FALSE(calib_pk_parse(&dev_));
    EXPECT_TRUE(log.has("[_calib_pk_parse] unzip " + prefix_ + "tmp.zip failed\n")) << log.text();
    EXPECT_TRUE(exists("calibration.bin"));
    EXPECT_TRUE(exists("tmp.zip"));
}

TEST_F(CalibPackageTest, UnknownParameterIdLeavesThePackage) {
    fake_camera().fail_uid = true;
    receive(make_package(build_file(two_block_spec()), 0));
    LogCapture log;
    EXPECT_FALSE(calib_pk_parse(&dev_));
    EXPECT_TRUE(log.has("[_kavri_get_param_id] Get chip info failed\n")) << log.text();
    EXPECT_TRUE(exists("calibration.bin"));
}

// ---- hostile archives ---------------------------------------------------------

namespace {

struct HostileCase {
    const char *what;
    std::vector<ZipEntry> entries;
    const char *reason;
};

}  // namespace

TEST_F(CalibPackageTest, HostileArchivesWriteNothingAnywhere) {
    // The working folder is a child of the test folder, so "outside" is
    // observable and still private to this test.
    const std::string work = dir_.file("work");
    fs::create_directory(work);
    prefix_ = work + "/";
    dev_.path = prefix_.c_str();
    const Bytes param = build_file(two_block_spec());
    const std::string name = "kavri_param_" + std::to_string(fake_param_id()) + ".bin";
    const HostileCase cases[] = {
        {"dot-dot", {zip_file(name, param), zip_file("../evil.bin", {1})}, "'..' in its name"},
        {"nested dot-dot", {zip_file("a/../../evil.bin", {1})}, "'..' in its name"},
        {"absolute",
         {zip_file(name, param), zip_file(dir_.file("evil.bin"), {1})},
         "absolute name"},
        {"link out",
         {zip_symlink("esc", dir_.path()), zip_file("esc/evil.bin", {1})},
         "link pointing out of the folder"},
        {"relative link out",
         {zip_symlink("esc", ".."), zip_file("esc/evil.bin", {1})},
         "link pointing out of the folder"},
        {"the folder itself",
         {zip_file(name, param), zip_file(".", {1})},
         "names the folder itself"},
        {"the folder itself, dotted", {zip_file("./.", {1})}, "names the folder itself"},
    };
    for (const HostileCase &c : cases) {
        receive(make_package(build_zip(c.entries), kPayloadZip));
        LogCapture log;
        EXPECT_FALSE(calib_pk_parse(&dev_)) << c.what;
        EXPECT_TRUE(log.has(std::string("[zip_extract] refused entry ")) && log.has(c.reason))
            << c.what << "\n"
            << log.text();
        EXPECT_TRUE(log.has("unzip " + prefix_ + "tmp.zip failed")) << log.text();
        EXPECT_FALSE(fs::exists(dir_.file("evil.bin"))) << c.what;
        EXPECT_FALSE(fs::exists(param_file())) << c.what << ": vetting precedes writing";
        EXPECT_FALSE(fs::exists(fs::symlink_status(work + "/esc"))) << c.what;
        EXPECT_TRUE(fs::is_directory(fs::symlink_status(work))) << c.what;
        EXPECT_TRUE(exists("calibration.bin"));
        EXPECT_TRUE(exists("tmp.zip"));
    }
}

TEST_F(CalibPackageTest, LinksInsideTheFolderAreKept) {
    receive(make_package(build_zip({zip_file("a.txt", {'a'}), zip_symlink("b.txt", "a.txt")}),
                         kPayloadZip));
    EXPECT_TRUE(calib_pk_parse(&dev_));
    EXPECT_TRUE(fs::is_symlink(prefix_ + "b.txt"));
    EXPECT_EQ(read_file(prefix_ + "b.txt"), (Bytes{'a'}));
}

// ---- zip_extract on its own ------------------------------------------------------

namespace {

struct Calls {
    std::vector<std::string> paths;
    int stop_after = -1;
};

int record_entry(const char *path, void *arg) {
    auto *calls = static_cast<Calls *>(arg);
    calls->paths.emplace_back(path);
    return static_cast<int>(calls->paths.size()) == calls->stop_after ? -1 : 0;
}

}  // namespace

TEST_F(CalibPackageTest, ExtractIntoAFolderNamedRelativeToTheWorkingDirectory) {
    const std::string archive = dir_.file("x.zip");
    write_file(archive, build_zip({zip_dir("d/"), zip_file("d/f.bin", {1, 2, 3})}));
    fs::create_directory(dir_.file("out"));
    const fs::path old_cwd = fs::current_path();
    fs::current_path(dir_.path());
    Calls calls;
    const int rc = zip_extract(archive.c_str(), "out", record_entry, &calls);
    fs::current_path(old_cwd);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(read_file(dir_.file("out/d/f.bin")), (Bytes{1, 2, 3}));
    EXPECT_EQ(calls.paths, (std::vector<std::string>{"out/d/", "out/d/f.bin"}));
}

TEST_F(CalibPackageTest, CallbackCanStopTheExtraction) {
    const std::string archive = dir_.file("x.zip");
    write_file(archive, build_zip({zip_file("1", {1}), zip_file("2", {2}), zip_file("3", {3})}));
    Calls calls;
    calls.stop_after = 2;
    EXPECT_LT(zip_extract(archive.c_str(), dir_.path().c_str(), record_entry, &calls), 0);
    EXPECT_EQ(calls.paths.size(), 2u);
    EXPECT_FALSE(fs::exists(dir_.file("3")));
}

TEST_F(CalibPackageTest, ExtractionStopsAtTheSizeCap) {
    const std::string archive = dir_.file("x.zip");
    write_file(archive, build_zip({zip_file("big", Bytes(100000, 0))}));
    LogCapture log;
    EXPECT_LT(zip_extract(archive.c_str(), dir_.path().c_str(), nullptr, nullptr, 4096), 0);
    EXPECT_TRUE(log.has("archive unpacks to more than 4096 bytes")) << log.text();
}

// A fuzzer-found archive whose entry declares far more bytes than it holds:
// the disk writer would extend the file to the declared size.
TEST_F(CalibPackageTest, DeclaredSizeBeyondTheCapIsRefusedBeforeWriting) {
    constexpr uint64_t kCap = 4u << 20;
    LogCapture log;
    EXPECT_LT(zip_extract(KAVRI_FUZZ_FOUND_DIR "/zip_declared_size_beyond_data.bin",
                          dir_.path().c_str(), nullptr, nullptr, kCap),
              0);
    EXPECT_TRUE(log.has("archive unpacks to more than")) << log.text();
    for (const auto &e : fs::recursive_directory_iterator(dir_.path())) {
        if (e.is_regular_file()) {
            EXPECT_LE(e.file_size(), kCap) << e.path();
        }
    }
}

// The fuzzer's archive: a file entry named "." would have replaced the
// target folder with a file.
TEST_F(CalibPackageTest, FileEntryNamingTheFolderIsRefused) {
    const std::string target = dir_.file("target");
    fs::create_directory(target);
    LogCapture log;
    EXPECT_LT(zip_extract(KAVRI_FUZZ_FOUND_DIR "/zip_file_entry_named_dot.bin", target.c_str(),
                          nullptr, nullptr, 1u << 20),
              0);
    EXPECT_TRUE(log.has("names the folder itself")) << log.text();
    EXPECT_TRUE(fs::is_directory(fs::symlink_status(target)));
    EXPECT_TRUE(fs::is_empty(target));
}

TEST_F(CalibPackageTest, MissingFolderOrArchiveFails) {
    const std::string archive = dir_.file("x.zip");
    write_file(archive, build_zip({zip_file("1", {1})}));
    EXPECT_LT(zip_extract(archive.c_str(), dir_.file("nope").c_str(), nullptr, nullptr), 0);
    EXPECT_LT(zip_extract(dir_.file("none.zip").c_str(), dir_.path().c_str(), nullptr, nullptr), 0);
}

// ---- file names -----------------------------------------------------------------

TEST_F(CalibPackageTest, NamesUseTheParameterId) {
    char buf[256];
    ASSERT_EQ(kavri_get_param_absolute_name(&dev_, buf, sizeof buf), buf);
    EXPECT_EQ(std::string(buf), prefix_ + "kavri_param_" + std::to_string(0x12345679) + ".bin");
    ASSERT_EQ(kavri_get_param_lens_absolute_name(&dev_, buf, sizeof buf), buf);
    EXPECT_EQ(std::string(buf),
              prefix_ + "kavri_param_lens_" + std::to_string(0x12345679) + ".txt");
    fake_camera().chip_word = 0xFFFFFFFF;
    fake_camera().uid_word = 0x00000001;
    ASSERT_NE(kavri_get_param_absolute_name(&dev_, buf, sizeof buf), nullptr);
    EXPECT_EQ(std::string(buf), prefix_ + "kavri_param_-2.bin");
}

// A cut name would name another file: it is refused, never truncated.
TEST_F(CalibPackageTest, NameThatDoesNotFitTheBufferIsRefused) {
    dev_.path = "";
    char buf[16];
    LogCapture log;
    EXPECT_EQ(kavri_get_param_absolute_name(&dev_, buf, sizeof buf), nullptr);
    EXPECT_EQ(kavri_get_param_lens_absolute_name(&dev_, buf, sizeof buf), nullptr);
    EXPECT_TRUE(
        log.has("[kavri_get_param_absolute_name] file name under  needs 26 bytes, the "
                "buffer holds 16\n"))
        << log.text();
    const std::string longest(255, 'p');
    dev_.path = longest.c_str();
    char room[KAVRI_PARAM_PATH_SIZE];
    ASSERT_EQ(kavri_get_param_lens_absolute_name(&dev_, room, sizeof room), room);
    EXPECT_EQ(std::string(room),
              longest + "kavri_param_lens_" + std::to_string(0x12345679) + ".txt");
}

TEST_F(CalibPackageTest, NameFailsWhenEitherChipReadFails) {
    char buf[64] = "untouched";
    for (int which = 0; which < 2; ++which) {
        fake_camera() = FakeChipInfo{};
        (which == 0 ? fake_camera().fail_chip : fake_camera().fail_uid) = true;
        LogCapture log;
        EXPECT_EQ(kavri_get_param_absolute_name(&dev_, buf, sizeof buf), nullptr);
        EXPECT_EQ(kavri_get_param_lens_absolute_name(&dev_, buf, sizeof buf), nullptr);
        EXPECT_TRUE(log.has("[_kavri_get_param_id] Get chip info failed\n")) << log.text();
    }
    EXPECT_EQ(kavri_get_param_absolute_name(nullptr, buf, sizeof buf), nullptr);
    EXPECT_EQ(kavri_get_param_absolute_name(&dev_, nullptr, 10), nullptr);
    EXPECT_EQ(kavri_get_param_absolute_name(&dev_, buf, 0), nullptr);
}

TEST_F(CalibPackageTest, PackageFileThatCannotBeCreatedIsLogged) {
    const std::string missing = dir_.file("no/such/dir/");
    PackageFileWriter writer;
    LogCapture log;
    EXPECT_FALSE(writer.open(missing.c_str()));
    EXPECT_FALSE(writer.write_frame(Bytes(16, 0)));
    EXPECT_TRUE(log.has("[_load_kavri_param] open " + missing + "calibration.bin failed\n"))
        << log.text();
    EXPECT_TRUE(log.has("[_load_kavri_param] write calib frames to ")) << log.text();
}

TEST_F(CalibPackageTest, LinkAlreadyInTheFolderIsNotWrittenThrough) {
    // Something left a link in the working folder under an entry's name.
    const std::string victim = dir_.file("victim");
    write_file(victim, {'k', 'e', 'e', 'p'});
    fs::create_directory(dir_.file("work"));
    fs::create_symlink(victim, dir_.file("work/a.txt"));
    const std::string archive = dir_.file("x.zip");
    write_file(archive, build_zip({zip_file("a.txt", {'n', 'e', 'w'})}));
    zip_extract(archive.c_str(), dir_.file("work").c_str(), nullptr, nullptr);
    EXPECT_EQ(read_file(victim), (Bytes{'k', 'e', 'e', 'p'}));
}
