#include "alg/cmap_shared.h"

#include <mutex>

#include "alg/cmap.h"

namespace kavri {
namespace {

std::mutex g_cmap_lock;
kv_cmap_t g_cmap{};

}  // namespace

bool cmap_shared_init() {
    std::lock_guard lock(g_cmap_lock);
    cmap_uninit(&g_cmap);
    cmap_init(&g_cmap, kSharedCmapEntries);
    return g_cmap.palette != nullptr;
}

void cmap_shared_uninit() {
    std::lock_guard lock(g_cmap_lock);
    cmap_uninit(&g_cmap);
}

kv_cmap_t cmap_shared_snapshot() {
    std::lock_guard lock(g_cmap_lock);
    return g_cmap;
}

kv_cmap_t cmap_shared_set_range(int32_t a, int32_t b) {
    std::lock_guard lock(g_cmap_lock);
    cmap_set_range(&g_cmap, a, b);
    return g_cmap;
}

}  // namespace kavri
