// The working path prefix under which the library keeps its files.
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "core/globals.h"
#include "core/log_internal.h"

namespace {

constexpr mode_t kDirMode = 0755;

bool path_exists(const std::string &p) {
    struct stat st {};
    return stat(p.c_str(), &st) == 0;
}

bool is_separator(char c) {
    return c == '/' || c == '\\';
}

}  // namespace

extern "C" KAVRI_API int kavri_path_cfg(const char *path) {
    char *prefix = kavri::g_path_prefix;
    if (path == nullptr) path = "";
    strncpy(prefix, path, kavri::kPathPrefixSize);
    prefix[kavri::kPathPrefixSize - 1] = '\0';
    KV_DBG("[%s] PATH_PREIFX: %s\n", __func__, prefix);

    // Create every level of the directory; the prefix keeps the caller's form.
    std::string work(prefix);
    if (!work.empty() && is_separator(work.back())) work.pop_back();
    for (size_t i = 0; i < work.size(); ++i) {
        if (!is_separator(work[i])) continue;
        work[i] = '\0';
        std::string partial(work.c_str());
        if (!partial.empty() && !path_exists(partial)) mkdir(partial.c_str(), kDirMode);
        work[i] = '/';
    }
    if (work.empty()) return 0;
    if (!path_exists(work)) return mkdir(work.c_str(), kDirMode) == 0 ? 0 : -1;
    return 0;
}

extern "C" KAVRI_API char *kavri_path_get(void) {
    return kavri::g_path_prefix;
}
