// The frame payload generator the camera streams from. Until the synthetic
// scene generator is part of the tree, a stand-in with the same interface
// produces flat frames.
#pragma once

#if __has_include("frame_gen.h")
#include "frame_gen.h"
#else
#include "frame_stand_in.h"
#endif
