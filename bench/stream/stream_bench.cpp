// Stream parser throughput on camera-sized frames, beside a plain memcpy of
// the same bytes: 614400-byte frames arriving in 153600-byte transfers.
#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <cstring>
#include <random>
#include <vector>

#include "core/le.h"
#include "kavri/stream.h"
#include "stream/stream_hdr.h"
#include "stream/stream_impl.h"

namespace {

constexpr uint32_t kFrameLen = 614400;
constexpr uint32_t kPieceLen = 153600;
constexpr uint32_t kFrames = 8;
constexpr uint32_t kMaxFrames = 10;

namespace st = kavri::stream;

// One chunk per frame, as the camera sends full frames.
std::vector<uint8_t> make_stream(bool with_sum) {
    std::mt19937 rng(1);
    std::vector<uint8_t> out;
    for (uint32_t f = 0; f < kFrames; ++f) {
        std::vector<uint8_t> payload(kFrameLen);
        for (auto &b : payload) b = uint8_t(rng());
        uint8_t h[st::kHdrSize] = {};
        h[0] = st::kSync0;
        h[1] = st::kSync1;
        kavri::le::put_u16(h + st::kOffSidx, uint16_t(f));
        kavri::le::put_u32(h + st::kOffLen, kFrameLen);
        kavri::le::put_u32(h + st::kOffFrlen, kFrameLen);
        kavri::le::put_u16(h + st::kOffFridx, uint16_t(f));
        kavri::le::put_u32(h + st::kOffDataSum,
                           with_sum ? st::sum_le_words(payload.data(), kFrameLen) : 0);
        h[st::kOffFlagsA] = st::kFlagFrameStart;
        h[st::kOffFlagsB] = with_sum ? st::kFlagDataSum : 0;
        kavri::le::put_u16(h + st::kOffHdrSum, st::fletcher16(h, st::kHdrSumCovered));
        out.insert(out.end(), h, h + st::kHdrSize);
        out.insert(out.end(), payload.begin(), payload.end());
    }
    return out;
}

// Page faults of the process so far: fresh frame memory faults in page by page.
long minor_faults() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_minflt;
}

// args: data checksum on/off, frame node recycling on/off.
void BM_StreamFeedFetch(benchmark::State &state) {
    const bool with_sum = state.range(0) != 0;
    const bool recycle = state.range(1) != 0;
    const std::vector<uint8_t> stream = make_stream(with_sum);
    std::vector<uint8_t> dst(kFrameLen);
    kv_stream_t *s = kv_stream_create(kv_stream_cfg_t{kMaxFrames});
    st::set_node_recycling(s, recycle);
    uint64_t frames = 0;
    const long faults_before = minor_faults();
    for (auto _ : state) {
        for (size_t off = 0; off < stream.size(); off += kPieceLen) {
            const auto n = int32_t(std::min<size_t>(kPieceLen, stream.size() - off));
            if (kv_stream_feed_input(s, stream.data() + off, n)) {
                frames += kv_stream_fetch_frames(s, dst.data(), kFrameLen, 1, nullptr, 0);
            }
        }
        benchmark::DoNotOptimize(dst.data());
    }
    const long faults = minor_faults() - faults_before;
    state.counters["faults_per_frame"] = frames ? double(faults) / double(frames) : 0.0;
    kv_stream_state_t stt{};
    kv_stream_get_state(s, &stt);
    if (stt.frames_discarded != 0 || stt.frames_dropped != 0 || frames == 0)
        state.SkipWithError("frames were lost");
    kv_stream_destroy(s);
    state.SetBytesProcessed(int64_t(state.iterations()) * kFrames * kFrameLen);
}
BENCHMARK(BM_StreamFeedFetch)
    ->ArgNames({"sum", "recycle"})
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({1, 1});

// The baseline: one copy of the same frame bytes into the consumer's buffer.
void BM_Memcpy(benchmark::State &state) {
    const std::vector<uint8_t> stream = make_stream(false);
    std::vector<uint8_t> dst(kFrameLen);
    for (auto _ : state) {
        for (uint32_t f = 0; f < kFrames; ++f) {
            std::memcpy(dst.data(), stream.data() + f * (kFrameLen + st::kHdrSize) + st::kHdrSize,
                        kFrameLen);
            benchmark::ClobberMemory();
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kFrames * kFrameLen);
}
BENCHMARK(BM_Memcpy);

}  // namespace

BENCHMARK_MAIN();
