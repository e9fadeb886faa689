// Damaged parameter files: every byte changed, every length cut, and sizes
// forged to the maximum. The reader must refuse or read them without a
// crash, and never allocate more than the file could hold.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "param_builder.h"
#include "param_test_util.h"

using namespace kavri::param::test;

// ---- allocation watch -------------------------------------------------------
// The replacements pair malloc with free on purpose; GCC cannot see that
// through the inlined operators.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
// Every operator new of this program goes through here; while a watch is on,
// the largest single request is recorded.
namespace {
std::atomic<bool> g_watch{false};
std::atomic<size_t> g_largest{0};

void note(size_t size) {
    if (!g_watch.load(std::memory_order_relaxed)) return;
    size_t prev = g_largest.load(std::memory_order_relaxed);
    while (size > prev && !g_largest.compare_exchange_weak(prev, size)) {
    }
}

void *checked_alloc(size_t size) {
    note(size);
    return std::malloc(size == 0 ? 1 : size);
}
}  // namespace

void *operator new(size_t size) {
    if (void *p = checked_alloc(size)) return p;
    throw std::bad_alloc();
}
void *operator new[](size_t size) {
    if (void *p = checked_alloc(size)) return p;
    throw std::bad_alloc();
}
void *operator new(size_t size, const std::nothrow_t &) noexcept {
    return checked_alloc(size);
}
void *operator new[](size_t size, const std::nothrow_t &) noexcept {
    return checked_alloc(size);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete[](void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void *p, size_t) noexcept {
    std::free(p);
}
void operator delete(void *p, const std::nothrow_t &) noexcept {
    std::free(p);
}
void operator delete[](void *p, const std::nothrow_t &) noexcept {
    std::free(p);
}

namespace {

int32_t touch_block(kavri_param_t *, const kavri_param_unit_hdr_t *hdr, const uint8_t *data,
                    uint32_t size, uint32_t) {
    // Read every byte handed over, so a short buffer shows under ASan.
    uint32_t sum = hdr->type;
    for (uint32_t i = 0; i < size; ++i) sum += data[i];
    return static_cast<int32_t>(sum | 1u);
}

class DamagedFileTest : public ::testing::Test {
  protected:
    // Opens the bytes, reads every block of a file that opens, and checks
    // that no single allocation exceeded the file's length.
    void exercise(const Bytes &bytes) {
        // A fresh file each time: rewriting a truncated one makes ext4 flush it
        // to disk on close, which turns this test from a second into minutes.
        std::remove(path_.c_str());
        write_file(path_, bytes);
        g_largest = 0;
        g_watch = true;
        kavri_param_t param{};
        if (kavri_param_open_file(&param, path_.c_str())) {
            ++opened_;
            const uint32_t n = kavri_param_get_blk_cnt(&param);
            ASSERT_LE(n, static_cast<uint32_t>(KAVRI_PARAM_MAX_BLKS));
            for (uint32_t i = 0; i < n; ++i) kavri_param_parse_blk(&param, i, touch_block, 0);
            kavri_param_close(&param);
            // The watch sees the block buffers (it would miss an unwatched allocator).
            if (n > 0) {
                EXPECT_GT(g_largest.load(), 0u);
            }
        }
        g_watch = false;
        ASSERT_LE(g_largest.load(), std::max<size_t>(bytes.size(), 1))
            << "file of " << bytes.size();
    }

    TempDir dir_;
    std::string path_ = dir_.file("damaged.bin");
    int opened_ = 0;
};

const uint8_t kMutations[] = {0x01, 0x80, 0xFF};

}  // namespace

TEST_F(DamagedFileTest, EveryByteChangedInBothFormats) {
    QuietConsole quiet;
    for (uint8_t version : {150, 139}) {
        FileSpec spec = two_block_spec(version);
        spec.blocks[0].data.resize(40);  // small blocks keep the run short
        spec.blocks[1].data.resize(45);
        const Bytes good = build_file(spec);
        for (size_t i = 0; i < good.size(); ++i) {
            for (uint8_t m : kMutations) {
                Bytes f = good;
                f[i] ^= m;
                exercise(f);
                if (HasFatalFailure()) return;
            }
            // Set a byte high inside each size field so it claims gigabytes.
            Bytes f = good;
            f[i] = 0xFF;
            exercise(f);
            if (HasFatalFailure()) return;
        }
    }
    EXPECT_GT(opened_, 0);  // the unprotected reserved bytes still open
}

TEST_F(DamagedFileTest, EveryTruncation) {
    QuietConsole quiet;
    for (uint8_t version : {150, 139}) {
        const Bytes good = build_file(two_block_spec(version));
        for (size_t len = 0; len < good.size(); ++len) {
            exercise(Bytes(good.begin(), good.begin() + static_cast<long>(len)));
            if (HasFatalFailure()) return;
        }
    }
    EXPECT_EQ(opened_, 0);
}

// Sizes forged with consistent checksums, so only the bounds can stop them.
TEST_F(DamagedFileTest, ForgedHugeCurrentUnitSizeIsRefused) {
    FileSpec spec;
    spec.blocks.push_back({1, calib_block(12000000, 16, 0)});
    Bytes f = build_file(spec);
    kavri::le::put_u32(f.data() + 1202 + 1, 0x0FFFFFF0u);
    kavri::le::put_u32(f.data() + KAVRI_PARAM_HDR_OFF_BLKS_SIZE, 0x0FFFFFF5u);
    fix_header_cksum(f);
    LogCapture log;
    exercise(f);
    EXPECT_EQ(opened_, 0);
    EXPECT_TRUE(log.has("read blk#0 data failed: " + path_)) << log.text();
}

TEST_F(DamagedFileTest, UnitSizeBeyondTheDeclaredAreaIsRefused) {
    FileSpec spec;
    spec.blocks.push_back({1, calib_block(12000000, 16, 0)});
    Bytes f = build_file(spec);
    kavri::le::put_u32(f.data() + 1202 + 1, 0xFFFFFFF0u);
    LogCapture log;
    exercise(f);
    EXPECT_EQ(opened_, 0);
    EXPECT_TRUE(log.has("param blks size wrong")) << log.text();
}

TEST_F(DamagedFileTest, ForgedHugeLegacyPayloadIsRefused) {
    FileSpec spec = two_block_spec(139);
    Bytes f = build_file(spec);
    kavri::le::put_u32(f.data() + 1202 + 22, 0xFFFFFFFFu);  // payload length of block 0
    LogCapture log;
    exercise(f);
    EXPECT_EQ(opened_, 0);
    EXPECT_TRUE(log.has("read blk#0 data failed: " + path_)) << log.text();
}
