// Point clouds as binary little-endian PLY files with a colour per point.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kavri::cli {

// points: x, y, z, distance (4 floats a point, as kavri_frame_get_pcl_xyzd
// gives them); rgb: 3 bytes a point. Throws CliError.
void write_ply(const std::string &path, std::span<const float> points_xyzd,
               std::span<const uint8_t> rgb, uint32_t count);

}  // namespace kavri::cli
