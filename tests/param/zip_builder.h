// Zip archives made in memory with libarchive's writer, hostile ones included.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <string>
#include <vector>

#include "param_builder.h"

namespace kavri::param::test {

struct ZipEntry {
    enum Kind { kFile, kDir, kSymlink };
    std::string name;
    Bytes data;
    Kind kind = kFile;
    std::string link_target;
};

inline ZipEntry zip_file(std::string name, Bytes data) {
    return {std::move(name), std::move(data), ZipEntry::kFile, {}};
}
inline ZipEntry zip_dir(std::string name) {
    return {std::move(name), {}, ZipEntry::kDir, {}};
}
inline ZipEntry zip_symlink(std::string name, std::string target) {
    return {std::move(name), {}, ZipEntry::kSymlink, std::move(target)};
}

inline Bytes build_zip(const std::vector<ZipEntry> &entries) {
    Bytes out;
    archive *a = archive_write_new();
    archive_write_set_format_zip(a);
    archive_write_set_bytes_in_last_block(a, 1);
    auto writer = [](archive *, void *ctx, const void *buf, size_t n) -> la_ssize_t {
        auto *dst = static_cast<Bytes *>(ctx);
        dst->insert(dst->end(), static_cast<const uint8_t *>(buf),
                    static_cast<const uint8_t *>(buf) + n);
        return static_cast<la_ssize_t>(n);
    };
    archive_write_open(a, &out, nullptr, writer, nullptr);
    for (const ZipEntry &e : entries) {
        archive_entry *ae = archive_entry_new();
        archive_entry_set_pathname(ae, e.name.c_str());
        switch (e.kind) {
            case ZipEntry::kFile:
                archive_entry_set_filetype(ae, AE_IFREG);
                archive_entry_set_perm(ae, 0644);
                archive_entry_set_size(ae, static_cast<la_int64_t>(e.data.size()));
                break;
            case ZipEntry::kDir:
                archive_entry_set_filetype(ae, AE_IFDIR);
                archive_entry_set_perm(ae, 0755);
                break;
            case ZipEntry::kSymlink:
                archive_entry_set_filetype(ae, AE_IFLNK);
                archive_entry_set_perm(ae, 0777);
                archive_entry_set_symlink(ae, e.link_target.c_str());
                break;
        }
        archive_write_header(a, ae);
        if (!e.data.empty()) archive_write_data(a, e.data.data(), e.data.size());
        archive_entry_free(ae);
    }
    archive_write_close(a);
    archive_write_free(a);
    return out;
}

}  // namespace kavri::param::test
