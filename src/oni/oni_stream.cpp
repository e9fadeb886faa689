// Streams of an ONI file: the node and property records written at open,
// one new-data record per frame, the seek table and the node rewrite at close.
#include <sys/time.h>

#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "core/le.h"
#include "core/log_internal.h"
#include "kavri/oni.h"
#include "oni/oni.h"
#include "oni/record.h"
#include "oni/stream_tables.h"

using namespace kavri::oni;

namespace {

constexpr uint32_t kCodecNone = 0x454E4F4E;  // 'N', 'O', 'N', 'E'
constexpr uint32_t kUnknownFrameCount = 0xFFFFFFFF;
constexpr uint64_t kUnknownTimestamp = 0xFFFFFFFFFFFFFFFF;
constexpr uint32_t kSeekEntrySize = 20;
constexpr uint32_t kMapOutputModeSize = 12;
constexpr uint32_t kCroppingSize = 12;
constexpr uint64_t kMicrosPerSecond = 1000000;

// Slots 0..2 are taken first; the fourth stream goes to slot 3.
int free_slot(const oni_file_t &file) {
    for (int i = 0; i < ONI_MAX_STREAMS; ++i)
        if (file.streams[i] == nullptr) return i;
    return -1;
}

bool is_depth_format(int32_t format) {
    return format >= ONI_PIXEL_FORMAT_DEPTH_1_MM && format <= ONI_PIXEL_FORMAT_SHIFT_9_3;
}

// The older pixel format code and its bit in the supported-formats mask.
uint32_t legacy_pixel_format(int32_t format) {
    if (is_depth_format(format) || format == ONI_PIXEL_FORMAT_GRAY16) return 4;
    switch (format) {
        case ONI_PIXEL_FORMAT_RGB888:
            return 1;
        case ONI_PIXEL_FORMAT_YUV422:
            return 2;
        case ONI_PIXEL_FORMAT_GRAY8:
            return 3;
        case ONI_PIXEL_FORMAT_JPEG:
            return 5;
        default:
            return 0;
    }
}

uint32_t legacy_pixel_format_mask(int32_t format) {
    const uint32_t legacy = legacy_pixel_format(format);
    return legacy == 0 ? 0 : 1u << (legacy - 1);
}

uint64_t clock_micros() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * kMicrosPerSecond + static_cast<uint64_t>(tv.tv_usec);
}

void write_u32s(uint8_t *out, std::initializer_list<int32_t> values) {
    for (int32_t v : values) {
        kavri::le::put_u32(out, static_cast<uint32_t>(v));
        out += 4;
    }
}

bool write_node_added(oni_stream_t &s, uint32_t frames, uint64_t max_timestamp, int64_t seek_pos,
                      const char *caller) {
    oni_file_t &f = *s.file;
    begin_record(f, RecordType::NodeAdded, s.node_id, 0);
    put_string(f, kavri::oni::AsString(s.config.kind));
    put_u32(f, static_cast<uint32_t>(s.config.kind));
    put_u32(f, s.codec);
    put_u32(f, frames);
    put_u64(f, 0);  // minimum timestamp
    put_u64(f, max_timestamp);
    put_u64(f, static_cast<uint64_t>(seek_pos));
    end_fields(f);
    return write_record(f, caller);
}

// A property record's undo position is the start of the previous record of
// the same property of this node.
void begin_property(oni_stream_t &s, RecordType type, const char *name) {
    oni_file_t &f = *s.file;
    const int64_t undo = s.props->exchange(name, file_position(f));
    begin_record(f, type, s.node_id, static_cast<uint64_t>(undo));
    put_string(f, name);
}

bool write_int_property(oni_stream_t &s, const char *name, uint64_t value, const char *caller) {
    begin_property(s, RecordType::IntProperty, name);
    put_u32(*s.file, sizeof value);
    put_u64(*s.file, value);
    end_fields(*s.file);
    return write_record(*s.file, caller);
}

bool write_general_property(oni_stream_t &s, const char *name, std::span<const uint8_t> data,
                            const char *caller) {
    begin_property(s, RecordType::GeneralProperty, name);
    put_u32(*s.file, static_cast<uint32_t>(data.size()));
    put_bytes(*s.file, data);
    end_fields(*s.file);
    return write_record(*s.file, caller);
}

bool write_properties(oni_stream_t &s, const char *caller) {
    const oni_stream_config_t &c = s.config;
    const uint64_t frame_size = static_cast<uint64_t>(c.y_res) * static_cast<uint64_t>(c.x_res) *
                                static_cast<uint64_t>(c.bytes_per_pixel);
    std::array<uint8_t, kMapOutputModeSize> mode{};
    write_u32s(mode.data(), {c.x_res, c.y_res, c.fps});

    bool ok = write_int_property(s, "oniRequiredFrameSize", frame_size, caller);
    ok = ok && write_int_property(s, "xnIsGenerating", 1, caller);
    if (ok && (c.pixel_format == ONI_PIXEL_FORMAT_DEPTH_1_MM ||
               c.pixel_format == ONI_PIXEL_FORMAT_DEPTH_100_UM))
        ok = write_int_property(s, "xnDeviceMaxDepth", static_cast<uint64_t>(c.max_depth), caller);
    ok = ok && write_int_property(s, "xnSupportedMapOutputModesCount", 1, caller);
    ok = ok && write_general_property(s, "xnSupportedMapOutputModes", mode, caller);
    ok = ok && write_general_property(s, "xnMapOutputMode", mode, caller);
    if (ok && c.pixel_format != ONI_PIXEL_FORMAT_NONE) {
        std::array<uint8_t, 4> mask{};
        kavri::le::put_u32(mask.data(), legacy_pixel_format_mask(c.pixel_format));
        ok = write_general_property(s, "xnSupportedPixelFormats", mask, caller) &&
             write_int_property(s, "xnPixelFormat", legacy_pixel_format(c.pixel_format), caller);
    }
    ok = ok &&
         write_int_property(s, "oniPixelFormat",
                            static_cast<uint64_t>(static_cast<int64_t>(c.pixel_format)), caller);
    // Players drop every frame of a stream that carries no cropping property:
    // record cropping as disabled.
    const std::array<uint8_t, kCroppingSize> no_cropping{};
    ok = ok && write_general_property(s, "xnCropping", no_cropping, caller);
    return ok;
}

bool write_begin_records(oni_file_t &f, const char *caller) {
    for (oni_stream_t *s : f.streams) {
        if (s == nullptr) continue;
        begin_record(f, RecordType::NodeStateReady, s->node_id, 0);
        end_fields(f);
        if (!write_record(f, caller)) return false;
        begin_record(f, RecordType::NodeDataBegin, s->node_id, 0);
        put_u32(f, kUnknownFrameCount);
        put_u64(f, kUnknownTimestamp);
        end_fields(f);
        if (!write_record(f, caller)) return false;
    }
    return true;
}

void serialise_seek_table(const oni_seek_list &seeks, uint8_t *out) {
    memset(out, 0, kSeekEntrySize);
    out += kSeekEntrySize;
    for (const auto &e : seeks.entries) {
        kavri::le::put_u64(out, e.timestamp);
        kavri::le::put_u32(out + 8, e.config_id);
        kavri::le::put_u64(out + 12, static_cast<uint64_t>(e.pos));
        out += kSeekEntrySize;
    }
}

bool write_seek_table(oni_stream_t &s, const char *caller) {
    oni_file_t &f = *s.file;
    begin_record(f, RecordType::SeekTable, s.node_id, 0);
    end_fields(f);
    const size_t size = (s.seeks->entries.size() + 1) * kSeekEntrySize;
    if (size <= room_left(f)) {
        serialise_seek_table(*s.seeks, f.record_buf + f.record_cursor);
        f.record_cursor += static_cast<uint32_t>(size);
        return write_record(f, caller);
    }
    // Longer recordings than the buffer holds: the table goes out in full
    // from a buffer of its own.
    std::vector<uint8_t> table(size);
    serialise_seek_table(*s.seeks, table.data());
    return write_record_with_payload(f, table, caller);
}

void free_stream(oni_stream_t *s) {
    if (s == nullptr) return;
    delete s->props;
    delete s->seeks;
    delete s;
}

void release_slot(oni_stream_t *s) {
    oni_file_t &f = *s->file;
    for (auto &slot : f.streams)
        if (slot == s) slot = nullptr;
}

bool file_is_open(const oni_file_t &f) {
    return f.fp != nullptr && f.record_buf != nullptr;
}

}  // namespace

extern "C" KAVRI_API oni_stream_t *oni_stream_open(oni_file_t *file,
                                                   const oni_stream_config_t *config) {
    if (file == nullptr || config == nullptr) return nullptr;
    if (!file_is_open(*file)) {
        KV_ERR("[%s] file is not open\r\n", __func__);
        return nullptr;
    }
    // A stream may be recorded without a resolution (all 0); a negative size
    // would be written as a huge unsigned one.
    if (config->x_res < 0 || config->y_res < 0 || config->bytes_per_pixel < 0) {
        KV_ERR("[%s] bad stream size %dx%d, %d bytes per pixel\r\n", __func__, config->x_res,
               config->y_res, config->bytes_per_pixel);
        return nullptr;
    }
    // Players learn a file's streams from the records before the first frame
    // and fail on data of a stream that appears later.
    if (file->first_frame_written) {
        KV_ERR("[%s] streams must be opened before the first frame is saved\r\n", __func__);
        return nullptr;
    }
    const int slot = free_slot(*file);
    if (slot < 0) {
        KV_ERR("[%s] file already holds %d streams\r\n", __func__, ONI_MAX_STREAMS);
        return nullptr;
    }

    oni_stream_t *s = new (std::nothrow) oni_stream_t{};
    if (s == nullptr) return nullptr;
    s->props = new (std::nothrow) oni_prop_table;
    s->seeks = new (std::nothrow) oni_seek_list;
    if (s->props == nullptr || s->seeks == nullptr) {
        free_stream(s);
        return nullptr;
    }
    s->file = file;
    s->config = *config;
    s->node_id = static_cast<uint32_t>(slot + 1);
    s->codec = kCodecNone;
    file->streams[slot] = s;

    bool ok = false;
    try {
        s->node_added_pos = file_position(*file);
        ok = s->node_added_pos >= 0 &&
             write_node_added(*s, kUnknownFrameCount, kUnknownTimestamp, 0, __func__) &&
             write_properties(*s, __func__);
    } catch (const std::bad_alloc &) {
        KV_ERR("[%s] out of memory\r\n", __func__);
    }
    if (!ok) {
        KV_ERR("[%s] stream %u could not be recorded\r\n", __func__, s->node_id);
        release_slot(s);
        free_stream(s);
        return nullptr;
    }
    if (s->node_id > file->max_node_id) file->max_node_id = static_cast<uint16_t>(s->node_id);
    return s;
}

extern "C" KAVRI_API void oni_stream_save_frame(oni_stream_t *stream, const void *data,
                                                uint32_t size, uint64_t timestamp) {
    if (stream == nullptr || data == nullptr || stream->file == nullptr) return;
    oni_file_t &f = *stream->file;
    if (!file_is_open(f)) {
        KV_ERR("[%s] file is not open\r\n", __func__);
        return;
    }
    if (!f.first_frame_written) {
        if (!write_begin_records(f, __func__)) return;
        f.first_frame_written = 1;
    }
    if (timestamp == 0) timestamp = clock_micros();

    const int64_t pos = file_position(f);
    if (pos < 0) {
        KV_ERR("[%s] cannot tell the file position\r\n", __func__);
        return;
    }
    begin_record(f, RecordType::NewData, stream->node_id,
                 static_cast<uint64_t>(stream->last_data_pos));
    put_u64(f, timestamp);
    put_u32(f, stream->frame_count + 1);
    end_fields(f);
    if (!write_record_with_payload(f, {static_cast<const uint8_t *>(data), size}, __func__, pos)) {
        KV_ERR("[%s] frame %u of stream %u lost\r\n", __func__, stream->frame_count + 1,
               stream->node_id);
        return;
    }
    try {
        stream->seeks->entries.push_back({timestamp, f.config_id, pos});
    } catch (const std::bad_alloc &) {
        KV_ERR("[%s] out of memory for the seek table\r\n", __func__);
    }
    stream->last_timestamp = timestamp;
    stream->frame_count += 1;
    stream->last_data_pos = pos;
}

void kavri::oni::stream_close(oni_stream_t *stream) {
    constexpr const char *tag = "oni_stream_close";
    if (stream == nullptr || stream->file == nullptr) return;
    oni_file_t &f = *stream->file;
    if (file_is_open(f)) {
        try {
            begin_record(f, RecordType::NodeRemoved, stream->node_id,
                         static_cast<uint64_t>(stream->node_added_pos));
            end_fields(f);
            write_record(f, tag);

            const int64_t seek_table_pos = file_position(f);
            if (!write_seek_table(*stream, tag))
                KV_ERR("[%s] seek table of stream %u not written\r\n", tag, stream->node_id);
            const int64_t end_pos = file_position(f);
            if (seek_to(f, stream->node_added_pos, tag)) {
                write_node_added(*stream, stream->frame_count, stream->last_timestamp,
                                 seek_table_pos, tag);
                seek_to(f, end_pos, tag);
            }
        } catch (const std::bad_alloc &) {
            KV_ERR("[%s] out of memory\r\n", tag);
        }
    }
    release_slot(stream);
    free_stream(stream);
}

extern "C" KAVRI_API void oni_stream_close(oni_stream_t *stream) {
    kavri::oni::stream_close(stream);
}

extern "C" KAVRI_API int emit_RECORD_REAL_PROPERTY(oni_file_t *file, uint32_t node_id,
                                                   uint32_t undo_pos_low, uint32_t undo_pos_high,
                                                   const char *name, double value) {
    if (file == nullptr || file->record_buf == nullptr || file->record_capacity == 0) return 1;
    const uint64_t undo = static_cast<uint64_t>(undo_pos_high) << 32 | undo_pos_low;
    begin_record(*file, RecordType::RealProperty, node_id, undo);
    put_string(*file, name != nullptr ? name : "");
    put_u32(*file, sizeof value);
    put_u64(*file, std::bit_cast<uint64_t>(value));
    end_fields(*file);
    return 0;
}

extern "C" KAVRI_API void oni_stream_save_property(void) {}

const char *kavri::oni::AsString(int32_t kind) {
    switch (kind) {
        case ONI_NODE_DEVICE:
            return "Device";
        case ONI_NODE_DEPTH:
            return "Depth";
        case ONI_NODE_IMAGE:
            return "Image";
        case ONI_NODE_IR:
            return "IR";
        default:
            return "Invalid";
    }
}

extern "C" KAVRI_API const char *AsString(int32_t kind) {
    return kavri::oni::AsString(kind);
}
