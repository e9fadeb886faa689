#include "calib_store.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <stdexcept>
#include <tuple>

#include "calib_gen.h"
#include "wire.h"

namespace camsim {
namespace {

constexpr size_t kOffValid = 0, kOffType = 1, kOffTimestamp = 6, kOffPackageSize = 10,
                 kOffPayloadSize = 14;
constexpr size_t kParamFileTimestampOff = 1;  // u32 in a parameter file's header
constexpr size_t kChipInfoIdOff = 2;          // u32 at value bytes 2..5 of parameter 7
constexpr uint32_t kDefaultTimestamp = 1;
constexpr uint32_t kMaxStreamFrames = 0x10000;  // frame indexes are 16 bits
constexpr uint32_t kMaxSwVersion = 0xFFFF;
constexpr size_t kSwVersionOff = 2;  // second u16 of parameter 6
constexpr uint8_t kZipSignature[] = {'P', 'K', 3, 4};
constexpr time_t kZipEntryTime = 1700000000;  // fixed, so archives repeat byte for byte

// The default payloads are the same for every camera with the same
// generator settings: made once per process.
using GenKey = std::tuple<int, bool, bool, uint64_t, uint32_t, uint32_t>;
using Shared = std::shared_ptr<const std::vector<uint8_t>>;

GenKey key_of(const FrameGenConfig &c) {
    return {static_cast<int>(c.chip), c.pinhole_lens, c.fpn, c.seed, c.width, c.height};
}

std::mutex g_cache_lock;
std::map<GenKey, Shared> g_files;
std::map<std::pair<GenKey, std::string>, Shared> g_zips;

Shared default_file(const FrameGenerator &gen) {
    std::lock_guard lock(g_cache_lock);
    Shared &slot = g_files[key_of(gen.config())];
    if (!slot) slot = std::make_shared<const std::vector<uint8_t>>(make_calib_file(gen));
    return slot;
}

Shared default_zip(const FrameGenerator &gen, const std::string &name) {
    Shared file = default_file(gen);
    std::lock_guard lock(g_cache_lock);
    Shared &slot = g_zips[{key_of(gen.config()), name}];
    if (!slot) slot = std::make_shared<const std::vector<uint8_t>>(zip_single_file(name, *file));
    return slot;
}

bool is_zip(std::span<const uint8_t> bytes) {
    return bytes.size() >= sizeof kZipSignature &&
           std::equal(std::begin(kZipSignature), std::end(kZipSignature), bytes.begin());
}

// The header a payload gets when the caller names no fields.
camsim_calib_header_t inferred_header(std::span<const uint8_t> payload) {
    camsim_calib_header_t h{};
    h.valid = 1;
    h.payload_type = is_zip(payload) ? kPayloadZip : 0;
    h.timestamp = kDefaultTimestamp;
    if (!h.payload_type && payload.size() >= kParamFileTimestampOff + 4) {
        const uint32_t ts = wire::get_u32(payload.data() + kParamFileTimestampOff);
        if (ts != 0) h.timestamp = ts;
    }
    h.package_size = CAMSIM_CALIB_AUTO;
    h.payload_size = CAMSIM_CALIB_AUTO;
    return h;
}

uint64_t round_up_frames(uint64_t n) {
    return (n + kCalibFrameBytes - 1) / kCalibFrameBytes * kCalibFrameBytes;
}

void resolve_sizes(camsim_calib_header_t &h, size_t payload_len) {
    if (h.package_size == CAMSIM_CALIB_AUTO)
        h.package_size = static_cast<uint32_t>(
            std::min<uint64_t>(round_up_frames(kPackageHeaderBytes + payload_len), UINT32_MAX));
    if (h.payload_size == CAMSIM_CALIB_AUTO) h.payload_size = static_cast<uint32_t>(payload_len);
}

bool read_file(const std::string &path, std::vector<uint8_t> &out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

const char *env(const char *key) {
    const char *v = std::getenv(key);
    return (v && *v) ? v : nullptr;
}

}  // namespace

std::vector<uint8_t> encode_package_header(const camsim_calib_header_t &h) {
    std::vector<uint8_t> b(kPackageHeaderBytes, 0);
    b[kOffValid] = h.valid;
    b[kOffType] = h.payload_type;
    wire::put_u32(&b[kOffTimestamp], h.timestamp);
    wire::put_u32(&b[kOffPackageSize], h.package_size);
    wire::put_u32(&b[kOffPayloadSize], h.payload_size);
    return b;
}

std::vector<uint8_t> zip_single_file(const std::string &name, std::span<const uint8_t> bytes) {
    std::vector<uint8_t> out;
    archive *a = archive_write_new();
    archive_entry *e = archive_entry_new();
    if (a == nullptr || e == nullptr) {
        archive_entry_free(e);
        archive_write_free(a);
        throw std::bad_alloc();
    }
    auto append = [](archive *, void *ctx, const void *buf, size_t n) -> la_ssize_t {
        auto *dst = static_cast<std::vector<uint8_t> *>(ctx);
        dst->insert(dst->end(), static_cast<const uint8_t *>(buf),
                    static_cast<const uint8_t *>(buf) + n);
        return static_cast<la_ssize_t>(n);
    };
    archive_entry_set_pathname(e, name.c_str());
    archive_entry_set_filetype(e, AE_IFREG);
    archive_entry_set_perm(e, 0644);
    archive_entry_set_size(e, static_cast<la_int64_t>(bytes.size()));
    archive_entry_set_mtime(e, kZipEntryTime, 0);
    bool ok = archive_write_set_format_zip(a) == ARCHIVE_OK &&
              archive_write_set_bytes_in_last_block(a, 1) == ARCHIVE_OK &&
              archive_write_open(a, &out, nullptr, append, nullptr) == ARCHIVE_OK &&
              archive_write_header(a, e) == ARCHIVE_OK;
    for (size_t done = 0; ok && done < bytes.size();) {
        const la_ssize_t n = archive_write_data(a, bytes.data() + done, bytes.size() - done);
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = ok && archive_write_close(a) == ARCHIVE_OK;
    const std::string err = ok ? "" : (archive_error_string(a) ? archive_error_string(a) : "?");
    archive_entry_free(e);
    archive_write_free(a);
    if (!ok) throw std::runtime_error("zip writer: " + err);
    return out;
}

int32_t param_id_of(const ParamTable &params) {
    const ParamValue *chip = params.find(param_id::kChipInfo);
    const ParamValue *uid = params.find(param_id::kUid);
    const uint32_t chip_word = chip ? wire::get_u32(chip->bytes.data() + kChipInfoIdOff) : 0;
    const uint32_t uid_word = uid ? wire::get_u32(uid->bytes.data()) : 0;
    return static_cast<int32_t>(chip_word ^ uid_word);
}

std::string param_file_name(const ParamTable &params) {
    char name[64];
    std::snprintf(name, sizeof name, "kavri_param_%d.bin", param_id_of(params));
    return name;
}

void CalibStore::configure(const FrameGenerator &gen) {
    gen_ = &gen;
    if (const char *v = env("CAMSIM_CALIB"); v && !use(v))
        std::fprintf(stderr, "camsim: ignoring CAMSIM_CALIB=%s\n", v);
    if (const char *v = env("CAMSIM_SW_VERSION")) {
        char *end = nullptr;
        const unsigned long n = std::strtoul(v, &end, 0);
        if (*end || v[0] == '-' || n > kMaxSwVersion)
            std::fprintf(stderr, "camsim: ignoring CAMSIM_SW_VERSION=%s\n", v);
        else
            sw_version_ = static_cast<uint16_t>(n);
    }
}

bool CalibStore::use(const std::string &spec) {
    if (spec == "bin" || spec == "zip" || spec == "none") {
        kind_ = spec == "bin" ? Kind::Bin : spec == "zip" ? Kind::Zip : Kind::None;
        built_ = false;
        payload_.reset();
        return true;
    }
    std::vector<uint8_t> bytes;
    if (!read_file(spec, bytes)) return false;
    set_payload(std::move(bytes), nullptr);
    return true;
}

void CalibStore::set_payload(std::vector<uint8_t> payload, const camsim_calib_header_t *hdr) {
    hdr_ = hdr ? *hdr : inferred_header(payload);
    std::memset(hdr_.reserved, 0, sizeof hdr_.reserved);
    resolve_sizes(hdr_, payload.size());
    payload_ = std::make_shared<const std::vector<uint8_t>>(std::move(payload));
    kind_ = Kind::Custom;
    built_ = true;
}

void CalibStore::ensure_built(const ParamTable &params) {
    if (built_) return;
    built_ = true;
    hdr_ = camsim_calib_header_t{};
    payload_.reset();
    if (kind_ == Kind::None || gen_ == nullptr) {
        kind_ = Kind::None;
        return;
    }
    try {
        payload_ =
            kind_ == Kind::Zip ? default_zip(*gen_, param_file_name(params)) : default_file(*gen_);
    } catch (const std::exception &e) {
        // A sensor size the calibration file cannot describe: no package.
        std::fprintf(stderr, "camsim: no calibration package: %s\n", e.what());
        kind_ = Kind::None;
        return;
    }
    hdr_ = inferred_header(*default_file(*gen_));  // the timestamp of the file inside
    hdr_.payload_type = kind_ == Kind::Zip ? kPayloadZip : 0;
    resolve_sizes(hdr_, payload_->size());
}

void CalibStore::apply(ParamTable &params) {
    ensure_built(params);
    const std::vector<uint8_t> h = encode_package_header(hdr_);
    params.store_raw(param_id::kCalibInfo, h);
    if (sw_version_) {
        if (const ParamValue *v = params.find(param_id::kVersion)) {
            ParamValue copy = *v;
            wire::put_u16(copy.bytes.data() + kSwVersionOff, *sw_version_);
            params.store_raw(param_id::kVersion, std::span(copy.bytes.data(), copy.len));
        }
    }
}

bool CalibStore::uploading(const ParamTable &params) const {
    const ParamValue *mode = params.find(param_id::kMode);
    return mode != nullptr && mode->len > 0 && mode->bytes[0] == kUploadMode;
}

uint32_t CalibStore::stream_frames() const {
    if (kind_ == Kind::None || !payload_) return 0;
    const uint64_t bytes =
        std::max<uint64_t>(kPackageHeaderBytes + payload_->size(), hdr_.package_size);
    return static_cast<uint32_t>(
        std::min<uint64_t>(round_up_frames(bytes) / kCalibFrameBytes, kMaxStreamFrames));
}

bool CalibStore::next_frame(std::vector<uint8_t> &frame, uint16_t &index) {
    if (next_frame_ >= stream_frames()) return false;
    frame.assign(kCalibFrameBytes, 0);
    // Package bytes [begin, end) of this frame: the header, then the payload.
    const uint64_t begin = uint64_t{next_frame_} * kCalibFrameBytes;
    const uint64_t end = begin + kCalibFrameBytes;
    if (begin < kPackageHeaderBytes) {
        const std::vector<uint8_t> h = encode_package_header(hdr_);
        std::copy(h.begin(), h.end(), frame.begin());
    }
    const uint64_t pay_begin = std::max<uint64_t>(begin, kPackageHeaderBytes);
    const uint64_t pay_end = std::min<uint64_t>(end, kPackageHeaderBytes + payload_->size());
    if (pay_begin < pay_end)
        std::copy(payload_->begin() + static_cast<std::ptrdiff_t>(pay_begin - kPackageHeaderBytes),
                  payload_->begin() + static_cast<std::ptrdiff_t>(pay_end - kPackageHeaderBytes),
                  frame.begin() + static_cast<std::ptrdiff_t>(pay_begin - begin));
    index = static_cast<uint16_t>(next_frame_);
    if (next_frame_ == 0) ++stats_.uploads;
    ++stats_.frames_sent;
    ++next_frame_;
    return true;
}

camsim_calib_header_t CalibStore::header(const ParamTable &params) {
    ensure_built(params);
    return hdr_;
}

std::span<const uint8_t> CalibStore::payload(const ParamTable &params) {
    ensure_built(params);
    if (!payload_) return {};
    return *payload_;
}

}  // namespace camsim
