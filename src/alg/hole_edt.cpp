// Distance-propagation hole fill: one forward pass in which each hole takes
// the value of the neighbour with the smallest distance to a known pixel.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "filter_common.h"
#include "kavri/filter.h"

namespace kavri::filter {
namespace {

constexpr uint16_t kDistKnown = 1;
constexpr uint16_t kDistHole = 999;

struct FreeDeleter {
    void operator()(void *p) const { std::free(p); }
};

struct Neighbour {
    int x, y;
};

void propagate(uint16_t *dst, uint16_t *dist, int width, int height) {
    auto index = [width](int x, int y) {
        return static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x);
    };
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (dist[index(x, y)] != kDistHole) continue;
            auto at = [&](int dx, int dy) {
                return Neighbour{clamp_index(x + dx, width), clamp_index(y + dy, height)};
            };
            const Neighbour t = at(0, -1), bo = at(0, 1), bl = at(-1, 1), br = at(1, 1);
            const Neighbour l = at(-1, 0), r = at(1, 0), tl = at(-1, -1), tr = at(1, -1);
            auto d = [&](Neighbour n) { return dist[index(n.x, n.y)]; };
            const uint16_t m_vert = std::min(d(bo), d(t)), m_vdiag = std::min(d(br), d(bl));
            const uint16_t m_horz = std::min(d(r), d(l)), m_hdiag = std::min(d(tr), d(tl));
            Neighbour pick;
            if (std::min(m_vert, m_vdiag) < std::min(m_horz, m_hdiag)) {
                if (m_vert < m_vdiag) {
                    pick = d(t) <= d(bo) ? t : bo;
                } else {
                    pick = d(br) < d(bl) ? br : bl;
                }
            } else if (m_horz < m_hdiag) {
                pick = d(r) < d(l) ? r : l;
            } else {
                pick = d(tr) < d(tl) ? tr : tl;
            }
            dst[index(x, y)] = dst[index(pick.x, pick.y)];
            // Saturating, so that very long hole runs never wrap to "near".
            const uint32_t step =
                static_cast<uint32_t>(std::abs(pick.x - x) + std::abs(pick.y - y));
            const uint32_t nd =
                std::min<uint32_t>(d(pick) + step, std::numeric_limits<uint16_t>::max());
            dist[index(x, y)] = static_cast<uint16_t>(nd);
        }
    }
}

}  // namespace
}  // namespace kavri::filter

extern "C" KAVRI_API void kv_fhole_u16_edt3(uint16_t *dst, const uint16_t *src, int width,
                                            int height) {
    using namespace kavri::filter;
    if (!check_size(__func__, dst, src, width, height)) return;
    const size_t n = pixel_count(width, height);
    std::memcpy(dst, src, n * sizeof(uint16_t));
    std::unique_ptr<uint16_t, FreeDeleter> dist(
        static_cast<uint16_t *>(std::malloc(n * sizeof(uint16_t))));
    if (!dist) die_no_memory(__func__);
    for (size_t i = 0; i < n; ++i)
        dist.get()[i] = static_cast<int16_t>(src[i]) > 0 ? kDistKnown : kDistHole;
    propagate(dst, dist.get(), width, height);
}
