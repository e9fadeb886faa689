#include "core/globals.h"

namespace kavri {

char g_path_prefix[kPathPrefixSize] = "./";
kavri_dev_t g_default_dev{};
std::atomic<int> g_cur_fps{0};

}  // namespace kavri
