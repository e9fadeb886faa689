// What a distance image holds in numbers: valid pixels and their minimum,
// median, mean and maximum.
#pragma once

#include <cstddef>
#include <vector>

namespace kavri::cli {

struct DistanceStats {
    size_t valid = 0, total = 0;
    double min_mm = 0, median_mm = 0, mean_mm = 0, max_mm = 0;
};

// Over the pixels with a distance (metres in, millimetres out).
DistanceStats distance_stats(const std::vector<float> &dist_m);

}  // namespace kavri::cli
