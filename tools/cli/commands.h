// The subcommands of kavri-cli. Each returns an exit status or throws
// CliError; main() wires them to the command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/session.h"

namespace kavri::cli {

int run_list(const GlobalOptions &g);
// `list --watch`: the list, then each arrival and removal until Ctrl-C.
int run_list_watch(const GlobalOptions &g);
int run_info(const GlobalOptions &g);

struct ParamOptions {
    std::vector<std::string> names;  // get: names or ids
    std::string name, value;         // set
};
int run_param_get(const GlobalOptions &g, const ParamOptions &o);
int run_param_set(const GlobalOptions &g, const ParamOptions &o);
int run_param_names();

struct RegOptions {
    uint32_t target = 1;
    uint32_t address = 0;
    uint32_t count = 1;
    std::vector<std::string> values;  // write
};
int run_reg_read(const GlobalOptions &g, const RegOptions &o);
int run_reg_write(const GlobalOptions &g, const RegOptions &o);

// Camera settings and processing applied before frames are taken.
struct CameraSetup {
    uint32_t mod_freq = 0;   // Hz, 0: keep
    uint32_t fps = 0;        // 0: keep
    int32_t intg_time = -1;  // -1: keep
    bool undistort = false;
    int smooth = -1;           // smoothing level, -1: off
    int amp_min = -1;          // minimum amplitude, -1: off
    int auto_intg = -1;        // per-mille limit of saturated samples, -1: off
    int32_t offset_mm = 0;     // distance offset, 0: off
    bool no_calib = false;     // calibration switched off: raw distances
    int temporal = -1;         // temporal filter: per mille of each new frame, -1: off
    int temporal_motion = -1;  // its motion threshold in mm, -1: keep
    int temporal_holes = -1;   // its hole persistence in frames, -1: keep
};

struct CaptureOptions {
    CameraSetup setup;
    uint32_t frames = 30;
    std::string out_dir;       // all outputs with their standard names
    std::string png_distance;  // colour-mapped distance
    std::string png_gray;
    std::string ply;
    std::string kv;  // frame file of every frame's distances
    std::string kv_format = "u16";
    std::string oni;    // distance (and amplitude) recording
    std::string range;  // colour range "MIN:MAX" in mm; empty: from the data
};
int run_capture(const GlobalOptions &g, CaptureOptions o);
// Several --device: each camera captured on its own thread, no files written;
// prints each camera's counts and how far apart their frames arrive.
int run_capture_together(const GlobalOptions &g, const CaptureOptions &o);

struct RecordOptions {
    CameraSetup setup;
    std::string oni;      // empty: no ONI file
    std::string raw;      // raw recording of the camera's stream; empty: none
    uint32_t frames = 0;  // 0: until Ctrl-C
    bool gray = true;
    uint32_t progress_every = 30;  // a progress line every that many frames, 0: none
};
int run_record(const GlobalOptions &g, const RecordOptions &o);

// Replays a raw recording and reports each frame and the totals.
struct PlayOptions {
    CameraSetup setup;  // filters only: a replay refuses camera settings
    std::string file;
    bool realtime = false;  // at the recorded arrival times
    bool step = false;      // one frame per fetch
    bool loop = false;
    int64_t seek = -1;    // first frame to play, -1: from the start
    uint32_t frames = 0;  // 0: to the end (with --loop: until Ctrl-C)
    bool decode = false;  // distances of every frame: valid pixels, median
    bool events = false;  // list the recorded events
};
int run_play(const GlobalOptions &g, const PlayOptions &o);

int run_doctor(const GlobalOptions &g);

struct DataOptions {
    std::string file;
    uint8_t type = 0;
    uint16_t version = 0;
};
int run_data_download(const GlobalOptions &g, const DataOptions &o);
int run_data_upload(const GlobalOptions &g, const DataOptions &o);
int run_firmware(const GlobalOptions &g, const DataOptions &o);

}  // namespace kavri::cli
