#include "drv/lens_map_model.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "kavri/geom.h"

namespace kavri::lens {
namespace {

constexpr int kGrid = 9;  // grid points per side: (i*w/8, j*h/8), i, j = 0..8
constexpr int kUndistortIterations = 5;

struct Coeffs {
    double k1, k2, p1, p2, k3;
};

Coeffs coeffs_of(const kv_lens_param_t &p) {
    return Coeffs{p.dcoeff[0], p.dcoeff[1], p.dcoeff[2], p.dcoeff[3], p.dcoeff[4]};
}

// Normalised undistorted coordinates of the image point (u, v), by fixed-point
// iteration of the distortion model.
void undistort_point(const kv_lens_param_t &p, const Coeffs &k, double u, double v, double *x_out,
                     double *y_out) {
    const double x0 = (u - p.cx) / p.fx;
    const double y0 = (v - p.cy) / p.fy;
    double x = x0;
    double y = y0;
    for (int it = 0; it < kUndistortIterations; ++it) {
        const double r2 = x * x + y * y;
        const double icdist = 1.0 / (1.0 + ((k.k3 * r2 + k.k2) * r2 + k.k1) * r2);
        const double dx = 2.0 * k.p1 * x * y + k.p2 * (r2 + 2.0 * x * x);
        const double dy = k.p1 * (r2 + 2.0 * y * y) + 2.0 * k.p2 * x * y;
        x = (x0 - dx) * icdist;
        y = (y0 - dy) * icdist;
    }
    *x_out = x;
    *y_out = y;
}

}  // namespace

Mat3 camera_matrix(const kv_lens_param_t &p) {
    return Mat3{p.fx, 0, p.cx, 0, p.fy, p.cy, 0, 0, 1};
}

Extent undistorted_extent(const kv_lens_param_t &p, const Mat3 *proj) {
    const Coeffs k = coeffs_of(p);
    const Mat3 m = proj != nullptr ? *proj : Mat3{1, 0, 0, 0, 1, 0, 0, 0, 1};
    float px[kGrid][kGrid];  // [row j][column i]
    float py[kGrid][kGrid];
    for (int j = 0; j < kGrid; ++j) {
        for (int i = 0; i < kGrid; ++i) {
            const double u = static_cast<double>(i) * p.img_w / (kGrid - 1);
            const double v = static_cast<double>(j) * p.img_h / (kGrid - 1);
            double x = 0;
            double y = 0;
            undistort_point(p, k, u, v, &x, &y);
            const double xp = m[0] * x + m[1] * y + m[2];
            const double yp = m[3] * x + m[4] * y + m[5];
            const double zp = m[6] * x + m[7] * y + m[8];
            px[j][i] = static_cast<float>(xp / zp);
            py[j][i] = static_cast<float>(yp / zp);
        }
    }
    constexpr float kMaxF = std::numeric_limits<float>::max();
    float ox0 = kMaxF, ox1 = -kMaxF, oy0 = kMaxF, oy1 = -kMaxF;
    float ix0 = -kMaxF, ix1 = kMaxF, iy0 = -kMaxF, iy1 = kMaxF;
    for (int j = 0; j < kGrid; ++j) {
        for (int i = 0; i < kGrid; ++i) {
            const float x = px[j][i];
            const float y = py[j][i];
            ox0 = std::min(ox0, x);
            ox1 = std::max(ox1, x);
            oy0 = std::min(oy0, y);
            oy1 = std::max(oy1, y);
            if (i == 0) ix0 = std::max(ix0, x);
            if (i == kGrid - 1) ix1 = std::min(ix1, x);
            if (j == 0) iy0 = std::max(iy0, y);
            if (j == kGrid - 1) iy1 = std::min(iy1, y);
        }
    }
    return Extent{RectF{ix0, iy0, ix1 - ix0, iy1 - iy0}, RectF{ox0, oy0, ox1 - ox0, oy1 - oy0}};
}

Mat3 new_camera_matrix(const kv_lens_param_t &p) {
    const RectF outer = undistorted_extent(p, nullptr).outer;
    const double fx = (p.img_w - 1) / static_cast<double>(outer.width);
    const double fy = (p.img_h - 1) / static_cast<double>(outer.height);
    const double cx = -fx * outer.x;
    const double cy = -fy * outer.y;
    return Mat3{fx, 0, cx, 0, fy, cy, 0, 0, 1};
}

SourcePoint source_point(const kv_lens_param_t &p, const Mat3 &r, int32_t u, int32_t v) {
    const Coeffs k = coeffs_of(p);
    const double X = r[0] * u + r[1] * v + r[2];
    const double Y = r[3] * u + r[4] * v + r[5];
    const double W = r[6] * u + r[7] * v + r[8];
    const double x = X / W;
    const double y = Y / W;
    const double r2 = x * x + y * y;
    const double kr = 1.0 + ((k.k3 * r2 + k.k2) * r2 + k.k1) * r2;
    const double mx = p.cx + p.fx * (x * kr + 2.0 * k.p1 * x * y + k.p2 * (r2 + 2.0 * x * x));
    const double my = p.cy + p.fy * (y * kr + k.p1 * (r2 + 2.0 * y * y) + 2.0 * k.p2 * x * y);
    return SourcePoint{static_cast<float>(mx), static_cast<float>(my)};
}

int32_t nearest_index(SourcePoint s, int32_t w, int32_t h) {
    // Rounded half up: a position in [-0.5, w - 0.5) has a nearest pixel. The
    // comparisons also reject NaN from a degenerate lens record.
    const double fx = std::floor(static_cast<double>(s.x) + 0.5);
    const double fy = std::floor(static_cast<double>(s.y) + 0.5);
    if (!(fx >= 0.0 && fx < w && fy >= 0.0 && fy < h)) return -1;
    return static_cast<int32_t>(fx) + w * static_cast<int32_t>(fy);
}

}  // namespace kavri::lens
