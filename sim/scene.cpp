#include "scene.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <stdexcept>

namespace camsim {
namespace {

constexpr uint32_t kLensWidth = 320;
constexpr uint32_t kLensHeight = 240;

// Inverting the lens: Newton steps on the distortion model from the undistorted guess. The
// model is monotonic over the sensor's field of view, so this converges in a few steps.
constexpr int kMaxNewtonSteps = 50;
constexpr double kRayTolerance = 1e-13;

// A flat wall is accepted from 1 mm to 100 m.
constexpr long kWallMinMm = 1;
constexpr long kWallMaxMm = 100000;
constexpr float kWallReflectivity = 0.6f;

struct Vec3 {
    double x, y, z;
};

double dot(Vec3 a, Vec3 b) {
    return a.x * b.x + a.y * b.y + a.z * b.z;
}

// Surfaces in camera coordinates (mm): x to the right, y down, z along the optical axis.
// Rays are (x, y, 1) * t, so t is the depth of the hit.
struct Plane {  // points p with dot(normal, p) = offset
    Vec3 normal;
    double offset;
    float reflectivity;
};
struct Box {  // axis-aligned
    Vec3 lo, hi;
    float reflectivity;
};
struct Sphere {
    Vec3 centre;
    double radius;
    float reflectivity;
};

std::optional<double> hit(const Plane &p, Vec3 dir) {
    const double den = dot(p.normal, dir);
    if (std::fabs(den) < 1e-12) return std::nullopt;
    const double t = p.offset / den;
    if (t <= 0) return std::nullopt;
    return t;
}

std::optional<double> hit(const Box &b, Vec3 dir) {
    double t_near = 0, t_far = std::numeric_limits<double>::infinity();
    const double o[3] = {0, 0, 0}, d[3] = {dir.x, dir.y, dir.z};
    const double lo[3] = {b.lo.x, b.lo.y, b.lo.z}, hi[3] = {b.hi.x, b.hi.y, b.hi.z};
    for (int i = 0; i < 3; ++i) {
        if (std::fabs(d[i]) < 1e-12) {
            if (o[i] < lo[i] || o[i] > hi[i]) return std::nullopt;
            continue;
        }
        double t0 = (lo[i] - o[i]) / d[i], t1 = (hi[i] - o[i]) / d[i];
        if (t0 > t1) std::swap(t0, t1);
        t_near = std::max(t_near, t0);
        t_far = std::min(t_far, t1);
        if (t_near > t_far) return std::nullopt;
    }
    if (t_near <= 0) return std::nullopt;  // the camera is never inside a box
    return t_near;
}

std::optional<double> hit(const Sphere &s, Vec3 dir) {
    // |t dir - c|^2 = r^2  ->  a t^2 - 2 b t + c = 0
    const double a = dot(dir, dir);
    const double b = dot(dir, s.centre);
    const double c = dot(s.centre, s.centre) - s.radius * s.radius;
    const double disc = b * b - a * c;
    if (disc < 0) return std::nullopt;
    const double t = (b - std::sqrt(disc)) / a;
    if (t <= 0) return std::nullopt;
    return t;
}

// The default scene: a back wall at 2.5 m, a floor 0.9 m below the camera, two boxes standing
// on the floor and two spheres in front of the wall, with different reflectivities.
struct DefaultScene {
    Plane wall{{0, 0, 1}, 2500, 0.6f};
    Plane floor{{0, 1, 0}, 900, 0.35f};
    Box boxes[2] = {
        {{-700, -100, 1200}, {-200, 900, 1600}, 0.8f},
        {{300, 300, 900}, {800, 900, 1300}, 0.25f},
    };
    Sphere spheres[2] = {
        {{150, -300, 1800}, 300, 0.9f},
        {{-950, -550, 2000}, 250, 0.45f},
    };
};

struct Hit {
    double t = std::numeric_limits<double>::infinity();
    float reflectivity = 0;
    void take(std::optional<double> t_new, float refl) {
        if (t_new && *t_new < t) {
            t = *t_new;
            reflectivity = refl;
        }
    }
};

Hit cast(const DefaultScene &sc, Vec3 dir) {
    Hit h;
    h.take(hit(sc.wall, dir), sc.wall.reflectivity);
    h.take(hit(sc.floor, dir), sc.floor.reflectivity);
    for (const Box &b : sc.boxes) h.take(hit(b, dir), b.reflectivity);
    for (const Sphere &s : sc.spheres) h.take(hit(s, dir), s.reflectivity);
    return h;
}

std::optional<long> parse_wall_mm(const std::string &scene) {
    static const std::string kPrefix = "wall:";
    if (scene.compare(0, kPrefix.size(), kPrefix) != 0) return std::nullopt;
    const char *first = scene.data() + kPrefix.size();
    const char *last = scene.data() + scene.size();
    long mm = 0;
    const auto res = std::from_chars(first, last, mm);
    if (res.ec != std::errc() || res.ptr != last || first == last) return std::nullopt;
    if (mm < kWallMinMm || mm > kWallMaxMm) return std::nullopt;
    return mm;
}

}  // namespace

Lens default_lens() {
    return Lens{.cx = 157.262,
                .cy = 122.083,
                .fx = 210.783,
                .fy = 204.817,
                .k1 = -0.378924,
                .k2 = 0.145035,
                .p1 = -0.000970854,
                .p2 = 6.20728e-05,
                .k3 = -0.0133954,
                .width = kLensWidth,
                .height = kLensHeight};
}

Lens pinhole_lens() {
    Lens l = default_lens();
    l.k1 = l.k2 = l.p1 = l.p2 = l.k3 = 0;
    return l;
}

Lens scale_lens(const Lens &lens, uint32_t width, uint32_t height) {
    Lens l = lens;
    const double sx = static_cast<double>(width) / lens.width;
    const double sy = static_cast<double>(height) / lens.height;
    l.cx = lens.cx * sx;
    l.fx = lens.fx * sx;
    l.cy = lens.cy * sy;
    l.fy = lens.fy * sy;
    l.width = width;
    l.height = height;
    return l;
}

namespace {
Point2 distort(const Lens &l, Point2 p) {
    const double r2 = p.x * p.x + p.y * p.y;
    const double kr = 1 + r2 * (l.k1 + r2 * (l.k2 + r2 * l.k3));
    return {p.x * kr + 2 * l.p1 * p.x * p.y + l.p2 * (r2 + 2 * p.x * p.x),
            p.y * kr + l.p1 * (r2 + 2 * p.y * p.y) + 2 * l.p2 * p.x * p.y};
}
}  // namespace

Point2 project(const Lens &lens, Point2 ray) {
    const Point2 d = distort(lens, ray);
    return {lens.cx + lens.fx * d.x, lens.cy + lens.fy * d.y};
}

Point2 pixel_ray(const Lens &l, double u, double v) {
    const Point2 target{(u - l.cx) / l.fx, (v - l.cy) / l.fy};
    Point2 p = target;
    for (int i = 0; i < kMaxNewtonSteps; ++i) {
        const Point2 d = distort(l, p);
        const double ex = d.x - target.x, ey = d.y - target.y;
        if (std::fabs(ex) < kRayTolerance && std::fabs(ey) < kRayTolerance) break;
        // Jacobian of the distortion at p.
        const double r2 = p.x * p.x + p.y * p.y;
        const double kr = 1 + r2 * (l.k1 + r2 * (l.k2 + r2 * l.k3));
        const double g = 2 * l.k1 + r2 * (4 * l.k2 + 6 * l.k3 * r2);  // d kr / d(x or y) / (x or y)
        const double jxx = kr + g * p.x * p.x + 2 * l.p1 * p.y + 6 * l.p2 * p.x;
        const double jxy = g * p.x * p.y + 2 * l.p1 * p.x + 2 * l.p2 * p.y;
        const double jyx = g * p.x * p.y + 2 * l.p1 * p.x + 2 * l.p2 * p.y;
        const double jyy = kr + g * p.y * p.y + 6 * l.p1 * p.y + 2 * l.p2 * p.x;
        const double det = jxx * jyy - jxy * jyx;
        if (std::fabs(det) < 1e-15) break;
        p.x -= (jyy * ex - jxy * ey) / det;
        p.y -= (jxx * ey - jyx * ex) / det;
    }
    return p;
}

bool scene_valid(const std::string &scene) {
    return scene == "default" || parse_wall_mm(scene).has_value();
}

SceneView render_scene(const std::string &scene, const Lens &lens) {
    const std::optional<long> wall_mm = parse_wall_mm(scene);
    if (scene != "default" && !wall_mm) {
        throw std::invalid_argument("unknown scene '" + scene +
                                    "' (expected \"default\" or \"wall:<mm>\")");
    }
    const DefaultScene room;
    const size_t n = static_cast<size_t>(lens.width) * lens.height;
    SceneView view;
    view.distance_mm.resize(n);
    view.reflectivity.resize(n);
    for (uint32_t v = 0; v < lens.height; ++v) {
        for (uint32_t u = 0; u < lens.width; ++u) {
            const Point2 ray = pixel_ray(lens, u, v);
            const Vec3 dir{ray.x, ray.y, 1};
            const size_t i = static_cast<size_t>(v) * lens.width + u;
            double depth;
            float refl;
            if (wall_mm) {
                depth = static_cast<double>(*wall_mm);
                refl = kWallReflectivity;
            } else {
                const Hit h = cast(room, dir);
                depth = h.t;
                refl = h.reflectivity;
            }
            view.distance_mm[i] = static_cast<float>(depth * std::sqrt(dot(dir, dir)));
            view.reflectivity[i] = refl;
        }
    }
    return view;
}

}  // namespace camsim
