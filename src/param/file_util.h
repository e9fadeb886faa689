// Small helpers over stdio files used by the parameter reader and the
// package loader.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

namespace kavri::param {

struct FileCloser {
    void operator()(FILE *f) const {
        if (f != nullptr) fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Length of an open file as the file system reports it now.
inline std::optional<uint64_t> file_length(FILE *f) {
    struct stat st {};
    if (fstat(fileno(f), &st) != 0 || st.st_size < 0) return std::nullopt;
    return static_cast<uint64_t>(st.st_size);
}

inline bool read_exact(FILE *f, void *dst, size_t size) {
    return size == 0 || fread(dst, 1, size, f) == size;
}

}  // namespace kavri::param
