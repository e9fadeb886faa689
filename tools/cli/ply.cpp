#include "cli/ply.h"

#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "cli/cli_error.h"

namespace kavri::cli {
namespace {

constexpr size_t kFloatsPerPoint = 4;
constexpr size_t kBytesPerVertex = 3 * sizeof(float) + 3;

void put_float_le(uint8_t *p, float v) {
    const uint32_t bits = std::bit_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(bits >> (8 * i));
}

struct FileCloser {
    void operator()(FILE *f) const { std::fclose(f); }
};

}  // namespace

void write_ply(const std::string &path, std::span<const float> points_xyzd,
               std::span<const uint8_t> rgb, uint32_t count) {
    if (points_xyzd.size() < count * kFloatsPerPoint || rgb.size() < count * 3u)
        throw CliError(kExitFailure, "internal: point buffer too small for " + path);
    std::unique_ptr<FILE, FileCloser> f(std::fopen(path.c_str(), "wb"));
    if (!f)
        throw CliError(kExitFileError, "cannot create " + path + ": " + std::strerror(errno),
                       "check that the folder exists and is writable");
    std::fprintf(f.get(),
                 "ply\nformat binary_little_endian 1.0\ncomment kavri-cli point cloud, metres\n"
                 "element vertex %u\nproperty float x\nproperty float y\nproperty float z\n"
                 "property uchar red\nproperty uchar green\nproperty uchar blue\nend_header\n",
                 count);
    std::vector<uint8_t> body(static_cast<size_t>(count) * kBytesPerVertex);
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t *v = &body[i * kBytesPerVertex];
        for (int k = 0; k < 3; ++k) put_float_le(v + 4 * k, points_xyzd[i * kFloatsPerPoint + k]);
        std::memcpy(v + 12, &rgb[3 * i], 3);
    }
    const bool ok = std::fwrite(body.data(), 1, body.size(), f.get()) == body.size();
    if (!ok || std::fclose(f.release()) != 0)
        throw CliError(kExitFileError, "cannot write " + path + " in full",
                       "check the free space of the disk");
}

}  // namespace kavri::cli
