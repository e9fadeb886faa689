// The parameter file format: checksums, both versions, the header range and
// count checks, the block walk and the block reader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <random>

#include "param/param_format.h"
#include "param_builder.h"
#include "param_test_util.h"

using namespace kavri::param;
using kavri::fletcher16;
using kavri::Fletcher16;
using namespace kavri::param::test;

namespace {

uint16_t naive_fletcher16(const Bytes &b) {
    uint32_t s1 = 0, s2 = 0;
    for (uint8_t v : b) {
        s1 = (s1 + v) % 255;
        s2 = (s2 + s1) % 255;
    }
    return static_cast<uint16_t>(s2 << 8 | s1);
}

class ParamFileTest : public ::testing::Test {
  protected:
    void TearDown() override { kavri_param_close(&param_); }

    // Writes the bytes, opens them and returns the open result.
    bool open_bytes(const Bytes &bytes) {
        write_file(path_, bytes);
        return kavri_param_open_file(&param_, path_.c_str()) != 0;
    }
    bool open_spec(const FileSpec &spec) { return open_bytes(build_file(spec)); }

    TempDir dir_;
    std::string path_ = dir_.file("kavri_param_1.bin");
    kavri_param_t param_{};
};

}  // namespace

TEST(Fletcher16, AbcAndTrailingZeros) {
    const Bytes abc = {'a', 'b', 'c'};
    EXPECT_EQ(fletcher16(abc), 0x4C27);
    // Every further zero byte adds s1 (0x27) to s2 again.
    Bytes padded = abc;
    padded.push_back(0);
    EXPECT_EQ(fletcher16(padded), 0x7327);
    padded.push_back(0);
    EXPECT_EQ(fletcher16(padded), 0x9A27);
}

TEST(Fletcher16, RunningSumMatchesByteByByteOverLongInput) {
    std::mt19937 rng(7);
    Bytes data(50000);
    for (auto &b : data) b = static_cast<uint8_t>(rng());
    std::fill(data.begin() + 10000, data.begin() + 20000, 0xFF);  // worst case for the sums
    Fletcher16 split;
    split.update(std::span<const uint8_t>(data).first(12345));
    split.update(std::span<const uint8_t>(data).subspan(12345));
    EXPECT_EQ(split.value(), naive_fletcher16(data));
    EXPECT_EQ(fletcher16(data), naive_fletcher16(data));
}

TEST_F(ParamFileTest, CurrentFileWithTwoBlocksOpens) {
    ASSERT_TRUE(open_spec(two_block_spec()));
    EXPECT_EQ(kavri_param_is_valid(&param_), 1);
    EXPECT_EQ(kavri_param_get_blk_cnt(&param_), 2u);
    EXPECT_STREQ(param_.name, path_.c_str());
    EXPECT_EQ(param_.unit_hdr[0].type, 1);
    EXPECT_EQ(param_.unit_hdr[0].size, 37u + 64u);
    EXPECT_EQ(param_.data_off[0], 1202u + 5u);
    EXPECT_EQ(param_.data_off[1], 1202u + 5u + 101u + 5u);
    EXPECT_EQ(hdr_timestamp(param_.hdr), 12345u);
}

TEST_F(ParamFileTest, EmptyCurrentFileOpens) {
    FileSpec s;
    const Bytes f = build_file(s);
    EXPECT_EQ(hdr_blks_size(f.data()), 0u);
    EXPECT_EQ(hdr_blks_cksum(f.data()), 0u);
    ASSERT_TRUE(open_bytes(f));
    EXPECT_EQ(kavri_param_get_blk_cnt(&param_), 0u);
}

TEST_F(ParamFileTest, LegacyVersionUsesMagic1000AndLegacyBlocks) {
    FileSpec s = two_block_spec(139);
    ASSERT_TRUE(open_spec(s));
    EXPECT_EQ(kavri_param_get_blk_cnt(&param_), 2u);
    const uint32_t p0 = static_cast<uint32_t>(s.blocks[0].data.size());
    EXPECT_EQ(param_.unit_hdr[0].size, p0 + 41);
    EXPECT_EQ(param_.data_off[0], 1202u + 1u);
    EXPECT_EQ(param_.data_off[1], 1202u + 42u + p0 + 1u);
}

TEST_F(ParamFileTest, LegacyMagicWithCurrentVersionIsRefused) {
    Bytes f = build_file(two_block_spec(139));
    f[0] = 140;
    fix_header_cksum(f);
    LogCapture log;
    EXPECT_FALSE(open_bytes(f));
    EXPECT_TRUE(log.has("[_param_verify] wrong magic id (ver=140): 0x3e8\n")) << log.text();
    EXPECT_TRUE(log.has("[kavri_param_open_file] _param_verify failed: " + path_)) << log.text();
    EXPECT_EQ(kavri_param_is_valid(&param_), 0);
}

TEST_F(ParamFileTest, HeaderChecksumCoversBytes20To1187) {
    for (size_t off : {20u, 700u, 1187u}) {
        Bytes f = build_file(two_block_spec());
        f[off] ^= 0x5A;
        LogCapture log;
        EXPECT_FALSE(open_bytes(f)) << off;
        EXPECT_TRUE(log.has("wrong cksum (ver=150)")) << log.text();
    }
    // Bytes outside that range are not covered by it (the reserved bytes).
    Bytes f = build_file(two_block_spec());
    f[12] ^= 0x5A;
    EXPECT_TRUE(open_bytes(f));
}

struct LensCase {
    const char *name;
    double cx, cy;
    bool ok;
};

TEST_F(ParamFileTest, LensCenterRangeAppliesOnlyWithALensName) {
    const LensCase cases[] = {
        {"", 0.0, 0.0, true},        {"x", 15.9, 120.0, false}, {"x", 16.0, 1024.0, true},
        {"x", 160.0, 1024.5, false}, {"x", NAN, 120.0, false},
    };
    for (const LensCase &c : cases) {
        FileSpec s;
        s.lens_name = c.name;
        s.cx = c.cx;
        s.cy = c.cy;
        LogCapture log;
        EXPECT_EQ(open_spec(s), c.ok) << c.name << " " << c.cx << " " << c.cy;
        if (!c.ok) {
            EXPECT_TRUE(log.has("wrong range for lens param")) << log.text();
        }
        kavri_param_close(&param_);
    }
}

TEST_F(ParamFileTest, UnterminatedLensNameIsLoggedWithoutOverread) {
    FileSpec s;
    s.lens_name = std::string(64, 'L');
    s.cx = 5;
    LogCapture log;
    EXPECT_FALSE(open_spec(s));
    EXPECT_TRUE(log.has("name=" + std::string(64, 'L') + "\n")) << log.text();
}

TEST_F(ParamFileTest, AtMostSevenBlocks) {
    FileSpec s;
    for (int i = 0; i < 7; ++i) s.blocks.push_back({1, calib_block(1000 * i, 3, 0)});
    EXPECT_TRUE(open_spec(s));
    kavri_param_close(&param_);
    s.blocks.push_back({1, calib_block(9, 3, 0)});
    LogCapture log;
    EXPECT_FALSE(open_spec(s));
    EXPECT_TRUE(log.has("[_param_verify] too much param blks: 8")) << log.text();
}

TEST_F(ParamFileTest, BlocksSizeBounds) {
    FileSpec s;
    s.blocks.push_back({1, Bytes(37, 0x33)});
    Bytes good = build_file(s);
    ASSERT_EQ(hdr_blks_size(good.data()), 42u);  // 5 + 37
    ASSERT_TRUE(open_bytes(good));
    kavri_param_close(&param_);

    struct {
        uint32_t size;
        const char *line;
    } cases[] = {
        {0x10240001u, "[_param_verify] wrong blk total size: 270794753\n"},
        {4u, "[_param_verify] wrong blk total size: 4\n"},  // below 5 per block
        {41u, "param blks size wrong: size=42 (expect 41)"},
        {43u, "param blks size wrong: size=42 (expect 43)"},
    };
    for (const auto &c : cases) {
        Bytes f = good;
        kavri::le::put_u32(f.data() + KAVRI_PARAM_HDR_OFF_BLKS_SIZE, c.size);
        fix_header_cksum(f);
        LogCapture log;
        EXPECT_FALSE(open_bytes(f)) << c.size;
        EXPECT_TRUE(log.has(c.line)) << log.text();
    }
}

TEST_F(ParamFileTest, BlocksChecksumRunsOverUnitHeadersAndData) {
    // The first unit type, data of the first block, data of the second.
    for (size_t off : {1202u, 1210u, 1202u + 5u + 101u + 5u + 20u}) {
        Bytes f = build_file(two_block_spec());
        f[off] ^= 0x01;
        LogCapture log;
        EXPECT_FALSE(open_bytes(f)) << off;
        EXPECT_TRUE(log.has("param blks cksum failed")) << log.text();
    }
}

TEST_F(ParamFileTest, LegacyIgnoresBlocksSizeAndChecksum) {
    Bytes f = build_file(two_block_spec(120));
    kavri::le::put_u32(f.data() + KAVRI_PARAM_HDR_OFF_BLKS_SIZE, 0xFFFFFFFFu);
    kavri::le::put_u16(f.data() + KAVRI_PARAM_HDR_OFF_BLKS_CKSUM, 0xBEEF);
    fix_header_cksum(f);
    EXPECT_TRUE(open_bytes(f));
}

TEST_F(ParamFileTest, LegacyBlockTypeMustBeCalibration) {
    FileSpec s = two_block_spec(139);
    s.blocks[1].type = 2;
    LogCapture log;
    EXPECT_FALSE(open_spec(s));
    EXPECT_TRUE(log.has("[kavri_param_open_file] wrong blk unit type: 2\n")) << log.text();
}

TEST_F(ParamFileTest, ShortFilesAreRefusedWithTheirLines) {
    const Bytes full = build_file(two_block_spec());
    {
        LogCapture log;
        EXPECT_FALSE(open_bytes(Bytes(full.begin(), full.begin() + 1201)));
        EXPECT_TRUE(log.has("read kavri_param_t failed: " + path_)) << log.text();
    }
    {
        LogCapture log;
        EXPECT_FALSE(open_bytes(Bytes(full.begin(), full.begin() + 1204)));
        EXPECT_TRUE(log.has("read par_dev_hdr failed: " + path_)) << log.text();
    }
    {
        LogCapture log;
        EXPECT_FALSE(open_bytes(Bytes(full.begin(), full.end() - 1)));
        EXPECT_TRUE(log.has("read blk#1 data failed: " + path_)) << log.text();
    }
    {
        const Bytes legacy = build_file(two_block_spec(139));
        LogCapture log;
        EXPECT_FALSE(open_bytes(Bytes(legacy.begin(), legacy.begin() + 1202 + 41)));
        EXPECT_TRUE(log.has("read blk_unit_hdr failed: " + path_)) << log.text();
    }
}

TEST_F(ParamFileTest, MissingFileAndNullArguments) {
    LogCapture log;
    EXPECT_EQ(kavri_param_open_file(&param_, dir_.file("none.bin").c_str()), 0);
    EXPECT_TRUE(log.has("[kavri_param_open_file] open calib bin failed: " + dir_.file("none.bin")))
        << log.text();
    EXPECT_EQ(kavri_param_open_file(nullptr, path_.c_str()), 0);
    EXPECT_EQ(kavri_param_open_file(&param_, nullptr), 0);
    EXPECT_EQ(kavri_param_is_valid(nullptr), 0);
    EXPECT_EQ(kavri_param_get_blk_cnt(nullptr), 0u);
    kavri_param_close(nullptr);
}

// The handle keeps any name under the 255-character working path; a longer
// one is refused rather than cut.
TEST_F(ParamFileTest, PathsBeyondTheNameRecordAreRefused) {
    std::string deep = dir_.path();
    while (deep.size() < 280) deep += "/dddddddddd";
    std::filesystem::create_directories(deep);
    path_ = deep + "/p.bin";
    ASSERT_TRUE(open_spec(two_block_spec()));
    EXPECT_EQ(std::string(param_.name), path_);
    kavri_param_close(&param_);
    while (deep.size() < KAVRI_PARAM_NAME_SIZE) deep += "/dddddddddd";
    std::filesystem::create_directories(deep);
    path_ = deep + "/p.bin";
    LogCapture log;
    EXPECT_FALSE(open_spec(two_block_spec()));
    EXPECT_TRUE(log.has("param filename too long: len=" + std::to_string(path_.size())))
        << log.text();
}

TEST_F(ParamFileTest, CloseInvalidatesAndCountsDropToZero) {
    ASSERT_TRUE(open_spec(two_block_spec()));
    kavri_param_close(&param_);
    EXPECT_EQ(kavri_param_is_valid(&param_), 0);
    EXPECT_EQ(kavri_param_get_blk_cnt(&param_), 0u);
    kavri_param_close(&param_);  // a second close does nothing
}

// ---- kavri_param_parse_blk ----------------------------------------------

namespace {

struct Seen {
    kavri_param_unit_hdr_t hdr{};
    Bytes data;
    uint32_t user = 0;
    int calls = 0;
};

int32_t accept_block(kavri_param_t *, const kavri_param_unit_hdr_t *, const uint8_t *, uint32_t,
                     uint32_t) {
    return 1;
}

Seen *g_seen = nullptr;

int32_t collect(kavri_param_t *, const kavri_param_unit_hdr_t *hdr, const uint8_t *data,
                uint32_t size, uint32_t user) {
    g_seen->hdr = *hdr;
    g_seen->data.assign(data, data + size);
    g_seen->user = user;
    ++g_seen->calls;
    return static_cast<int32_t>(user != 0xBAD);
}

}  // namespace

TEST_F(ParamFileTest, ParseBlockHandsTheBlockDataToTheCallback) {
    const FileSpec s = two_block_spec();
    ASSERT_TRUE(open_spec(s));
    Seen seen;
    g_seen = &seen;
    LogCapture log;
    EXPECT_EQ(kavri_param_parse_blk(&param_, 1, collect, 42), 1);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.hdr.type, 1);
    EXPECT_EQ(seen.hdr.size, s.blocks[1].data.size());
    EXPECT_EQ(seen.data, s.blocks[1].data);
    EXPECT_EQ(seen.user, 42u);
    EXPECT_TRUE(log.has("[kavri_param_parse_blk] read param blk#1: OK\n")) << log.text();
    EXPECT_EQ(kavri_param_parse_blk(&param_, 0, accept_block, 0), 1);
}

TEST_F(ParamFileTest, ParseLegacyBlockStartsAtByteOneOfItsHeader) {
    const FileSpec s = two_block_spec(139);
    const Bytes f = build_file(s);
    ASSERT_TRUE(open_bytes(f));
    Seen seen;
    g_seen = &seen;
    EXPECT_EQ(kavri_param_parse_blk(&param_, 0, collect, 1), 1);
    const Bytes expect(f.begin() + 1203, f.begin() + 1203 + 41 + s.blocks[0].data.size());
    EXPECT_EQ(seen.data, expect);
    EXPECT_EQ(kavri::le::get_u32(seen.data.data()), 20000000u);  // the driver header's freq
}

TEST_F(ParamFileTest, ParseBlockRefusals) {
    ASSERT_TRUE(open_spec(two_block_spec()));
    Seen seen;
    g_seen = &seen;
    {
        LogCapture log;
        EXPECT_EQ(kavri_param_parse_blk(&param_, 7, collect, 0), 0);
        EXPECT_TRUE(log.has("[kavri_param_parse_blk] wrong blk_idx 7 to parse \n")) << log.text();
    }
    {
        LogCapture log;
        EXPECT_EQ(kavri_param_parse_blk(&param_, 0, nullptr, 0), 0);
        EXPECT_EQ(kavri_param_parse_blk(nullptr, 0, collect, 0), 0);
        EXPECT_EQ(log.text(), "");
    }
    {
        LogCapture log;
        EXPECT_EQ(kavri_param_parse_blk(&param_, 0, collect, 0xBAD), 0);
        EXPECT_TRUE(log.has("read param blk#0: NG\n")) << log.text();
    }
    kavri_param_close(&param_);
    EXPECT_EQ(kavri_param_parse_blk(&param_, 0, collect, 0), 0);
    EXPECT_EQ(seen.calls, 1);
}

TEST_F(ParamFileTest, BlockReadFailureNamesTheFile) {
    ASSERT_TRUE(open_spec(two_block_spec()));
    // The file shrinks while the handle is open.
    ASSERT_EQ(truncate(path_.c_str(), 1202 + 20), 0);
    Seen seen;
    g_seen = &seen;
    LogCapture log;
    EXPECT_EQ(kavri_param_parse_blk(&param_, 1, collect, 0), 0);
    EXPECT_TRUE(log.has("[kavri_param_parse_blk] read blk#1 data failed: " + path_ + "\n"))
        << log.text();
    EXPECT_EQ(seen.calls, 0);
}

TEST(ParamStore, InitReturnsOne) {
    EXPECT_EQ(kavri_param_init(), 1);
    kavri_param_uninit();
}
