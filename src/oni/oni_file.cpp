// Opening and closing an ONI file: the 24-byte file header, the end record
// and the header rewrite with the highest node id.
#include <array>
#include <cerrno>
#include <cstring>
#include <new>

#include "core/le.h"
#include "core/log_internal.h"
#include "kavri/oni.h"
#include "oni/oni.h"
#include "oni/record.h"

using namespace kavri::oni;

namespace {

constexpr size_t kHeaderSize = 24;
constexpr uint8_t kVersionMajor = 1;
constexpr uint8_t kVersionMinor = 0;
constexpr uint16_t kVersionMaintenance = 1;
constexpr uint32_t kVersionBuild = 0;
constexpr uint64_t kNoMaxTimestamp = 0xFFFFFFFFFFFFFFFF;

bool write_header(oni_file_t &f, const char *caller) {
    std::array<uint8_t, kHeaderSize> h{};
    memcpy(h.data(), "NI10", 4);
    h[4] = kVersionMajor;
    h[5] = kVersionMinor;
    kavri::le::put_u16(h.data() + 6, kVersionMaintenance);
    kavri::le::put_u32(h.data() + 8, kVersionBuild);
    kavri::le::put_u64(h.data() + 12, kNoMaxTimestamp);
    kavri::le::put_u32(h.data() + 20, f.max_node_id);
    if (fwrite(h.data(), 1, h.size(), f.fp) != h.size()) {
        KV_ERR("[%s] file header write failed: %s\r\n", caller, strerror(errno));
        return false;
    }
    return true;
}

void release(oni_file_t &f) {
    if (f.fp != nullptr) fclose(f.fp);
    delete[] f.record_buf;
    memset(&f, 0, sizeof f);
}

}  // namespace

extern "C" KAVRI_API int oni_open(oni_file_t *file, const char *path) {
    if (file == nullptr || path == nullptr) return 0;
    memset(file, 0, sizeof *file);
    file->record_buf = new (std::nothrow) uint8_t[ONI_RECORD_BUFFER_SIZE];
    if (file->record_buf == nullptr) {
        KV_ERR("[%s] no memory for the record buffer\r\n", __func__);
        return 0;
    }
    file->record_capacity = ONI_RECORD_BUFFER_SIZE;
    file->fp = fopen(path, "wb+");
    if (file->fp == nullptr) {
        KV_ERR("[%s] cannot create %s: %s\r\n", __func__, path, strerror(errno));
        release(*file);
        return 0;
    }
    // Flushed at once so that a file that cannot take data fails here.
    if (!write_header(*file, __func__) || fflush(file->fp) != 0) {
        KV_ERR("[%s] cannot write to %s: %s\r\n", __func__, path, strerror(errno));
        release(*file);
        return 0;
    }
    return 1;
}

extern "C" KAVRI_API void oni_close(oni_file_t *file) {
    if (file == nullptr || file->fp == nullptr) return;
    for (oni_stream_t *s : file->streams)
        if (s != nullptr) kavri::oni::stream_close(s);
    if (file->record_buf != nullptr) {
        begin_record(*file, RecordType::End, 0, 0);
        end_fields(*file);
        write_record(*file, __func__);
    }
    if (seek_to(*file, 0, __func__)) write_header(*file, __func__);
    if (fclose(file->fp) != 0)
        KV_ERR("[%s] closing the file failed: %s\r\n", __func__, strerror(errno));
    file->fp = nullptr;
    release(*file);
}
