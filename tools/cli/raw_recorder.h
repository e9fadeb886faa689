// A raw recording of a live camera (kavri_rec_start .. kavri_rec_stop): the
// file is finished when the object goes, also when a command fails halfway.
#pragma once

#include <kavri.h>

#include <string>

namespace kavri::cli {

class RawRecorder {
  public:
    // Starts recording dev into path; throws CliError.
    RawRecorder(kavri_dev_t *dev, std::string path);
    ~RawRecorder();
    RawRecorder(const RawRecorder &) = delete;
    RawRecorder &operator=(const RawRecorder &) = delete;

    // Writes what is still queued, finishes the file and returns the
    // counters; throws CliError when the library could not finish it.
    kavri_rec_stats_t finish();
    const std::string &path() const { return path_; }

  private:
    kavri_dev_t *dev_;
    std::string path_;
    bool active_ = false;
};

// "frames, transfers, MB, lost ..." of a finished recording, on stdout; a
// warning on stderr for lost transfers.
void print_raw_stats(const kavri_rec_stats_t &s, const std::string &path);

}  // namespace kavri::cli
