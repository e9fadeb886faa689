// Host-side files of the data transfer: reading an image whole, and writing
// an upload so that a failure leaves nothing behind.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace kavri::data {

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Size of an open file in bytes; false when it cannot be told.
bool file_size(FILE *f, uint64_t &size);

// Reads up to size bytes from the start of f into out (resized to what was
// read); returns the bytes read.
size_t read_whole(FILE *f, uint64_t size, std::vector<uint8_t> &out);

// A file that appears under its final name only when committed: written as
// "<name>.part" beside it, renamed over the target at commit, removed when
// abandoned (or destroyed uncommitted).
class PendingFile {
  public:
    explicit PendingFile(std::string target);
    ~PendingFile();
    PendingFile(const PendingFile &) = delete;
    PendingFile &operator=(const PendingFile &) = delete;

    bool open();  // false when the file cannot be created
    bool write(const uint8_t *bytes, size_t n);
    bool commit();  // closes and renames; false (and nothing left) on failure
    void abandon();

  private:
    std::string target_;
    std::string part_;
    FILE *file_ = nullptr;
    bool committed_ = false;
};

}  // namespace kavri::data
