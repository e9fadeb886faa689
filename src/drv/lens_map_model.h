// The lens model behind the undistortion map: undistorted extents of the image
// and the output camera that keeps every source pixel in view.
#pragma once

#include <array>
#include <cstdint>

#include "kavri/types.h"

namespace kavri::lens {

// A rectangle (x, y, width, height) in single precision.
struct RectF {
    float x, y, width, height;
};

struct Extent {
    RectF inner;  // every point inside comes from the image
    RectF outer;  // holds every undistorted image point
};

// 3x3 matrix in row order.
using Mat3 = std::array<double, 9>;

Mat3 camera_matrix(const kv_lens_param_t &p);

// Undistorts the 9 x 9 grid of points (i*w/8, j*h/8) and projects them with
// proj (identity when null) to find the inner and outer rectangles.
Extent undistorted_extent(const kv_lens_param_t &p, const Mat3 *proj);

// Output camera (fx', fy', cx', cy') mapping the outer rectangle onto the image.
Mat3 new_camera_matrix(const kv_lens_param_t &p);

// Distorted source position of the output pixel (u, v), given R = inverse of the
// output camera matrix. Stored in single precision, as the map keeps it.
struct SourcePoint {
    float x, y;
};
SourcePoint source_point(const kv_lens_param_t &p, const Mat3 &r, int32_t u, int32_t v);

// Nearest source pixel index of a source position, or -1 outside the w x h image.
int32_t nearest_index(SourcePoint s, int32_t w, int32_t h);

}  // namespace kavri::lens
