// Raw recordings on the command line: opening one as a device, what it
// holds, and the camera settings a replay cannot change.
#pragma once

#include <kavri.h>

#include <cstdint>
#include <string>

#include "cli/commands.h"

namespace kavri::cli {

bool is_replay(const kavri_dev_t *dev);

kavri_rec_options_t replay_options(uint32_t pacing, bool loop);

// kavri_rec_open into dev; throws CliError (missing file, not a recording).
void open_replay(kavri_dev_t *dev, const std::string &path, const kavri_rec_options_t &options);

// kavri_rec_get_info; throws CliError.
kavri_rec_info_t replay_info(kavri_dev_t *dev);

// The recording's counts, one "name: value" line each, aligned with `info`;
// with events, every recorded event after them.
void print_recording(kavri_dev_t *dev, const std::string &path, bool events);

// One recorded event as a line of text (without its time).
std::string event_text(const kavri_rec_event_t &ev);

// Throws CliError when the setup would change the camera: a replay delivers
// what the camera sent at the recorded settings.
void check_replay_setup(const CameraSetup &s);

// The text of a KAVRI_REC_* result.
const char *rec_result_name(int32_t result);

}  // namespace kavri::cli
