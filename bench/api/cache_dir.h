// The calibration cache a camera's open writes goes to a folder of the run's
// own, not into the directory the benchmark was started from; it stays for
// the whole run, so a camera pulls its calibration once, at its first open.
#pragma once

#include <kavri.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <system_error>

class CacheDir {
  public:
    CacheDir() {
        char tmpl[] = "/tmp/kavri_bench_XXXXXX";
        if (mkdtemp(tmpl) != nullptr) path_ = std::string(tmpl) + "/";
        kavri_path_cfg(path_.empty() ? nullptr : path_.c_str());
    }
    ~CacheDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }

  private:
    std::string path_;
};
