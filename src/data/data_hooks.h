// The library-wide settings of the data transfer: the application's progress
// callback, the function that runs the pause after a download, and how long
// a download waits for the flash erase.
#pragma once

#include <chrono>
#include <cstdint>

#include "kavri/data.h"

namespace kavri::data {

// Calls the progress callback, if one is set.
void report_progress(uint32_t phase, uint32_t done, uint32_t total);

// Pauses for ms milliseconds through the installed sleep function, in steps
// of at most a second, reporting each step as RESET progress.
void pause_after_download(uint32_t ms);

std::chrono::milliseconds erase_limit();

}  // namespace kavri::data
