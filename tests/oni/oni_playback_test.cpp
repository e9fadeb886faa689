// Files the writer produces play back in OpenNI2: every frame arrives in
// order with its index, timestamp and bytes, and the video modes and frame
// counts are those recorded. The player runs in a child process (see
// oni_reader.cpp); seek positions are checked on the file itself, since
// OpenNI2's own seek cannot be trusted to run.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "oni_parse.h"
#include "oni_test_util.h"

using namespace oni_test;

namespace {

constexpr unsigned kReaderTimeLimitS = 60;

struct ReaderRun {
    bool exited = false;
    int status = -1;
    std::string out;
};

ReaderRun run_reader(const std::string &oni, const std::string &dump) {
    ReaderRun run;
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return run;
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(pipe_fds[1], STDOUT_FILENO);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        alarm(kReaderTimeLimitS);  // survives exec: a hung player is killed
        execl(ONI_READER_PATH, ONI_READER_PATH, oni.c_str(), dump.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(pipe_fds[1]);
    if (pid < 0) {
        close(pipe_fds[0]);
        return run;
    }
    char buf[4096];
    ssize_t n;
    while ((n = read(pipe_fds[0], buf, sizeof buf)) > 0)
        run.out.append(buf, static_cast<size_t>(n));
    close(pipe_fds[0]);
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    run.exited = WIFEXITED(wstatus);
    run.status = run.exited ? WEXITSTATUS(wstatus) : WTERMSIG(wstatus);
    return run;
}

struct StreamSeen {
    int width = 0, height = 0, fps = 0, pixel_format = 0, frames = 0;
};
struct FrameSeen {
    std::string kind;
    int index = 0;
    uint64_t timestamp = 0;
    size_t size = 0;
};
struct Playback {
    std::map<std::string, StreamSeen> streams;
    std::vector<FrameSeen> frames;
    std::string last_line;
    std::string error;
};

Playback parse_report(const std::string &out) {
    Playback p;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string what;
        words >> what;
        if (what == "stream") {
            std::string kind;
            StreamSeen s;
            words >> kind >> s.width >> s.height >> s.fps >> s.pixel_format >> s.frames;
            p.streams[kind] = s;
        } else if (what == "frame") {
            FrameSeen f;
            words >> f.kind >> f.index >> f.timestamp >> f.size;
            p.frames.push_back(f);
        } else if (what == "error") {
            p.error = line;
        }
        p.last_line = line;
    }
    return p;
}

const char *reader_kind(int32_t node_type) {
    switch (node_type) {
        case ONI_NODE_DEPTH:
            return "depth";
        case ONI_NODE_IMAGE:
            return "image";
        case ONI_NODE_IR:
            return "ir";
        default:
            return "?";
    }
}

struct Recorded {
    oni_stream_config_t config;
    unsigned frames;
};

struct PlaybackCase {
    const char *name;
    std::vector<Recorded> streams;
};

void PrintTo(const PlaybackCase &c, std::ostream *os) {
    *os << c.name;
}

uint64_t timestamp_of(size_t stream, unsigned frame) {
    return 1000 + frame * 33333ull + stream * 7;
}

class OniPlayback : public ScratchDir, public ::testing::WithParamInterface<PlaybackCase> {};

TEST_P(OniPlayback, EveryFrameArrivesAsWritten) {
    const PlaybackCase &c = GetParam();
    const std::string oni = path("rec.oni"), dump = path("frames.bin");

    // Record: the streams' frames interleaved, frame by frame.
    oni_file_t file;
    ASSERT_EQ(oni_open(&file, oni.c_str()), 1);
    std::vector<oni_stream_t *> streams;
    for (const auto &s : c.streams) {
        streams.push_back(oni_stream_open(&file, &s.config));
        ASSERT_NE(streams.back(), nullptr);
    }
    std::map<std::string, std::vector<std::vector<uint8_t>>> written;
    for (unsigned k = 0;; ++k) {
        bool any = false;
        for (size_t i = 0; i < c.streams.size(); ++i) {
            if (k >= c.streams[i].frames) continue;
            any = true;
            auto frame = make_frame(c.streams[i].config, k);
            oni_stream_save_frame(streams[i], frame.data(), static_cast<uint32_t>(frame.size()),
                                  timestamp_of(i, k));
            written[reader_kind(c.streams[i].config.kind)].push_back(std::move(frame));
        }
        if (!any) break;
    }
    oni_close(&file);

    // Seek entries point at the start of their frame's new-data record.
    const File parsed = parse(oni);
    ASSERT_TRUE(parsed.well_formed);
    for (size_t i = 0; i < c.streams.size(); ++i) {
        const auto seek = parsed.of_type(14, static_cast<uint32_t>(i + 1));
        ASSERT_EQ(seek.size(), 1u);
        ASSERT_EQ(seek[0]->payload.size(), (c.streams[i].frames + 1) * 20u);
        for (unsigned k = 0; k < c.streams[i].frames; ++k) {
            const uint8_t *e = seek[0]->payload.data() + 20 * (k + 1);
            const Record *r = parsed.at_offset(kavri::le::get_u64(e + 12));
            ASSERT_NE(r, nullptr) << "entry " << k << " points inside a record";
            EXPECT_EQ(r->type, 10u);
            EXPECT_EQ(r->node_id, i + 1);
            EXPECT_EQ(r->u32(8), k + 1);
            EXPECT_EQ(kavri::le::get_u64(e), timestamp_of(i, k));
        }
    }

    // Play it back.
    const ReaderRun run = run_reader(oni, dump);
    const Playback seen = parse_report(run.out);
    ASSERT_TRUE(seen.error.find("error initialize") == std::string::npos)
        << "OpenNI2 cannot be initialised on this machine (is libopenni2-0 with its "
           "drivers installed?): "
        << seen.error;
    ASSERT_TRUE(run.exited && run.status == 0)
        << "OpenNI2 reader " << (run.exited ? "exited with " : "killed by signal ") << run.status
        << "\n"
        << run.out;
    ASSERT_EQ(seen.last_line, "done") << run.out;

    ASSERT_EQ(seen.streams.size(), c.streams.size()) << run.out;
    for (const auto &s : c.streams) {
        const char *kind = reader_kind(s.config.kind);
        ASSERT_EQ(seen.streams.count(kind), 1u) << kind;
        const StreamSeen &m = seen.streams.at(kind);
        EXPECT_EQ(m.width, s.config.x_res) << kind;
        EXPECT_EQ(m.height, s.config.y_res) << kind;
        EXPECT_EQ(m.fps, s.config.fps) << kind;
        EXPECT_EQ(m.pixel_format, s.config.pixel_format) << kind;
        EXPECT_EQ(m.frames, static_cast<int>(s.frames)) << kind;
    }

    const std::vector<uint8_t> dumped = read_bytes(dump);
    std::map<std::string, int> next_index;
    size_t offset = 0;
    size_t total = 0;
    for (const auto &[kind, frames] : written) total += frames.size();
    ASSERT_EQ(seen.frames.size(), total) << run.out;
    for (const FrameSeen &f : seen.frames) {
        const int index = ++next_index[f.kind];
        size_t stream = 0;
        while (stream < c.streams.size() && reader_kind(c.streams[stream].config.kind) != f.kind)
            ++stream;
        ASSERT_LT(stream, c.streams.size()) << f.kind;
        EXPECT_EQ(f.index, index) << f.kind;
        EXPECT_EQ(f.timestamp, timestamp_of(stream, static_cast<unsigned>(index - 1))) << f.kind;
        const auto &expected = written.at(f.kind).at(static_cast<size_t>(index - 1));
        ASSERT_EQ(f.size, expected.size()) << f.kind << " frame " << index;
        ASSERT_LE(offset + f.size, dumped.size());
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), dumped.begin() + offset))
            << f.kind << " frame " << index << " differs";
        offset += f.size;
    }
    EXPECT_EQ(offset, dumped.size());
}

INSTANTIATE_TEST_SUITE_P(
    Streams, OniPlayback,
    ::testing::Values(PlaybackCase{"DepthOnly", {{kDepth320, 6}}},
                      PlaybackCase{"DepthAndIr", {{kDepth320, 6}, {kIr320, 5}}},
                      PlaybackCase{"DepthAndImage", {{kDepth320, 5}, {kImage320, 6}}}),
    [](const auto &info) { return std::string(info.param.name); });

}  // namespace
