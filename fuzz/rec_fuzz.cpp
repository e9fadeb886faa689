// Recording files of any content: the input is a whole database file, opened
// from memory and read to its end. What the reader hands out stays within the
// format's bounds and agrees with itself.
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz_check.h"
#include "rec/rec_file.h"

namespace {

constexpr uint32_t kStep = 5;  // transfers per read, as a replay reads them

void check_loaded(const kavri::rec::Reader &r) {
    using namespace kavri::rec;
    FUZZ_CHECK(r.version() == kFormatVersion);
    FUZZ_CHECK(r.identity().product.size() <= kMaxTextBytes);
    FUZZ_CHECK(r.identity().ident.size() <= kMaxTextBytes);
    FUZZ_CHECK(r.identity().library_version.size() <= kMaxTextBytes);
    uint64_t file_bytes = 0;
    for (const StoredFile &f : r.files()) {
        FUZZ_CHECK(!f.name.empty() && f.name.find('/') == std::string::npos);
        FUZZ_CHECK(f.name.size() <= kMaxTextBytes && f.role.size() <= kMaxTextBytes);
        file_bytes += f.data.size();
    }
    FUZZ_CHECK(file_bytes <= kMaxBlobBytes);
    FUZZ_CHECK(r.params().size() <= kMaxStateRows && r.regs().size() <= kMaxStateRows);
    FUZZ_CHECK(r.events().size() <= kMaxEvents);
    for (size_t i = 0; i < r.events().size(); ++i) {
        const Event &e = r.events()[i];
        FUZZ_CHECK(e.value.size() <= KAVRI_REC_EVENT_VALUE_SIZE);
        FUZZ_CHECK(e.t_ns >= 0);
        if (i > 0) {
            const Event &p = r.events()[i - 1];
            FUZZ_CHECK(p.transfer < e.transfer || (p.transfer == e.transfer && p.t_ns <= e.t_ns));
        }
    }
    FUZZ_CHECK(r.frames().size() <= kMaxFrames);
    for (size_t i = 0; i < r.frames().size(); ++i) {
        const FrameMark &f = r.frames()[i];
        FUZZ_CHECK(f.index == i);
        FUZZ_CHECK(f.transfer < r.transfer_count());
        if (i > 0) FUZZ_CHECK(r.frames()[i - 1].transfer <= f.transfer);
    }
    FUZZ_CHECK(r.duration_ns() >= 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace kavri::rec;
    Reader r;
    if (!r.open_image(std::span<const uint8_t>(data, size))) {
        FUZZ_CHECK(!r.error().empty());
        return 0;
    }
    check_loaded(r);
    std::vector<Transfer> part;
    uint64_t seq = 0, bytes = 0;
    for (;;) {
        const bool ok = r.read_transfers(seq, kStep, part);
        FUZZ_CHECK(part.size() <= kStep);
        for (const Transfer &t : part) {
            FUZZ_CHECK(t.seq == seq);
            FUZZ_CHECK(t.data.size() <= kMaxTransferBytes && t.boundary <= 1);
            bytes += t.data.size();
            ++seq;
        }
        if (!ok) {
            FUZZ_CHECK(!r.error().empty());
            break;
        }
        if (part.empty()) {
            // Read to the end without damage: the counts agree with the rows.
            FUZZ_CHECK(seq == r.transfer_count());
            FUZZ_CHECK(bytes == r.byte_count());
            break;
        }
        FUZZ_CHECK(seq <= r.transfer_count());
    }
    return 0;
}
