#include "data/data_file.h"

#include <sys/stat.h>

namespace kavri::data {

bool file_size(FILE *f, uint64_t &size) {
    struct stat st {};
    if (fstat(fileno(f), &st) != 0 || st.st_size < 0) return false;
    size = static_cast<uint64_t>(st.st_size);
    return true;
}

size_t read_whole(FILE *f, uint64_t size, std::vector<uint8_t> &out) {
    out.resize(static_cast<size_t>(size));
    size_t got = 0;
    while (got < out.size()) {
        const size_t n = std::fread(out.data() + got, 1, out.size() - got, f);
        if (n == 0) break;
        got += n;
    }
    out.resize(got);
    return got;
}

PendingFile::PendingFile(std::string target)
    : target_(std::move(target)), part_(target_ + ".part") {}

PendingFile::~PendingFile() {
    if (!committed_) abandon();
}

bool PendingFile::open() {
    file_ = std::fopen(part_.c_str(), "wb+");
    return file_ != nullptr;
}

bool PendingFile::write(const uint8_t *bytes, size_t n) {
    return file_ != nullptr && std::fwrite(bytes, 1, n, file_) == n;
}

bool PendingFile::commit() {
    if (file_ == nullptr) return false;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!closed || std::rename(part_.c_str(), target_.c_str()) != 0) {
        std::remove(part_.c_str());
        return false;
    }
    committed_ = true;
    return true;
}

void PendingFile::abandon() {
    if (file_ != nullptr) {
        std::fclose(file_);
        file_ = nullptr;
        std::remove(part_.c_str());
    }
}

}  // namespace kavri::data
