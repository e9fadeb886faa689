// Unpacks the calibration archive with libarchive. The archive comes from a
// device and is treated as hostile: every entry is vetted before anything is
// written, vetted again while writing, and libarchive's own secure extraction
// checks stay on underneath.
#include "param/zip_extract.h"

#include <archive.h>
#include <archive_entry.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "core/log_internal.h"

namespace kavri::param {
namespace {

constexpr char kTag[] = "zip_extract";
constexpr size_t kReadBlockSize = 16384;

struct ArchiveFree {
    void operator()(archive *a) const {
        if (a != nullptr) archive_read_free(a);
    }
};
struct DiskFree {
    void operator()(archive *a) const {
        if (a != nullptr) archive_write_free(a);
    }
};
using ReaderPtr = std::unique_ptr<archive, ArchiveFree>;
using DiskPtr = std::unique_ptr<archive, DiskFree>;

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

// Rooted names, and drive-qualified names an archive made elsewhere may hold.
bool is_absolute(std::string_view name) {
    if (!name.empty() && is_separator(name[0])) return true;
    return name.size() >= 2 && name[1] == ':' &&
           ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
}

bool has_dotdot(std::string_view name) {
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = start;
        while (end < name.size() && !is_separator(name[end])) ++end;
        if (name.substr(start, end - start) == "..") return true;
        start = end + 1;
    }
    return false;
}

// Names made only of "." and separators resolve to the folder itself: a file
// entry of that name would replace the folder with a file.
bool names_the_folder(std::string_view name) {
    return name.find_first_not_of("./\\") == std::string_view::npos;
}

// Why an entry may not be written into the folder, or nullptr when it may.
const char *refusal(archive_entry *entry) {
    const char *name = archive_entry_pathname(entry);
    if (name == nullptr || *name == '\0') return "unreadable or empty name";
    if (is_absolute(name)) return "absolute name";
    if (has_dotdot(name)) return "'..' in its name";
    if (names_the_folder(name) && archive_entry_filetype(entry) != AE_IFDIR)
        return "names the folder itself";
    if (archive_entry_hardlink(entry) != nullptr) return "hard link";
    switch (archive_entry_filetype(entry)) {
        case AE_IFREG:
        case AE_IFDIR:
            return nullptr;
        case AE_IFLNK: {
            const char *target = archive_entry_symlink(entry);
            if (target == nullptr || *target == '\0' || is_absolute(target) || has_dotdot(target))
                return "link pointing out of the folder";
            return nullptr;
        }
        default:
            return "unsupported entry type";
    }
}

// Logs the cap that stopped the extraction at `name`; always false.
bool over_cap(uint64_t max_bytes, const char *name) {
    KV_ERR("[%s] archive unpacks to more than %llu bytes, stopped at %s\n", kTag,
           static_cast<unsigned long long>(max_bytes), name);
    return false;
}

uint64_t declared_size(archive_entry *entry) {
    if (archive_entry_filetype(entry) != AE_IFREG || archive_entry_size_is_set(entry) == 0)
        return 0;
    const la_int64_t size = archive_entry_size(entry);
    return size > 0 ? static_cast<uint64_t>(size) : 0;
}

const char *entry_name(archive_entry *entry) {
    const char *name = archive_entry_pathname(entry);
    return name != nullptr ? name : "";
}

ReaderPtr open_archive(const char *path) {
    ReaderPtr reader(archive_read_new());
    if (!reader) return nullptr;
    archive_read_support_format_zip(reader.get());
    if (archive_read_open_filename(reader.get(), path, kReadBlockSize) != ARCHIVE_OK) {
        KV_ERR("[%s] open %s failed: %s\n", kTag, path, archive_error_string(reader.get()));
        return nullptr;
    }
    return reader;
}

// First pass: every entry must be acceptable before the first is written.
bool vet_archive(const char *path) {
    ReaderPtr reader = open_archive(path);
    if (!reader) return false;
    bool ok = true;
    archive_entry *entry = nullptr;
    int rc;
    while ((rc = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
        if (const char *why = refusal(entry)) {
            KV_ERR("[%s] refused entry %s of %s: %s\n", kTag, entry_name(entry), path, why);
            ok = false;
        }
    }
    if (rc != ARCHIVE_EOF) {
        KV_ERR("[%s] read %s failed: %s\n", kTag, path, archive_error_string(reader.get()));
        return false;
    }
    return ok;
}

// Where the entries go, as libarchive will be given it. libarchive writes
// relative to the process's working directory, which a library must not
// change; so a folder below it is named relatively and extraction also
// refuses absolute paths, while a folder elsewhere is named by its resolved
// absolute path (no links, no "..") and absolute entry names are refused by
// the vetting alone.
struct Destination {
    std::string base;  // empty: the working directory itself
    int flags = 0;
};

bool resolve_destination(const char *dir, Destination &dst) {
    char resolved[PATH_MAX];
    char cwd[PATH_MAX];
    if (realpath(dir, resolved) == nullptr) {
        KV_ERR("[%s] target folder %s not found\n", kTag, dir);
        return false;
    }
    dst.flags = ARCHIVE_EXTRACT_SECURE_SYMLINKS | ARCHIVE_EXTRACT_SECURE_NODOTDOT;
    const std::string full(resolved);
    std::string here = getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) : std::string();
    if (here == "/") here.clear();
    if (!here.empty() && full == here) {
        dst.base.clear();
    } else if (full.size() > here.size() + 1 && full.compare(0, here.size(), here) == 0 &&
               full[here.size()] == '/') {
        dst.base = full.substr(here.size() + 1);
    } else {
        dst.base = full;
        return true;
    }
    dst.flags |= ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS;
    return true;
}

bool copy_entry_data(archive *reader, archive *disk, const std::string &path, uint64_t &total,
                     uint64_t max_bytes) {
    const void *block = nullptr;
    size_t size = 0;
    la_int64_t offset = 0;
    int rc;
    while ((rc = archive_read_data_block(reader, &block, &size, &offset)) == ARCHIVE_OK) {
        total += size;
        if (total > max_bytes) return over_cap(max_bytes, path.c_str());
        if (archive_write_data_block(disk, block, size, offset) < ARCHIVE_OK) {
            KV_ERR("[%s] write %s failed: %s\n", kTag, path.c_str(), archive_error_string(disk));
            return false;
        }
    }
    if (rc != ARCHIVE_EOF) {
        KV_ERR("[%s] read data of %s failed: %s\n", kTag, path.c_str(),
               archive_error_string(reader));
        return false;
    }
    return true;
}

bool extract_all(const char *path, const Destination &dst, ExtractEntryFn on_entry, void *arg,
                 uint64_t max_bytes) {
    ReaderPtr reader = open_archive(path);
    DiskPtr disk(archive_write_disk_new());
    if (!reader || !disk) return false;
    archive_write_disk_set_options(disk.get(), dst.flags);

    uint64_t total = 0;
    archive_entry *entry = nullptr;
    int rc;
    while ((rc = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
        if (const char *why = refusal(entry)) {
            KV_ERR("[%s] refused entry %s of %s: %s\n", kTag, entry_name(entry), path, why);
            return false;
        }
        const std::string out =
            dst.base.empty() ? std::string(entry_name(entry)) : dst.base + "/" + entry_name(entry);
        archive_entry_set_pathname(entry, out.c_str());
        // The disk writer extends a file to the size its header declares, so a
        // short entry claiming gigabytes would leave a huge sparse file: the
        // declared size counts against the limit as much as the bytes do.
        const uint64_t declared = declared_size(entry);
        if (declared > max_bytes - total) return over_cap(max_bytes, out.c_str());
        const uint64_t before = total;
        if (archive_write_header(disk.get(), entry) < ARCHIVE_WARN) {
            KV_ERR("[%s] refused entry %s of %s: %s\n", kTag, out.c_str(), path,
                   archive_error_string(disk.get()));
            return false;
        }
        if (!copy_entry_data(reader.get(), disk.get(), out, total, max_bytes)) return false;
        if (total - before < declared) total = before + declared;
        if (archive_write_finish_entry(disk.get()) < ARCHIVE_WARN) {
            KV_ERR("[%s] write %s failed: %s\n", kTag, out.c_str(),
                   archive_error_string(disk.get()));
            return false;
        }
        if (on_entry != nullptr && on_entry(out.c_str(), arg) < 0) return false;
    }
    if (rc != ARCHIVE_EOF) {
        KV_ERR("[%s] read %s failed: %s\n", kTag, path, archive_error_string(reader.get()));
        return false;
    }
    return archive_write_close(disk.get()) >= ARCHIVE_WARN;
}

}  // namespace

int zip_extract(const char *archive_path, const char *dir, ExtractEntryFn on_entry, void *arg,
                uint64_t max_bytes) {
    if (archive_path == nullptr || dir == nullptr) return -1;
    Destination dst;
    if (!resolve_destination(dir, dst)) return -1;
    if (!vet_archive(archive_path)) return -1;
    return extract_all(archive_path, dst, on_entry, arg, max_bytes) ? 0 : -1;
}

}  // namespace kavri::param
