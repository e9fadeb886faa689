// Unpacking the calibration archive into the working folder.
#pragma once

#include <cstdint>

namespace kavri::param {

// Called after every extracted entry with the path it was written to; a
// negative result stops the extraction and makes it fail.
using ExtractEntryFn = int (*)(const char *path, void *arg);

// Stops a decompression bomb from filling the disk: well above the largest
// parameter file the reader accepts.
constexpr uint64_t kMaxExtractedBytes = 512ull << 20;

// Unpacks a zip archive into the existing folder dir. Nothing is written
// outside it: entries with absolute names, ".." components, links pointing
// elsewhere or other than file, folder and symbolic link types are refused,
// logged, and make the whole archive fail before anything is written.
// Returns 0 on success, negative on failure.
int zip_extract(const char *archive_path, const char *dir, ExtractEntryFn on_entry, void *arg,
                uint64_t max_bytes = kMaxExtractedBytes);

}  // namespace kavri::param
