// File-side handling of the calibration package pulled from the camera.
#include "param/calib_pkg.h"

#include <algorithm>
#include <cstring>

#include "core/globals.h"
#include "core/le.h"
#include "core/log_internal.h"
#include "kavri/param.h"
#include "param/buffer.h"
#include "param/param.h"
#include "param/zip_extract.h"

namespace kavri::param {
namespace {

constexpr char kTagLoad[] = "_load_kavri_param";
constexpr char kTagParse[] = "_calib_pk_parse";

const char *prefix_of(const kavri_dev_t *dev) {
    return dev->path != nullptr ? dev->path : g_path_prefix;
}

bool header_matches_file(const PackageHeader &h, uint64_t file_size) {
    return h.valid != 0 && h.package_size == file_size && h.payload_size != 0 && h.timestamp != 0 &&
           uint64_t{h.package_size} >= uint64_t{h.payload_size} + kPkgHdrSize;
}

// Copies the payload that follows the header, in small pieces.
bool copy_payload(FILE *in, const std::string &in_path, FILE *out, const char *out_path,
                  uint32_t payload_size) {
    auto chunk = alloc_or_exit(kCopyChunk, kTagParse);
    for (uint32_t rem = payload_size; rem > 0;) {
        const size_t take = std::min<size_t>(rem, kCopyChunk);
        if (!read_exact(in, chunk.get(), take)) {
            KV_ERR("[%s] read %s failed: rem_size = %d\n", kTagParse, in_path.c_str(),
                   static_cast<int>(rem));
            return false;
        }
        if (fwrite(chunk.get(), 1, take, out) != take) {
            KV_ERR("[%s] write %s failed: rem_size = %d\n", kTagParse, out_path,
                   static_cast<int>(rem));
            return false;
        }
        rem -= static_cast<uint32_t>(take);
    }
    return true;
}

}  // namespace

bool package_download_allowed(const PackageHeader &h, uint16_t sw_version) {
    return h.valid == 1 && sw_version >= kMinSwVersion && h.timestamp != 0 &&
           h.package_size <= kMaxPackageSize &&
           uint64_t{h.package_size} >= uint64_t{h.payload_size} + kPkgHdrSize;
}

std::string working_file_name(const char *prefix, const char *name) {
    return std::string(prefix != nullptr ? prefix : "") + name;
}

bool PackageFileWriter::open(const char *prefix) {
    path_ = working_file_name(prefix, kPackageFileName);
    file_.reset(fopen(path_.c_str(), "wb"));
    if (!file_) {
        KV_ERR("[%s] open %s failed\n", kTagLoad, path_.c_str());
        return false;
    }
    return true;
}

bool PackageFileWriter::write_frame(std::span<const uint8_t> frame) {
    if (!file_ || fwrite(frame.data(), 1, frame.size(), file_.get()) != frame.size()) {
        KV_ERR("[%s] write calib frames to %s failed\n", kTagLoad, path_.c_str());
        return false;
    }
    return true;
}

bool PackageFileWriter::close() {
    if (!file_) return false;
    const bool flushed = fclose(file_.release()) == 0;
    if (!flushed) KV_ERR("[%s] write calib frames to %s failed\n", kTagLoad, path_.c_str());
    return flushed;
}

bool calib_pk_parse(kavri_dev_t *dev) {
    if (dev == nullptr) return false;
    const char *prefix = prefix_of(dev);
    const std::string pkg_path = working_file_name(prefix, kPackageFileName);

    FilePtr in(fopen(pkg_path.c_str(), "rb"));
    if (!in) {
        KV_ERR("[%s] Open %s failed\n", kTagParse, pkg_path.c_str());
        return false;
    }
    const uint64_t file_size = file_length(in.get()).value_or(0);
    uint8_t raw[kPkgHdrSize];
    if (!read_exact(in.get(), raw, sizeof raw)) {
        KV_ERR("[%s] Read header of %s falied\n", kTagParse, pkg_path.c_str());
        return false;
    }
    const PackageHeader h = decode_package_header(raw);
    KV_TRC("[%s] fsize, dsize = %d, %d\n", kTagParse, static_cast<int>(file_size),
           static_cast<int>(h.payload_size));
    if (!header_matches_file(h, file_size)) {
        KV_ERR("[%s] %s header verify failed: valid=%d, ts=%u, fsize=%d (expect=%d), dsize=%d)\n",
               kTagParse, pkg_path.c_str(), h.valid, h.timestamp, static_cast<int>(h.package_size),
               static_cast<int>(file_size), static_cast<int>(h.payload_size));
        return false;
    }

    const bool is_zip = h.payload_type == kPayloadZip;
    char target[KAVRI_PARAM_PATH_SIZE] = {};
    if (is_zip) {
        snprintf(target, sizeof target, "%s", working_file_name(prefix, kArchiveFileName).c_str());
    } else if (get_param_absolute_name(dev, target, sizeof target) == nullptr) {
        KV_ERR("[%s] Open %s failed\n", kTagParse, target);
        return false;
    }
    FilePtr out(fopen(target, "wb"));
    if (!out) {
        KV_ERR("[%s] Open %s failed\n", kTagParse, target);
        return false;
    }
    if (!copy_payload(in.get(), pkg_path, out.get(), target, h.payload_size)) return false;
    // Buffered data reaches the disk at close: a failure there is a short write.
    if (fclose(out.release()) != 0) {
        KV_ERR("[%s] write %s failed: rem_size = %d\n", kTagParse, target, 0);
        return false;
    }
    in.reset();

    if (is_zip) {
        int32_t total = 1;
        const char *folder = *prefix != '\0' ? prefix : ".";
        if (zip_extract(target, folder, kavri::param::on_extract_to_folder_entry, &total) < 0) {
            KV_ERR("[%s] unzip %s failed\n", kTagParse, target);
            return false;
        }
        KV_DBG("[%s] unzip %s OK\n", kTagParse, target);
        std::remove(target);
    }
    std::remove(pkg_path.c_str());
    return true;
}

}  // namespace kavri::param
