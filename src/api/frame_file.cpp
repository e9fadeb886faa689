// Frame files: a text header line ("KV_DIST,U16,320,240\n" ...) followed by
// frames of raw little-endian values. Loads treat the file as untrusted: the
// header's geometry is checked against what the file can hold before any
// buffer is sized from it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "core/le.h"
#include "kavri/api.h"
#include "core/log_internal.h"

namespace {

constexpr size_t kHeaderMax = 256;
constexpr float kMmPerM = 1000.0f;

enum class Kind { kDist, kGray };

struct Layout {
    const char *name;      // header text before the geometry
    const char *data_msg;  // log line of a failed data write
    uint32_t value_bytes;
    bool integer_mm;  // distance stored in mm
};

constexpr Layout kDistF32 = {"KV_DIST,F32", "[%s] faile to save KV_DIST F32 data: %d bytes\n", 4,
                             false};
constexpr Layout kDistU32 = {"KV_DIST,U32", "[%s] faile to save KV_DIST U32 data: %d bytes\n", 4,
                             true};
constexpr Layout kDistU16 = {"KV_DIST,U16", "[%s] faile to save KV_DIST U16 data: %d bytes\n", 2,
                             true};
constexpr Layout kGrayU16 = {"KV_GRAY,U16", "[%s] faile to save KV_GRAY U16 data: %d bytes\n", 2,
                             false};
constexpr Layout kGrayU8 = {"KV_GRAY,U8", "[%s] faile to save KV_GRAY U8 data: %d bytes\n", 1,
                            false};

// Geometry of the last header read, per kind, process-wide.
struct Remembered {
    const Layout *layout = nullptr;
    uint32_t width = 0, height = 0;
};
Remembered g_dist, g_gray;

bool write_all(int fd, const void *buf, size_t len) {
    const auto *p = static_cast<const uint8_t *>(buf);
    while (len > 0) {
        const ssize_t r = ::write(fd, p, len);
        if (r <= 0) return false;
        p += r;
        len -= static_cast<size_t>(r);
    }
    return true;
}

ssize_t read_all(int fd, void *buf, size_t len) {
    auto *p = static_cast<uint8_t *>(buf);
    size_t got = 0;
    while (got < len) {
        const ssize_t r = ::read(fd, p + got, len - got);
        if (r < 0) return got > 0 ? static_cast<ssize_t>(got) : -1;
        if (r == 0) break;
        got += static_cast<size_t>(r);
    }
    return static_cast<ssize_t>(got);
}

bool write_header(int fd, const Layout &l, uint32_t w, uint32_t h) {
    char line[kHeaderMax];
    const int len = std::snprintf(line, sizeof line, "%s,%d,%d\n", l.name, static_cast<int>(w),
                                  static_cast<int>(h));
    return len > 0 && write_all(fd, line, static_cast<size_t>(len));
}

// Integer of a float value truncated toward zero; out of range and NaN give
// 0x80000000, whose low bits are 0.
int32_t trunc_i32(float v) {
    if (!(v > -2147483904.0f && v < 2147483648.0f)) return INT32_MIN;
    return static_cast<int32_t>(v);
}

// Encodes count values into the layout's bytes.
std::vector<uint8_t> encode(const Layout &l, const float *data, size_t count, float scale) {
    std::vector<uint8_t> out(count * l.value_bytes);
    for (size_t i = 0; i < count; ++i) {
        uint8_t *b = out.data() + i * l.value_bytes;
        if (&l == &kDistF32) {
            uint32_t bits;
            std::memcpy(&bits, &data[i], sizeof bits);
            kavri::le::put_u32(b, bits);
            continue;
        }
        const auto v = static_cast<uint32_t>(trunc_i32(data[i] * scale));
        if (l.value_bytes == 4)
            kavri::le::put_u32(b, v);
        else if (l.value_bytes == 2)
            kavri::le::put_u16(b, static_cast<uint16_t>(v));
        else
            b[0] = static_cast<uint8_t>(v);
    }
    return out;
}

bool at_start(int fd) {
    return ::lseek(fd, 0, SEEK_CUR) == 0;
}

int save(const char *func, Kind kind, int fd, int format, const float *data, uint32_t count,
         uint32_t w, uint32_t h) {
    const bool dist = kind == Kind::kDist;
    const Layout *l = nullptr;
    if (dist)
        l = format == KAVRI_FRAME_SAVE_FLOAT32  ? &kDistF32
            : format == KAVRI_FRAME_SAVE_UINT32 ? &kDistU32
            : format == KAVRI_FRAME_SAVE_UINT16 ? &kDistU16
                                                : nullptr;
    else
        l = format == KAVRI_FRAME_SAVE_UINT16  ? &kGrayU16
            : format == KAVRI_FRAME_SAVE_UINT8 ? &kGrayU8
                                               : nullptr;
    if (l == nullptr) {
        KV_ERR(dist ? "[%s] wrong distance save format: %d\n" : "[%s] wrong gray save format: %d\n",
               func, format);
        return 0;
    }
    const uint64_t frame = uint64_t{w} * h;
    if (frame == 0 || (data == nullptr && count > 0)) {
        KV_ERR("[%s] wrong frame size: %dx%d\n", func, static_cast<int>(w), static_cast<int>(h));
        return 0;
    }
    if (at_start(fd) && !write_header(fd, *l, w, h)) {
        KV_ERR(dist ? "[%s] faile to save KV_DIST header\n" : "[%s] faile to save KV_GRAY header\n",
               func);
        return 0;
    }
    // Distance: whole frames only; gray: one frame at most.
    const size_t m = dist ? static_cast<size_t>(frame * (count / frame))
                          : static_cast<size_t>(std::min<uint64_t>(count, frame));
    std::vector<uint8_t> bytes;
    try {
        bytes = encode(*l, data, m, dist && l->integer_mm ? kMmPerM : 1.0f);
    } catch (const std::bad_alloc &) {
        KV_ERR("[%s] malloc failed!\n", func);
        return 0;
    }
    if (!write_all(fd, bytes.data(), bytes.size())) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        KV_ERR(l->data_msg, func, static_cast<int>(bytes.size()));
#pragma GCC diagnostic pop
        return 0;
    }
    return 1;
}

// Reads and checks the header at position 0; false on a bad header (the
// remembered geometry is then forgotten).
bool read_header(const char *func, int fd, const Layout *const *layouts, size_t n_layouts,
                 Remembered &mem) {
    char buf[kHeaderMax + 1] = {};
    const ssize_t got = read_all(fd, buf, kHeaderMax);
    if (got <= 0) {
        KV_ERR("[%s] faile to load KV file header\n", func);
        return false;
    }
    size_t line_len = static_cast<size_t>(got);
    if (char *nl = static_cast<char *>(std::memchr(buf, '\n', line_len)); nl != nullptr) {
        *nl = '\0';
        line_len = static_cast<size_t>(nl - buf) + 1;
    }
    mem = Remembered{};
    for (size_t i = 0; i < n_layouts; ++i) {
        const Layout *l = layouts[i];
        const size_t name_len = std::strlen(l->name);
        if (std::strncmp(buf, l->name, name_len) != 0 || buf[name_len] != ',') continue;
        long long w = 0, h = 0;
        char tail = 0;
        if (std::sscanf(buf + name_len + 1, "%lld,%lld%c", &w, &h, &tail) < 2) break;
        struct stat sb {};
        const uint64_t file_size =
            ::fstat(fd, &sb) == 0 && sb.st_size > 0 ? static_cast<uint64_t>(sb.st_size) : 0;
        // A frame must fit in what the file holds after the header; this also
        // bounds width x height x value size far below any overflow.
        const bool sane = w > 0 && h > 0 && w <= UINT32_MAX && h <= UINT32_MAX &&
                          static_cast<uint64_t>(w) <= file_size &&
                          static_cast<uint64_t>(h) <= file_size &&
                          static_cast<uint64_t>(w) * static_cast<uint64_t>(h) * l->value_bytes <=
                              file_size - std::min<uint64_t>(file_size, line_len);
        if (!sane) break;
        mem = {l, static_cast<uint32_t>(w), static_cast<uint32_t>(h)};
        ::lseek(fd, static_cast<off_t>(line_len), SEEK_SET);
        return true;
    }
    KV_ERR("[%s] faile to load KV file header\n", func);
    return false;
}

int load(const char *func, Kind kind, int fd, float *dst, int dst_len, uint32_t *width,
         uint32_t *height) {
    static const Layout *const kDistLayouts[] = {&kDistF32, &kDistU32, &kDistU16};
    static const Layout *const kGrayLayouts[] = {&kGrayU8, &kGrayU16};
    const bool dist = kind == Kind::kDist;
    Remembered &mem = dist ? g_dist : g_gray;
    if (at_start(fd)) {
        const bool ok = dist ? read_header(func, fd, kDistLayouts, 3, mem)
                             : read_header(func, fd, kGrayLayouts, 2, mem);
        if (!ok) return 0;
    }
    if (mem.layout == nullptr || mem.width == 0 || mem.height == 0) return 0;
    const Layout &l = *mem.layout;
    const size_t values = size_t{mem.width} * mem.height;
    const size_t bytes = values * l.value_bytes;
    std::vector<uint8_t> buf;
    try {
        buf.resize(bytes);
    } catch (const std::bad_alloc &) {
        KV_ERR("[%s] malloc failed!\n", func);
        return 0;
    }
    const ssize_t got = read_all(fd, buf.data(), bytes);
    if (got < 0 || static_cast<size_t>(got) != bytes) {
        KV_ERR("[%s] read %d date failed: ret= %d\n", func, static_cast<int>(bytes),
               static_cast<int>(got));
        return 0;
    }
    const size_t stored =
        dst == nullptr || dst_len <= 0 ? 0 : std::min(values, static_cast<size_t>(dst_len));
    // Divided rather than multiplied by 0.001f: the product is one float step
    // off for most millimetre values (1234 would not load as 1.234f).
    const float divisor = dist && l.integer_mm ? kMmPerM : 1.0f;
    for (size_t i = 0; i < stored; ++i) {
        const uint8_t *b = buf.data() + i * l.value_bytes;
        if (&l == &kDistF32) {
            const uint32_t bits = kavri::le::get_u32(b);
            std::memcpy(&dst[i], &bits, sizeof bits);
        } else if (l.value_bytes == 4) {
            dst[i] = static_cast<float>(kavri::le::get_u32(b)) / divisor;
        } else if (l.value_bytes == 2) {
            dst[i] = static_cast<float>(kavri::le::get_u16(b)) / divisor;
        } else {
            dst[i] = static_cast<float>(b[0]);
        }
    }
    if (width != nullptr) *width = mem.width;
    if (height != nullptr) *height = mem.height;
    return static_cast<int>(stored);
}

}  // namespace

extern "C" KAVRI_API int kavri_frame_save_distance(int fd, int format, const float *data,
                                                   uint32_t count, uint32_t width,
                                                   uint32_t height) {
    return save(__func__, Kind::kDist, fd, format, data, count, width, height);
}

extern "C" KAVRI_API int kavri_frame_save_gray(int fd, int format, const float *data,
                                               uint32_t count, uint32_t width, uint32_t height) {
    return save(__func__, Kind::kGray, fd, format, data, count, width, height);
}

extern "C" KAVRI_API int kavri_frame_load_distance(int fd, float *dst, int dst_len, uint32_t *width,
                                                   uint32_t *height) {
    return load(__func__, Kind::kDist, fd, dst, dst_len, width, height);
}

extern "C" KAVRI_API int kavri_frame_load_gray(int fd, float *dst, int dst_len, uint32_t *width,
                                               uint32_t *height) {
    return load(__func__, Kind::kGray, fd, dst, dst_len, width, height);
}
