// Recording speed of the ONI writer for 320x240 16-bit depth frames, beside
// plain fwrite of the same bytes to a file on the same file system.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kavri/oni.h"

namespace {

constexpr int kWidth = 320, kHeight = 240, kBytesPerPixel = 2, kFps = 30;
constexpr size_t kFrameBytes = size_t{kWidth} * kHeight * kBytesPerPixel;
// Files are restarted every so many frames so a long run does not fill the disk.
constexpr int64_t kFramesPerFile = 300;
constexpr uint64_t kFrameIntervalUs = 33333;

std::string scratch_path(const char *name) {
    const char *dir = getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/" + name + "_" + std::to_string(getpid());
}

std::vector<uint8_t> depth_frame() {
    std::vector<uint8_t> frame(kFrameBytes);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
    return frame;
}

void BM_OniRecordDepth320x240(benchmark::State &state) {
    const std::string path = scratch_path("kavri_bench.oni");
    const auto frame = depth_frame();
    const oni_stream_config_t config{
        ONI_NODE_DEPTH, ONI_PIXEL_FORMAT_DEPTH_1_MM, 4000, kWidth, kHeight, kBytesPerPixel, kFps};
    oni_file_t file;
    oni_stream_t *stream = nullptr;
    int64_t in_file = kFramesPerFile;
    uint64_t timestamp = 0;
    for (auto _ : state) {
        if (in_file == kFramesPerFile) {
            state.PauseTiming();
            if (stream != nullptr) oni_close(&file);
            if (!oni_open(&file, path.c_str()) ||
                (stream = oni_stream_open(&file, &config)) == nullptr) {
                state.SkipWithError("cannot create the ONI file");
                break;
            }
            in_file = 0;
            state.ResumeTiming();
        }
        timestamp += kFrameIntervalUs;
        oni_stream_save_frame(stream, frame.data(), kFrameBytes, timestamp);
        ++in_file;
    }
    if (stream != nullptr) oni_close(&file);
    remove(path.c_str());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFrameBytes));
}
BENCHMARK(BM_OniRecordDepth320x240)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_FwriteDepth320x240(benchmark::State &state) {
    const std::string path = scratch_path("kavri_bench.raw");
    const auto frame = depth_frame();
    FILE *fp = nullptr;
    int64_t in_file = kFramesPerFile;
    for (auto _ : state) {
        if (in_file == kFramesPerFile) {
            state.PauseTiming();
            if (fp != nullptr) fclose(fp);
            fp = fopen(path.c_str(), "wb+");
            if (fp == nullptr) {
                state.SkipWithError("cannot create the file");
                break;
            }
            in_file = 0;
            state.ResumeTiming();
        }
        benchmark::DoNotOptimize(fwrite(frame.data(), 1, frame.size(), fp));
        ++in_file;
    }
    if (fp != nullptr) fclose(fp);
    remove(path.c_str());
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFrameBytes));
}
BENCHMARK(BM_FwriteDepth320x240)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
