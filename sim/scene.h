// The simulated camera's view: its lens (which ray each pixel sees) and the scene those rays
// hit (the true radial distance and the reflectivity per pixel).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace camsim {

// Classic five-coefficient pinhole lens model on normalised coordinates (x, y) = (X/Z, Y/Z):
// radial factor 1 + k1 r^2 + k2 r^4 + k3 r^6, tangential p1, p2; pixel = (cx + fx xd, cy + fy yd).
// Pixel coordinates are pixel centres: column u, row v.
struct Lens {
    double cx, cy, fx, fy;
    double k1, k2, p1, p2, k3;
    uint32_t width, height;  // the image size these values refer to
};

// The camera's own lens for a 320x240 image.
Lens default_lens();
// The same principal point and focal lengths without distortion.
Lens pinhole_lens();
// The lens for another image size (principal point and focal lengths scale with the size).
Lens scale_lens(const Lens &lens, uint32_t width, uint32_t height);

struct Point2 {
    double x, y;
};

// Where the normalised ray (x, y) lands on the image.
Point2 project(const Lens &lens, Point2 ray);
// The normalised ray whose distorted projection is pixel (u, v) (the inverse of project).
Point2 pixel_ray(const Lens &lens, double u, double v);

// What each pixel sees, image order (row-major, top row first).
struct SceneView {
    std::vector<float> distance_mm;   // radial distance from the optical centre along the ray
    std::vector<float> reflectivity;  // 0..1
};

// Scenes: "default" (a room corner with boxes and spheres, every distance within 300..6000 mm)
// or "wall:<mm>" (a flat wall perpendicular to the optical axis at that depth, 1..100000 mm).
// Throws std::invalid_argument for anything else.
SceneView render_scene(const std::string &scene, const Lens &lens);
// Whether render_scene accepts the scene name.
bool scene_valid(const std::string &scene);

}  // namespace camsim
