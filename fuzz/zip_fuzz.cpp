// Archives of any content given to the unpacker. Whatever it accepts or
// refuses, nothing may appear outside its target folder, and links it leaves
// must stay inside.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "fuzz_check.h"
#include "kavri/log.h"
#include "param/zip_extract.h"

namespace fs = std::filesystem;

namespace {

// Small enough that a bomb is stopped quickly.
constexpr uint64_t kMaxBytes = 4u << 20;
constexpr uint64_t kStatBlock = 512;
constexpr uint64_t kSlack = 1u << 20;

int on_entry(const char *path, void *arg) {
    FUZZ_CHECK(path != nullptr);
    ++*static_cast<int *>(arg);
    return 0;
}

bool inside(const fs::path &root, const fs::path &p) {
    const std::string r = root.string() + "/";
    const std::string s = p.string();
    return s == root.string() || s.compare(0, r.size(), r) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kv_log_disable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const fs::path base = fs::path("/tmp") / ("kvfuzz_zip_" + std::to_string(::getpid()));
    const fs::path zip = base / "in.zip";
    const fs::path out = base / "out";
    std::error_code ec;
    fs::remove_all(base, ec);
    fs::create_directories(out);
    FILE *f = std::fopen(zip.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    FUZZ_CHECK(std::fwrite(data, 1, size, f) == size);
    std::fclose(f);

    int entries = 0;
    const int r =
        kavri::param::zip_extract(zip.c_str(), out.c_str(), on_entry, &entries, kMaxBytes);
    FUZZ_CHECK(r <= 0);

    // Only the archive and the target folder at the top.
    for (const fs::directory_entry &e : fs::directory_iterator(base))
        FUZZ_CHECK(e.path() == zip || e.path() == out);
    const fs::path root = fs::canonical(out);
    uint64_t apparent = 0, on_disk = 0;
    for (auto it = fs::recursive_directory_iterator(out); it != fs::recursive_directory_iterator();
         ++it) {
        const fs::path p = it->path();
        if (fs::is_symlink(fs::symlink_status(p))) {
            const fs::path target = fs::weakly_canonical(p, ec);
            FUZZ_CHECK(!ec && inside(root, target));
            it.disable_recursion_pending();
        } else if (fs::is_regular_file(fs::symlink_status(p))) {
            struct stat sb {};
            FUZZ_CHECK(::lstat(p.c_str(), &sb) == 0);
            apparent += static_cast<uint64_t>(sb.st_size);
            on_disk += static_cast<uint64_t>(sb.st_blocks) * kStatBlock;
        }
    }
    // The disk never holds more than the limit (plus a block per file), and
    // an accepted archive never claims more either.
    FUZZ_CHECK(on_disk <= kMaxBytes + kSlack);
    if (r == 0) FUZZ_CHECK(apparent <= kMaxBytes);
    fs::remove_all(base, ec);
    return 0;
}
