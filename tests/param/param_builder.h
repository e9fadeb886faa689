// Builds parameter files byte by byte for the tests, in both formats, with
// correct checksums unless a test breaks them on purpose.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/le.h"
#include "kavri/param.h"
#include "core/fletcher16.h"

namespace kavri::param::test {

using Bytes = std::vector<uint8_t>;

struct BlockSpec {
    uint8_t type = KAVRI_PARAM_UNIT_CALIB;
    Bytes data;  // current format: the block data; legacy: the payload after the 42 bytes
};

// A calibration block's data: the 37-byte driver header and a payload.
inline Bytes calib_block(uint32_t freq_hz, size_t payload_bytes, uint8_t fill) {
    Bytes b(37 + payload_bytes, fill);
    std::memset(b.data(), 0, 37);
    le::put_u32(b.data(), freq_hz);
    le::put_u32(b.data() + 8, std::bit_cast<uint32_t>(80.0f));
    le::put_u32(b.data() + 21, static_cast<uint32_t>(payload_bytes));
    return b;
}

struct FileSpec {
    uint8_t version = 150;
    uint32_t timestamp = 12345;
    std::string lens_name;  // empty: no lens values
    double cx = 160.0, cy = 120.0;
    std::vector<BlockSpec> blocks;
};

inline void fix_header_cksum(Bytes &f) {
    le::put_u16(f.data() + KAVRI_PARAM_HDR_OFF_HDR_CKSUM,
                fletcher16(std::span<const uint8_t>(f.data() + 20, f.data() + 1188)));
}

inline Bytes build_file(const FileSpec &s) {
    Bytes f(KAVRI_PARAM_HDR_SIZE, 0);
    const bool current = s.version >= KAVRI_PARAM_VERSION_CURRENT;
    f[0] = s.version;
    le::put_u32(f.data() + 1, s.timestamp);
    le::put_u32(f.data() + 5, current ? KAVRI_PARAM_MAGIC_CURRENT : KAVRI_PARAM_MAGIC_LEGACY);
    std::memcpy(f.data() + 20, s.lens_name.data(), std::min<size_t>(s.lens_name.size(), 64));
    le::put_u64(f.data() + 84, std::bit_cast<uint64_t>(s.cx));
    le::put_u64(f.data() + 92, std::bit_cast<uint64_t>(s.cy));
    for (size_t i = 100; i < 1188; ++i) f[i] = static_cast<uint8_t>(i * 7);  // opaque lens data
    le::put_u32(f.data() + 1188, 777);
    le::put_u32(f.data() + 1192, static_cast<uint32_t>(s.blocks.size()));
    Bytes area;
    for (const BlockSpec &b : s.blocks) {
        if (current) {
            area.push_back(b.type);
            uint8_t n[4];
            le::put_u32(n, static_cast<uint32_t>(b.data.size()));
            area.insert(area.end(), n, n + 4);
            area.insert(area.end(), b.data.begin(), b.data.end());
        } else {
            Bytes hdr(42, 0);
            hdr[0] = b.type;
            le::put_u32(hdr.data() + 1, 20000000);
            le::put_u32(hdr.data() + 22, static_cast<uint32_t>(b.data.size()));
            area.insert(area.end(), hdr.begin(), hdr.end());
            area.insert(area.end(), b.data.begin(), b.data.end());
        }
    }
    if (current) {
        le::put_u32(f.data() + 1196, static_cast<uint32_t>(area.size()));
        le::put_u16(f.data() + 1200, fletcher16(area));
    }
    fix_header_cksum(f);
    f.insert(f.end(), area.begin(), area.end());
    return f;
}

inline FileSpec two_block_spec(uint8_t version = 150) {
    FileSpec s;
    s.version = version;
    s.lens_name = "wide";
    s.blocks.push_back({KAVRI_PARAM_UNIT_CALIB, calib_block(12000000, 64, 0x11)});
    s.blocks.push_back({KAVRI_PARAM_UNIT_CALIB, calib_block(20000000, 96, 0x22)});
    return s;
}

// Writes a fresh file: rewriting a truncated file makes ext4 flush it on close.
inline void write_file(const std::string &path, const Bytes &bytes) {
    std::remove(path.c_str());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

inline Bytes read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace kavri::param::test
