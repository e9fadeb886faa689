// What a soak run counts: frames, faults injected and survived, memory.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kavri_soak {

// Fault kinds the soak injects; the stream ones come from the simulator,
// the last three are the soak's own actions.
enum Fault {
    kStall,
    kTimeout,
    kCorruptPayload,
    kCorruptHeader,
    kDropBytes,
    kDropChunks,
    kGarbage,
    kBusyStatus,
    kUnplugReplug,
    kCloseFromOtherThread,
    kFaultKinds
};

const char *fault_name(int kind);

struct CameraStats {
    uint64_t delivered = 0;    // frames handed out by the capture calls
    uint64_t bad = 0;          // delivered frames that were not intact
    uint64_t sent = 0;         // frames the camera put into the stream
    uint64_t discarded = 0;    // counted by the parser as discarded
    uint64_t dropped = 0;      // counted by the parser as dropped (list full)
    uint64_t unaccounted = 0;  // sent frames neither delivered nor counted, beyond the allowance
    uint64_t opens = 0, reopen_failures = 0;
    uint64_t capture_errors = 0;   // negative returns of kavri_cap_get_frames
    uint64_t unplug_reported = 0;  // unplugs the capture reported as an error
    uint64_t rate_changes = 0, freq_changes = 0, filter_switches = 0, conversions = 0;
    std::array<uint64_t, kFaultKinds> injected{};
    std::array<uint64_t, kFaultKinds> survived{};  // followed by an intact frame
};

// Resident set size of this process in kB (VmRSS), 0 when unknown.
uint64_t rss_kb();

}  // namespace kavri_soak
