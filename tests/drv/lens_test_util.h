// Lens records shared by the lens map tests.
#pragma once

#include "kavri/types.h"

// The camera's default lens: barrel distortion with a little tangential part.
inline kv_lens_param_t default_lens() {
    kv_lens_param_t p{};
    p.cx = 157.262;
    p.cy = 122.083;
    p.fx = 210.783;
    p.fy = 204.817;
    const double d[5] = {-0.378924, 0.145035, -0.000970854, 6.20728e-05, -0.0133954};
    for (int i = 0; i < 5; ++i) p.dcoeff[i] = d[i];
    p.img_w = 320;
    p.img_h = 240;
    return p;
}
