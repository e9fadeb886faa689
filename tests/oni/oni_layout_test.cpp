// The bytes the writer puts on disk: header, node and property records,
// begin records, new-data records with their links, seek tables, the rewrite
// of the node record and the header at close.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstring>
#include <string>
#include <vector>

#include "oni_parse.h"
#include "oni_test_util.h"

using namespace oni_test;

namespace {

constexpr uint32_t kIntProperty = 3, kGeneralProperty = 6, kNodeRemoved = 7, kDataBegin = 8,
                   kStateReady = 9, kNewData = 10, kEnd = 11, kNodeAdded = 13, kSeekTable = 14;

struct NodeAdded {
    std::string name;
    uint32_t type, codec, frames;
    uint64_t min_ts, max_ts, seek_pos;
};

NodeAdded node_added(const Record &r) {
    const size_t at = r.str_end(0);
    return {r.str(0),       r.u32(at),      r.u32(at + 4), r.u32(at + 8),
            r.u64(at + 12), r.u64(at + 20), r.u64(at + 28)};
}

std::vector<std::string> property_names(const File &f, uint32_t node) {
    std::vector<std::string> names;
    for (const auto &r : f.records)
        if ((r.type == kIntProperty || r.type == kGeneralProperty) && r.node_id == node)
            names.push_back(r.str(0));
    return names;
}

const Record *property(const File &f, uint32_t node, const std::string &name) {
    for (const auto &r : f.records)
        if ((r.type == kIntProperty || r.type == kGeneralProperty) && r.node_id == node &&
            r.str(0) == name)
            return &r;
    return nullptr;
}

uint64_t int_property(const File &f, uint32_t node, const std::string &name) {
    const Record *r = property(f, node, name);
    EXPECT_NE(r, nullptr) << name;
    if (r == nullptr) return ~0ull;
    EXPECT_EQ(r->u32(r->str_end(0)), 8u) << name;
    return r->u64(r->str_end(0) + 4);
}

std::vector<uint8_t> general_property(const File &f, uint32_t node, const std::string &name) {
    const Record *r = property(f, node, name);
    EXPECT_NE(r, nullptr) << name;
    if (r == nullptr) return {};
    const size_t at = r->str_end(0);
    return {r->fields.begin() + at + 4, r->fields.begin() + at + 4 + r->u32(at)};
}

std::vector<uint8_t> u32_bytes(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> out;
    for (uint32_t v : values)
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return out;
}

uint64_t now_micros() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

class OniLayout : public ScratchDir {};

TEST_F(OniLayout, ZeroFrameDepthFile) {
    oni_file_t file;
    ASSERT_EQ(oni_open(&file, path("empty.oni").c_str()), 1);
    EXPECT_EQ(file.record_capacity, ONI_RECORD_BUFFER_SIZE);
    ASSERT_NE(oni_stream_open(&file, &kDepth320), nullptr);
    oni_close(&file);
    EXPECT_EQ(file.fp, nullptr);
    EXPECT_EQ(file.record_buf, nullptr);

    const File f = parse(path("empty.oni"));
    ASSERT_TRUE(f.well_formed);
    const std::vector<uint8_t> header = {'N',  'I',  '1',  '0',  1,    0,    1,    0,
                                         0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF,
                                         0xFF, 0xFF, 0xFF, 0xFF, 1,    0,    0,    0};
    EXPECT_EQ(std::vector<uint8_t>(f.bytes.begin(), f.bytes.begin() + 24), header);

    std::vector<uint32_t> types;
    for (const auto &r : f.records) types.push_back(r.type);
    const std::vector<uint32_t> expected_types = {13, 3, 3, 3, 3, 6, 6, 6, 3, 3, 6, 7, 14, 11};
    EXPECT_EQ(types, expected_types);

    const Record &added = f.records.front();
    EXPECT_EQ(added.offset, 24u);
    EXPECT_EQ(added.node_id, 1u);
    EXPECT_EQ(added.fields_size, 74u);
    EXPECT_EQ(added.payload_size, 0u);
    EXPECT_EQ(added.undo, 0u);
    EXPECT_EQ(added.u32(0), 6u);
    const NodeAdded n = node_added(added);
    EXPECT_EQ(n.name, "Depth");
    EXPECT_EQ(n.type, 2u);
    EXPECT_EQ(n.codec, 0x454E4F4Eu);
    EXPECT_EQ(std::string(added.fields.begin() + 14, added.fields.begin() + 18), "NONE");
    EXPECT_EQ(n.frames, 0u);
    EXPECT_EQ(n.min_ts, 0u);
    EXPECT_EQ(n.max_ts, 0u);
    EXPECT_EQ(n.seek_pos, f.of_type(kSeekTable).at(0)->offset);

    const std::vector<std::string> names = {"oniRequiredFrameSize",
                                            "xnIsGenerating",
                                            "xnDeviceMaxDepth",
                                            "xnSupportedMapOutputModesCount",
                                            "xnSupportedMapOutputModes",
                                            "xnMapOutputMode",
                                            "xnSupportedPixelFormats",
                                            "xnPixelFormat",
                                            "oniPixelFormat",
                                            "xnCropping"};
    EXPECT_EQ(property_names(f, 1), names);
    EXPECT_EQ(int_property(f, 1, "oniRequiredFrameSize"), 153600u);
    EXPECT_EQ(int_property(f, 1, "xnIsGenerating"), 1u);
    EXPECT_EQ(int_property(f, 1, "xnDeviceMaxDepth"), 4000u);
    EXPECT_EQ(int_property(f, 1, "xnSupportedMapOutputModesCount"), 1u);
    EXPECT_EQ(general_property(f, 1, "xnSupportedMapOutputModes"), u32_bytes({320, 240, 30}));
    EXPECT_EQ(general_property(f, 1, "xnMapOutputMode"), u32_bytes({320, 240, 30}));
    EXPECT_EQ(general_property(f, 1, "xnSupportedPixelFormats"), u32_bytes({0x08}));
    EXPECT_EQ(int_property(f, 1, "xnPixelFormat"), 4u);
    EXPECT_EQ(int_property(f, 1, "oniPixelFormat"), 100u);
    EXPECT_EQ(general_property(f, 1, "xnCropping"), std::vector<uint8_t>(12, 0));
    for (const auto &r : f.records) {
        if (r.type != kIntProperty && r.type != kGeneralProperty) continue;
        EXPECT_EQ(r.undo, 0u) << r.str(0);
        EXPECT_EQ(r.payload_size, 0u) << r.str(0);
        EXPECT_EQ(r.fields_size, 28 + r.fields.size());
    }
    // One integer property byte for byte.
    const Record *required = property(f, 1, "oniRequiredFrameSize");
    std::vector<uint8_t> expected_record =
        u32_bytes({0x0052494E, 3, 1, 28 + 4 + 21 + 4 + 8, 0, 0, 0});
    const std::vector<uint8_t> name_field = u32_bytes({21});
    expected_record.insert(expected_record.end(), name_field.begin(), name_field.end());
    const std::string name = "oniRequiredFrameSize";
    expected_record.insert(expected_record.end(), name.begin(), name.end());
    expected_record.push_back(0);
    for (uint32_t v : {8u, 153600u, 0u}) {
        const auto b = u32_bytes({v});
        expected_record.insert(expected_record.end(), b.begin(), b.end());
    }
    EXPECT_EQ(
        std::vector<uint8_t>(f.bytes.begin() + required->offset, f.bytes.begin() + required->end()),
        expected_record);

    const Record &removed = *f.of_type(kNodeRemoved).at(0);
    EXPECT_EQ(removed.undo, 24u);
    EXPECT_EQ(removed.fields_size, 28u);
    const Record &seek = *f.of_type(kSeekTable).at(0);
    EXPECT_EQ(seek.payload, std::vector<uint8_t>(20, 0));
    EXPECT_EQ(seek.fields_size, 28u);
    const Record &end = f.records.back();
    EXPECT_EQ(end.node_id, 0u);
    EXPECT_EQ(end.fields_size, 28u);
    EXPECT_EQ(end.payload_size, 0u);
}

struct PixelFormatCase {
    int32_t format;
    bool has_max_depth;
    bool has_legacy;  // xnSupportedPixelFormats and xnPixelFormat
    uint32_t mask;
    uint32_t legacy;
};

void PrintTo(const PixelFormatCase &c, std::ostream *os) {
    *os << "format " << c.format;
}

class OniPixelFormats : public OniLayout, public ::testing::WithParamInterface<PixelFormatCase> {};

TEST_P(OniPixelFormats, PropertiesFollowThePixelFormat) {
    const PixelFormatCase c = GetParam();
    oni_stream_config_t config = kDepth320;
    config.pixel_format = c.format;
    oni_file_t file;
    ASSERT_EQ(oni_open(&file, path("fmt.oni").c_str()), 1);
    ASSERT_NE(oni_stream_open(&file, &config), nullptr);
    oni_close(&file);
    const File f = parse(path("fmt.oni"));
    ASSERT_TRUE(f.well_formed);

    std::vector<std::string> names = {"oniRequiredFrameSize", "xnIsGenerating"};
    if (c.has_max_depth) names.push_back("xnDeviceMaxDepth");
    names.insert(names.end(), {"xnSupportedMapOutputModesCount", "xnSupportedMapOutputModes",
                               "xnMapOutputMode"});
    if (c.has_legacy) names.insert(names.end(), {"xnSupportedPixelFormats", "xnPixelFormat"});
    names.insert(names.end(), {"oniPixelFormat", "xnCropping"});
    EXPECT_EQ(property_names(f, 1), names);
    EXPECT_EQ(int_property(f, 1, "oniPixelFormat"), static_cast<uint64_t>(c.format));
    if (c.has_legacy) {
        EXPECT_EQ(general_property(f, 1, "xnSupportedPixelFormats"), u32_bytes({c.mask}));
        EXPECT_EQ(int_property(f, 1, "xnPixelFormat"), c.legacy);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, OniPixelFormats,
    ::testing::Values(
        PixelFormatCase{0, false, false, 0, 0}, PixelFormatCase{100, true, true, 0x08, 4},
        PixelFormatCase{101, true, true, 0x08, 4}, PixelFormatCase{102, false, true, 0x08, 4},
        PixelFormatCase{103, false, true, 0x08, 4}, PixelFormatCase{200, false, true, 0x01, 1},
        PixelFormatCase{201, false, true, 0x02, 2}, PixelFormatCase{202, false, true, 0x04, 3},
        PixelFormatCase{203, false, true, 0x08, 4}, PixelFormatCase{204, false, true, 0x10, 5},
        PixelFormatCase{999, false, true, 0, 0}),
    [](const auto &info) { return "format" + std::to_string(info.param.format); });

TEST_F(OniLayout, FirstFrameWritesBeginRecordsOfEveryStreamInNodeOrder) {
    oni_file_t file;
    ASSERT_EQ(oni_open(&file, path("two.oni").c_str()), 1);
    oni_stream_t *depth = oni_stream_open(&file, &kDepth320);
    oni_stream_t *ir = oni_stream_open(&file, &kIr320);
    ASSERT_NE(depth, nullptr);
    ASSERT_NE(ir, nullptr);
    EXPECT_EQ(depth->node_id, 1u);
    EXPECT_EQ(ir->node_id, 2u);
    const auto frame = make_frame(kIr320, 0);
    oni_stream_save_frame(ir, frame.data(), static_cast<uint32_t>(frame.size()), 500);
    oni_stream_save_frame(ir, frame.data(), static_cast<uint32_t>(frame.size()), 600);
    oni_close(&file);

    const File f = parse(path("two.oni"));
    ASSERT_TRUE(f.well_formed);
    size_t first_begin = 0;
    while (f.records[first_begin].type != kStateReady) ++first_begin;
    ASSERT_LE(first_begin + 5, f.records.size());
    const std::vector<std::pair<uint32_t, uint32_t>> expected = {
        {kStateReady, 1}, {kDataBegin, 1}, {kStateReady, 2}, {kDataBegin, 2}, {kNewData, 2}};
    for (size_t i = 0; i < expected.size(); ++i) {
        const Record &r = f.records[first_begin + i];
        EXPECT_EQ(r.type, expected[i].first) << i;
        EXPECT_EQ(r.node_id, expected[i].second) << i;
        if (r.type == kDataBegin) {
            EXPECT_EQ(r.fields_size, 40u);
            EXPECT_EQ(r.u32(0), 0xFFFFFFFFu);
            EXPECT_EQ(r.u64(4), ~0ull);
        } else if (r.type == kStateReady) {
            EXPECT_EQ(r.fields_size, 28u);
        }
    }
    EXPECT_EQ(f.of_type(kStateReady).size(), 2u);
    EXPECT_EQ(f.of_type(kDataBegin).size(), 2u);
}

// Frames of two interleaved streams: numbers count from 1 per stream, each
// record links to the start of its stream's previous one, the seek table
// points at every record's start, and the node record is rewritten in place.
TEST_F(OniLayout, NewDataRecordsSeekTableAndNodeRewrite) {
    oni_file_t file;
    ASSERT_EQ(oni_open(&file, path("frames.oni").c_str()), 1);
    oni_stream_t *depth = oni_stream_open(&file, &kDepth320);
    oni_stream_t *ir = oni_stream_open(&file, &kIr320);
    ASSERT_NE(depth, nullptr);
    ASSERT_NE(ir, nullptr);
    const std::vector<std::pair<oni_stream_t *, uint64_t>> saves = {
        {depth, 1000}, {ir, 1001}, {depth, 34000}, {depth, 67000}, {ir, 67001}};
    std::vector<std::vector<uint8_t>> frames;
    for (size_t i = 0; i < saves.size(); ++i) {
        frames.push_back(make_frame(saves[i].first->config, static_cast<unsigned>(i)));
        oni_stream_save_frame(saves[i].first, frames.back().data(),
                              static_cast<uint32_t>(frames.back().size()), saves[i].second);
    }
    EXPECT_EQ(depth->frame_count, 3u);
    EXPECT_EQ(ir->frame_count, 2u);
    EXPECT_EQ(depth->last_timestamp, 67000u);
    oni_close(&file);

    const File f = parse(path("frames.oni"));
    ASSERT_TRUE(f.well_formed);
    const auto data = f.of_type(kNewData);
    ASSERT_EQ(data.size(), saves.size());
    const std::vector<uint32_t> numbers = {1, 1, 2, 3, 2};
    std::vector<uint64_t> previous_start(3, 0);
    for (size_t i = 0; i < data.size(); ++i) {
        const Record &r = *data[i];
        const uint32_t node = i == 1 || i == 4 ? 2 : 1;
        EXPECT_EQ(r.node_id, node) << i;
        EXPECT_EQ(r.fields_size, 40u);
        EXPECT_EQ(r.u64(0), saves[i].second) << i;
        EXPECT_EQ(r.u32(8), numbers[i]) << i;
        EXPECT_EQ(r.undo, previous_start[node]) << i;
        EXPECT_EQ(r.payload, frames[i]) << i;
        previous_start[node] = r.offset;
    }

    for (uint32_t node : {1u, 2u}) {
        const Record &added = *f.of_type(kNodeAdded, node).at(0);
        const NodeAdded n = node_added(added);
        const Record &seek = *f.of_type(kSeekTable, node).at(0);
        EXPECT_EQ(n.seek_pos, seek.offset);
        EXPECT_EQ(n.frames, node == 1 ? 3u : 2u);
        EXPECT_EQ(n.max_ts, node == 1 ? 67000u : 67001u);
        EXPECT_EQ(f.of_type(kNodeRemoved, node).at(0)->undo, added.offset);

        std::vector<const Record *> mine;
        for (const Record *r : data)
            if (r->node_id == node) mine.push_back(r);
        ASSERT_EQ(seek.payload.size(), (mine.size() + 1) * 20);
        EXPECT_EQ(std::vector<uint8_t>(seek.payload.begin(), seek.payload.begin() + 20),
                  std::vector<uint8_t>(20, 0));
        for (size_t k = 0; k < mine.size(); ++k) {
            const uint8_t *e = seek.payload.data() + 20 * (k + 1);
            EXPECT_EQ(kavri::le::get_u64(e), mine[k]->u64(0));
            EXPECT_EQ(kavri::le::get_u32(e + 8), 0u);
            EXPECT_EQ(kavri::le::get_u64(e + 12), mine[k]->offset) << "entry " << k;
        }
    }
}

TEST_F(OniLayout, TimestampZeroTakesTheClock) {
    oni_file_t file;
    ASSERT_EQ(oni_open(&file, path("clock.oni").c_str()), 1);
    oni_stream_t *depth = oni_stream_open(&file, &kDepth320);
    ASSERT_NE(depth, nullptr);
    const auto frame = make_frame(kDepth320, 0);
    const uint64_t before = now_micros();
    oni_stream_save_frame(depth, frame.data(), static_cast<uint32_t>(frame.size()), 0);
    const uint64_t after = now_micros();
    oni_stream_save_frame(depth, frame.data(), static_cast<uint32_t>(frame.size()), 7);
    oni_close(&file);

    const File f = parse(path("clock.oni"));
    ASSERT_TRUE(f.well_formed);
    const auto data = f.of_type(kNewData);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_GE(data[0]->u64(0), before);
    EXPECT_LE(data[0]->u64(0), after);
    EXPECT_EQ(data[1]->u64(0), 7u);
}

TEST_F(OniLayout, FifthStreamIsRefusedAndSlotsAreReused) {
    oni_file_t file;
    ASSERT_EQ(oni_open(&file, path("five.oni").c_str()), 1);
    oni_stream_t *s[4];
    for (auto &stream : s) {
        stream = oni_stream_open(&file, &kDepth320);
        ASSERT_NE(stream, nullptr);
    }
    EXPECT_EQ(oni_stream_open(&file, &kIr320), nullptr);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(file.streams[i], s[i]);
        EXPECT_EQ(s[i]->node_id, static_cast<uint32_t>(i + 1));
    }
    EXPECT_EQ(file.max_node_id, 4);

    oni_stream_close(s[1]);
    EXPECT_EQ(file.streams[1], nullptr);
    oni_stream_t *again = oni_stream_open(&file, &kIr320);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->node_id, 2u);
    EXPECT_EQ(file.streams[3], s[3]);
    oni_close(&file);

    const File f = parse(path("five.oni"));
    ASSERT_TRUE(f.well_formed);
    EXPECT_EQ(f.bytes[20], 4);
    EXPECT_EQ(f.of_type(kNodeAdded).size(), 5u);
    EXPECT_EQ(f.of_type(kSeekTable).size(), 5u);
}

// OpenNI2 crashes on a stream whose node appears after the first frame.
TEST_F(OniLayout, StreamsOpenOnlyBeforeTheFirstFrame) {
    oni_file_t file;
    ASSERT_EQ(oni_open(&file, path("late.oni").c_str()), 1);
    oni_stream_t *depth = oni_stream_open(&file, &kDepth320);
    ASSERT_NE(depth, nullptr);
    const auto frame = make_frame(kDepth320, 0);
    oni_stream_save_frame(depth, frame.data(), static_cast<uint32_t>(frame.size()), 1);
    EXPECT_EQ(oni_stream_open(&file, &kIr320), nullptr);
    EXPECT_EQ(file.streams[1], nullptr);
    oni_close(&file);
    const File f = parse(path("late.oni"));
    ASSERT_TRUE(f.well_formed);
    EXPECT_EQ(f.of_type(kNodeAdded).size(), 1u);
    EXPECT_EQ(f.bytes[20], 1);
}

// A frame larger than the record buffer keeps every byte; the largest frame
// that still fits goes the one-write way.
TEST_F(OniLayout, FramesBeyondTheRecordBufferAreWrittenInFull) {
    const uint32_t fits = ONI_RECORD_BUFFER_SIZE - 40;
    oni_file_t file;
    ASSERT_EQ(oni_open(&file, path("large.oni").c_str()), 1);
    oni_stream_t *depth = oni_stream_open(&file, &kDepth320);
    ASSERT_NE(depth, nullptr);
    std::vector<uint8_t> big(fits + 1000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31 + (i >> 9));
    oni_stream_save_frame(depth, big.data(), fits, 10);
    oni_stream_save_frame(depth, big.data(), static_cast<uint32_t>(big.size()), 20);
    oni_close(&file);

    const File f = parse(path("large.oni"));
    ASSERT_TRUE(f.well_formed);
    const auto data = f.of_type(kNewData);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[0]->payload_size, fits);
    EXPECT_TRUE(std::equal(data[0]->payload.begin(), data[0]->payload.end(), big.begin()));
    EXPECT_EQ(data[1]->payload_size, big.size());
    EXPECT_EQ(data[1]->payload, big);
    EXPECT_EQ(data[1]->u32(8), 2u);
    EXPECT_EQ(data[1]->undo, data[0]->offset);
}

// More frames than the record buffer has seek entries for: the table still
// lists every frame.
TEST_F(OniLayout, SeekTableBeyondTheRecordBufferIsWrittenInFull) {
    const uint32_t entries_in_buffer = (ONI_RECORD_BUFFER_SIZE - 28) / 20 - 1;
    const uint32_t frames = entries_in_buffer + 1;
    oni_file_t file;
    ASSERT_EQ(oni_open(&file, path("long.oni").c_str()), 1);
    oni_stream_t *tiny = oni_stream_open(&file, &kIr320);
    ASSERT_NE(tiny, nullptr);
    for (uint32_t i = 0; i < frames; ++i) {
        const uint8_t byte = static_cast<uint8_t>(i);
        oni_stream_save_frame(tiny, &byte, 1, i + 1);
    }
    const int64_t last_pos = tiny->last_data_pos;
    oni_close(&file);

    const File f = parse(path("long.oni"));
    ASSERT_TRUE(f.well_formed);
    const Record &seek = *f.of_type(kSeekTable).at(0);
    ASSERT_EQ(seek.payload.size(), (frames + 1) * 20u);
    const uint8_t *last = seek.payload.data() + 20 * frames;
    EXPECT_EQ(kavri::le::get_u64(last), frames);
    EXPECT_EQ(kavri::le::get_u64(last + 12), static_cast<uint64_t>(last_pos));
    const Record *r = f.at_offset(static_cast<uint64_t>(last_pos));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->u32(8), frames);
}

// A frame the file refuses is neither counted nor linked; the next one takes
// its place.
TEST_F(OniLayout, FailedFrameWriteIsNotCounted) {
    oni_file_t file;
    ASSERT_EQ(oni_open(&file, path("fail.oni").c_str()), 1);
    oni_stream_t *depth = oni_stream_open(&file, &kDepth320);
    ASSERT_NE(depth, nullptr);
    const auto frame = make_frame(kDepth320, 1);
    oni_stream_save_frame(depth, frame.data(), static_cast<uint32_t>(frame.size()), 5);

    fflush(file.fp);
    FILE *writable = file.fp;
    file.fp = fopen(path("fail.oni").c_str(), "rb");  // every write fails
    ASSERT_NE(file.fp, nullptr);
    fseek(file.fp, 0, SEEK_END);
    oni_stream_save_frame(depth, frame.data(), static_cast<uint32_t>(frame.size()), 6);
    EXPECT_EQ(depth->frame_count, 1u);
    EXPECT_EQ(depth->last_timestamp, 5u);
    fclose(file.fp);
    file.fp = writable;

    oni_stream_save_frame(depth, frame.data(), static_cast<uint32_t>(frame.size()), 7);
    EXPECT_EQ(depth->frame_count, 2u);
    oni_close(&file);

    const File f = parse(path("fail.oni"));
    ASSERT_TRUE(f.well_formed);
    const auto data = f.of_type(kNewData);
    ASSERT_EQ(data.size(), 2u);
    EXPECT_EQ(data[1]->u64(0), 7u);
    EXPECT_EQ(data[1]->u32(8), 2u);
}

TEST_F(OniLayout, OpenFailuresLeaveNothingBehind) {
    oni_file_t file;
    EXPECT_EQ(oni_open(nullptr, path("x.oni").c_str()), 0);
    EXPECT_EQ(oni_open(&file, nullptr), 0);
    EXPECT_EQ(oni_open(&file, path("missing/dir/x.oni").c_str()), 0);
    EXPECT_EQ(file.record_buf, nullptr);
    EXPECT_EQ(file.record_capacity, 0u);
    EXPECT_EQ(file.fp, nullptr);
    EXPECT_EQ(oni_open(&file, "/dev/full"), 0);  // no room for the header
    EXPECT_EQ(file.fp, nullptr);

    EXPECT_EQ(oni_stream_open(&file, &kDepth320), nullptr);
    EXPECT_EQ(oni_stream_open(nullptr, &kDepth320), nullptr);
    ASSERT_EQ(oni_open(&file, path("ok.oni").c_str()), 1);
    EXPECT_EQ(oni_stream_open(&file, nullptr), nullptr);
    oni_stream_config_t bad = kDepth320;
    bad.x_res = -1;  // no size at all is allowed, a negative one is not
    EXPECT_EQ(oni_stream_open(&file, &bad), nullptr);
    bad = kDepth320;
    bad.bytes_per_pixel = -2;
    EXPECT_EQ(oni_stream_open(&file, &bad), nullptr);
    oni_stream_t *depth = oni_stream_open(&file, &kDepth320);
    ASSERT_NE(depth, nullptr);
    oni_stream_save_frame(depth, nullptr, 10, 1);
    oni_stream_save_frame(nullptr, "x", 1, 1);
    EXPECT_EQ(depth->frame_count, 0u);
    oni_stream_close(nullptr);
    oni_close(&file);
    oni_close(&file);  // a closed object is left cleared
    oni_close(nullptr);
}

TEST_F(OniLayout, StreamWithoutResolutionIsRecorded) {
    oni_stream_config_t sizeless = kDepth320;
    sizeless.x_res = 0;
    sizeless.y_res = 0;
    sizeless.bytes_per_pixel = 0;
    oni_file_t file;
    ASSERT_EQ(oni_open(&file, path("sizeless.oni").c_str()), 1);
    ASSERT_NE(oni_stream_open(&file, &sizeless), nullptr);
    oni_close(&file);
    const File f = parse(path("sizeless.oni"));
    ASSERT_TRUE(f.well_formed);
    EXPECT_EQ(int_property(f, 1, "oniRequiredFrameSize"), 0u);
    EXPECT_EQ(general_property(f, 1, "xnMapOutputMode"),
              u32_bytes({0, 0, static_cast<uint32_t>(kDepth320.fps)}));
}

TEST(OniNames, NodeTypeNames) {
    const std::vector<std::pair<int32_t, const char *>> names = {
        {1, "Device"},  {2, "Depth"},   {3, "Image"},    {5, "IR"},
        {4, "Invalid"}, {0, "Invalid"}, {-1, "Invalid"}, {6, "Invalid"}};
    for (auto [kind, name] : names) EXPECT_STREQ(AsString(kind), name) << kind;
}

TEST_F(OniLayout, RealPropertyIsBuiltButNotWritten) {
    oni_file_t file{};
    EXPECT_EQ(emit_RECORD_REAL_PROPERTY(&file, 1, 0, 0, "zpd", 1.5), 1);
    EXPECT_EQ(emit_RECORD_REAL_PROPERTY(nullptr, 1, 0, 0, "zpd", 1.5), 1);
    ASSERT_EQ(oni_open(&file, path("real.oni").c_str()), 1);
    EXPECT_EQ(emit_RECORD_REAL_PROPERTY(&file, 3, 0x11223344, 0x55, "zpd", 1.5), 0);
    const uint8_t *r = file.record_buf;
    EXPECT_EQ(kavri::le::get_u32(r + 4), 4u);
    EXPECT_EQ(kavri::le::get_u32(r + 8), 3u);
    EXPECT_EQ(kavri::le::get_u32(r + 12), 28u + 8 + 4 + 8);
    EXPECT_EQ(kavri::le::get_u32(r + 16), 0u);
    EXPECT_EQ(kavri::le::get_u64(r + 20), 0x5511223344ull);
    EXPECT_EQ(kavri::le::get_u32(r + 28), 4u);
    EXPECT_STREQ(reinterpret_cast<const char *>(r + 32), "zpd");
    EXPECT_EQ(kavri::le::get_u32(r + 36), 8u);
    double value;
    memcpy(&value, r + 40, sizeof value);
    EXPECT_EQ(value, 1.5);
    oni_stream_save_property();
    oni_close(&file);
    const File f = parse(path("real.oni"));
    EXPECT_TRUE(f.well_formed);
    EXPECT_EQ(f.records.size(), 1u);  // the end record only
}

}  // namespace
