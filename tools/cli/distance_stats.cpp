#include "cli/distance_stats.h"

#include <algorithm>
#include <cstddef>

#include "cli/images.h"

namespace kavri::cli {
namespace {

constexpr double kMmPerMetre = 1000.0;

}  // namespace

DistanceStats distance_stats(const std::vector<float> &dist) {
    DistanceStats s;
    s.total = dist.size();
    std::vector<float> v;
    v.reserve(dist.size());
    double sum = 0;
    for (float d : dist)
        if (valid_distance(d)) {
            v.push_back(d);
            sum += d;
        }
    s.valid = v.size();
    if (v.empty()) return s;
    std::nth_element(v.begin(), v.begin() + static_cast<ptrdiff_t>(v.size() / 2), v.end());
    s.median_mm = v[v.size() / 2] * kMmPerMetre;
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    s.min_mm = *lo * kMmPerMetre;
    s.max_mm = *hi * kMmPerMetre;
    s.mean_mm = sum / static_cast<double>(v.size()) * kMmPerMetre;
    return s;
}

}  // namespace kavri::cli
