// The stream parser beside its floor. Feeding a frame copies its payload out
// of the transfers into a frame node and fetching it copies the node into the
// application's buffer: two copies, so two chained memcpys of the same bytes
// (transfer -> scratch frame -> application buffer, in the same pieces, with
// the scratch frames and the application buffer reused as the parser reuses
// its nodes) are what the parser cannot beat. The stream is laid out as the
// camera sends it: 614400-byte frames in chunks of 153600 payload bytes,
// each behind its 36-byte header, arriving in 153600-byte transfers, so
// headers fall anywhere inside a transfer.
//
// BM_ParserVsMemcpyPair runs a pass of each in turn and reports the
// throughputs and their ratios from the median pass, so that a busy machine
// slows them alike; the plain benchmarks after it give the same figures the
// usual way.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "core/le.h"
#include "kavri/stream.h"
#include "stream/frame_list.h"
#include "stream/stream_hdr.h"

namespace {

namespace st = kavri::stream;

constexpr uint32_t kFrameLen = 614400;  // a 320 x 240 four-phase frame
constexpr uint32_t kChunkPayload = 153600;
constexpr uint32_t kTransferLen = 153600;
// Four frames fill about the sixteen 153600-byte transfers the capture keeps
// in flight: the source bytes span what they would in the library.
constexpr uint32_t kFrames = 4;
constexpr uint32_t kMaxFrames = 10;
constexpr size_t kParserNodes = 2;  // the frame being fetched and the next one
constexpr double kBytesPerGB = 1e9;

std::vector<uint8_t> make_stream(bool with_sum) {
    std::mt19937 rng(1);
    std::vector<uint8_t> out;
    uint16_t sidx = 0;
    for (uint32_t f = 0; f < kFrames; ++f) {
        for (uint32_t at = 0; at < kFrameLen; at += kChunkPayload) {
            std::vector<uint8_t> payload(std::min(kChunkPayload, kFrameLen - at));
            for (auto &b : payload) b = uint8_t(rng());
            const auto len = static_cast<uint32_t>(payload.size());
            uint8_t h[st::kHdrSize] = {};
            h[0] = st::kSync0;
            h[1] = st::kSync1;
            kavri::le::put_u16(h + st::kOffSidx, sidx++);
            kavri::le::put_u32(h + st::kOffLen, len);
            kavri::le::put_u32(h + st::kOffFrlen, kFrameLen);
            kavri::le::put_u16(h + st::kOffFridx, uint16_t(f));
            kavri::le::put_u32(h + st::kOffDataSum,
                               with_sum ? st::sum_le_words(payload.data(), len) : 0);
            h[st::kOffFlagsA] = at == 0 ? st::kFlagFrameStart : 0;
            h[st::kOffFlagsB] = with_sum ? st::kFlagDataSum : 0;
            kavri::le::put_u16(h + st::kOffHdrSum, st::fletcher16(h, st::kHdrSumCovered));
            out.insert(out.end(), h, h + st::kHdrSize);
            out.insert(out.end(), payload.begin(), payload.end());
        }
    }
    return out;
}

// The memcpy pair's plan: the payload bytes of each transfer, each run of
// them copied to its place in the scratch frame; a frame is copied on to the
// application's buffer when its last run is in.
struct Run {
    uint32_t src;  // offset in the stream
    uint32_t len;
    uint32_t at;  // offset in the frame
};

std::vector<Run> plan_runs(const std::vector<uint8_t> &stream) {
    std::vector<Run> runs;
    uint32_t off = 0, at = 0;
    while (off < stream.size()) {
        off += st::kHdrSize;
        const uint32_t len = std::min(kChunkPayload, kFrameLen - at);
        // A transfer boundary inside the payload splits it into two copies.
        for (uint32_t done = 0; done < len;) {
            const uint32_t to_boundary = kTransferLen - (off + done) % kTransferLen;
            const uint32_t take = std::min(len - done, to_boundary);
            runs.push_back({off + done, take, at});
            done += take;
            at += take;
        }
        off += len;
        if (at == kFrameLen) at = 0;
    }
    return runs;
}

// The bytes both sides read and the application buffer both write; sharing
// them keeps the two from differing only by where their buffers happen to lie.
struct Buffers {
    explicit Buffers(bool with_sum) : stream(make_stream(with_sum)), dst(kFrameLen) {}
    std::vector<uint8_t> stream;
    std::vector<uint8_t> dst;
};

class Parser {
  public:
    explicit Parser(Buffers &b) : b_(b), s_(kv_stream_create(kv_stream_cfg_t{kMaxFrames})) {}
    ~Parser() { kv_stream_destroy(s_); }
    Parser(const Parser &) = delete;
    Parser &operator=(const Parser &) = delete;

    // Every transfer fed, every frame fetched as soon as it is ready.
    uint32_t pass() {
        uint32_t frames = 0;
        const std::vector<uint8_t> &stream = b_.stream;
        for (size_t off = 0; off < stream.size(); off += kTransferLen) {
            const auto n =
                static_cast<int32_t>(std::min<size_t>(kTransferLen, stream.size() - off));
            if (kv_stream_feed_input(s_, stream.data() + off, n))
                frames += kv_stream_fetch_frames(s_, b_.dst.data(), kFrameLen, 1, nullptr, 0);
        }
        benchmark::DoNotOptimize(b_.dst.data());
        return frames;
    }
    bool lost_none() {
        kv_stream_state_t stt{};
        kv_stream_get_state(s_, &stt);
        return stt.frames_discarded == 0 && stt.frames_dropped == 0 && stt.bytes_skipped == 0;
    }

  private:
    Buffers &b_;
    kv_stream_t *s_;
};

// The scratch frames are frame nodes of the parser's own kind, so they lie
// in memory as the parser's nodes do. The parser needs two: a transfer that
// ends a frame goes on with the next one, whose first bytes it stores before
// the application can fetch the finished frame. The pair does the same with
// two scratch frames; with one, it copies each frame on as soon as it is
// whole, which no parser fed whole transfers can do (a stricter floor).
class MemcpyPair {
  public:
    MemcpyPair(Buffers &b, size_t scratch_frames) : b_(b), runs_(plan_runs(b.stream)) {
        for (size_t i = 0; i < scratch_frames; ++i) scratch_.push_back(pool_.acquire(kFrameLen));
    }
    ~MemcpyPair() {
        for (st::FrameNode *n : scratch_) pool_.release(n);
    }
    MemcpyPair(const MemcpyPair &) = delete;
    MemcpyPair &operator=(const MemcpyPair &) = delete;
    bool ok() const {
        return std::find(scratch_.begin(), scratch_.end(), nullptr) == scratch_.end();
    }

    uint32_t pass() {
        const bool at_once = scratch_.size() == 1;
        uint32_t frames = 0;
        size_t cur = 0;
        uint32_t transfer = 0;
        const uint8_t *whole = nullptr;  // a finished frame the application has not taken
        auto take = [&] {
            std::memcpy(b_.dst.data(), whole, kFrameLen);
            benchmark::ClobberMemory();
            whole = nullptr;
            ++frames;
        };
        for (const Run &r : runs_) {
            if (r.src / kTransferLen != transfer) {
                transfer = r.src / kTransferLen;
                if (whole != nullptr) take();
            }
            std::memcpy(scratch_[cur]->data() + r.at, b_.stream.data() + r.src, r.len);
            benchmark::ClobberMemory();
            if (r.at + r.len == kFrameLen) {
                whole = scratch_[cur]->data();
                cur = (cur + 1) % scratch_.size();
                if (at_once) take();
            }
        }
        if (whole != nullptr) take();
        benchmark::DoNotOptimize(b_.dst.data());
        return frames;
    }

  private:
    Buffers &b_;
    std::vector<Run> runs_;
    st::NodePool pool_;
    std::vector<st::FrameNode *> scratch_;
};

double gb_per_s(double ns_per_pass) {
    return static_cast<double>(kFrames) * kFrameLen / kBytesPerGB / (ns_per_pass * 1e-9);
}

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
}

template <class F>
double timed_ns(F &&f) {
    const auto t0 = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
}

// arg: data checksum on the stream (the parser sums while it copies).
void BM_ParserVsMemcpyPair(benchmark::State &state) {
    Buffers buffers(state.range(0) != 0);
    Parser parser(buffers);
    MemcpyPair pair(buffers, kParserNodes), strict(buffers, 1);
    if (!pair.ok() || !strict.ok()) state.SkipWithError("no memory for the scratch frames");
    std::vector<double> parser_ns, pair_ns, strict_ns;
    const std::function<void()> passes[] = {
        [&] { parser_ns.push_back(timed_ns([&] { parser.pass(); })); },
        [&] { pair_ns.push_back(timed_ns([&] { pair.pass(); })); },
        [&] { strict_ns.push_back(timed_ns([&] { strict.pass(); })); },
    };
    size_t first = 0;
    for (auto _ : state) {
        // Rotating the order keeps any of them from always finding the
        // caches as another one left them.
        for (size_t i = 0; i < std::size(passes); ++i) passes[(first + i) % std::size(passes)]();
        first = (first + 1) % std::size(passes);
    }
    if (!parser.lost_none()) state.SkipWithError("the parser lost frames");
    const double parser_gbps = gb_per_s(median(parser_ns));
    const double pair_gbps = gb_per_s(median(pair_ns));
    const double strict_gbps = gb_per_s(median(strict_ns));
    state.counters["parser_GBps"] = parser_gbps;
    state.counters["memcpy_pair_GBps"] = pair_gbps;
    state.counters["ratio"] = pair_gbps > 0 ? parser_gbps / pair_gbps : 0.0;
    state.counters["memcpy_pair_1scratch_GBps"] = strict_gbps;
    state.counters["ratio_1scratch"] = strict_gbps > 0 ? parser_gbps / strict_gbps : 0.0;
}
BENCHMARK(BM_ParserVsMemcpyPair)->ArgName("sum")->Arg(0)->Arg(1)->MinTime(3.0);

void BM_ParserFeedFetch(benchmark::State &state) {
    Buffers buffers(state.range(0) != 0);
    Parser parser(buffers);
    uint64_t frames = 0;
    for (auto _ : state) frames += parser.pass();
    if (!parser.lost_none() || frames != static_cast<uint64_t>(state.iterations()) * kFrames)
        state.SkipWithError("the parser lost frames");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrames * kFrameLen);
}
BENCHMARK(BM_ParserFeedFetch)->ArgName("sum")->Arg(0)->Arg(1);

// arg: scratch frames.
void BM_MemcpyPair(benchmark::State &state) {
    Buffers buffers(false);
    MemcpyPair pair(buffers, static_cast<size_t>(state.range(0)));
    if (!pair.ok()) state.SkipWithError("no memory for the scratch frame");
    for (auto _ : state) pair.pass();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrames * kFrameLen);
}
BENCHMARK(BM_MemcpyPair)->ArgName("scratch")->Arg(kParserNodes)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
