#include "calib_gen.h"

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>

#include "phase_model.h"
#include "scene.h"

namespace camsim {
namespace {

// File header fields (byte offsets).
constexpr size_t kOffVersion = 0;
constexpr size_t kOffTimestamp = 1;
constexpr size_t kOffMagic = 5;
constexpr size_t kOffHeaderChecksum = 18;
constexpr size_t kHeaderChecksumFirst = 20;
constexpr size_t kHeaderChecksumEnd = 1188;  // one past the last byte covered
constexpr size_t kOffLensName = 20;
constexpr size_t kLensNameBytes = 64;
constexpr size_t kOffCx = 84;
constexpr size_t kOffCy = 92;
constexpr size_t kOffLensRest = 100;  // our tooling keeps fx, fy, k1, k2, p1, p2, k3 here
constexpr size_t kOffBlockTimestamp = 1188;
constexpr size_t kOffBlockCount = 1192;
constexpr size_t kOffBlocksSize = 1196;
constexpr size_t kOffBlocksChecksum = 1200;

constexpr uint32_t kMagicCurrent = 0x3150564B;  // "KVP1"
constexpr uint32_t kMagicLegacy = 1000;
constexpr uint8_t kUnitTypeCalibration = 1;

// Driver header fields (byte offsets inside the 37 bytes).
constexpr size_t kDrvFreq = 0;
constexpr size_t kDrvBoxLenCm = 8;
constexpr size_t kDrvCbTemp = 16;
constexpr size_t kDrvIbTemp = 18;
constexpr size_t kDrvPlanes = 20;
constexpr size_t kDrvPayloadSize = 21;
constexpr size_t kDrvWidth = 25;
constexpr size_t kDrvHeight = 29;
constexpr size_t kDrvValueScale = 33;

constexpr int32_t kMaxValueScale = 32768;

void put_u16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void put_u32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put_u64(uint8_t *p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put_f32(uint8_t *p, float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put_u32(p, bits);
}
void put_f64(uint8_t *p, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put_u64(p, bits);
}

void validate(const FrameGenerator &gen, const CalibGenOptions &opt) {
    if (gen.config().width != kCalibWidth || gen.config().height != kCalibHeight) {
        throw std::invalid_argument("calibration planes are 320x240");
    }
    if (opt.blocks.size() > kCalibMaxBlocks) {
        throw std::invalid_argument("a parameter file holds at most 7 blocks");
    }
    for (const CalibBlockSpec &b : opt.blocks) {
        if (b.planes < 2) throw std::invalid_argument("a calibration block needs two planes");
        if (b.value_scale < 1 || b.value_scale > kMaxValueScale) {
            throw std::invalid_argument("value scale must be 1..32768");
        }
        if (b.mod_freq_hz == 0) throw std::invalid_argument("modulation frequency 0");
    }
}

void write_header(std::vector<uint8_t> &file, const FrameGenerator &gen,
                  const CalibGenOptions &opt) {
    uint8_t *h = file.data();
    h[kOffVersion] = opt.legacy ? kCalibLegacyFileVersion : kCalibFileVersion;
    put_u32(h + kOffTimestamp, opt.timestamp);
    put_u32(h + kOffMagic, opt.legacy ? kMagicLegacy : kMagicCurrent);

    const Lens lens = gen.config().pinhole_lens ? pinhole_lens() : default_lens();
    const std::string name = gen.config().pinhole_lens ? "camsim pinhole" : "camsim default";
    std::memcpy(h + kOffLensName, name.data(), std::min(name.size(), kLensNameBytes - 1));
    put_f64(h + kOffCx, lens.cx);
    put_f64(h + kOffCy, lens.cy);
    const double rest[] = {lens.fx, lens.fy, lens.k1, lens.k2, lens.p1, lens.p2, lens.k3};
    for (size_t i = 0; i < std::size(rest); ++i) put_f64(h + kOffLensRest + 8 * i, rest[i]);

    put_u32(h + kOffBlockTimestamp, opt.timestamp);
    put_u32(h + kOffBlockCount, static_cast<uint32_t>(opt.blocks.size()));
}

void write_driver_header(uint8_t *d, const CalibBlockSpec &b, const CalibGenOptions &opt,
                         uint32_t payload_bytes) {
    put_u32(d + kDrvFreq, b.mod_freq_hz);
    put_f32(d + kDrvBoxLenCm, opt.box_len_cm);
    put_u16(d + kDrvCbTemp, static_cast<uint16_t>(opt.cb_temp));
    put_u16(d + kDrvIbTemp, static_cast<uint16_t>(opt.ib_temp));
    d[kDrvPlanes] = b.planes;
    put_u32(d + kDrvPayloadSize, payload_bytes);
    put_u32(d + kDrvWidth, kCalibWidth);
    put_u32(d + kDrvHeight, kCalibHeight);
    put_u32(d + kDrvValueScale, static_cast<uint32_t>(b.value_scale));
}

// The DRNU planes of one block: plane k holds, per pixel in readout order, the phase the pixel
// measures with a target at box + k * step, at the calibration temperatures, noise averaged
// out, in 1/value_scale period.
void write_planes(uint8_t *p, const CalibBlockSpec &b, const CalibGenOptions &opt,
                  const std::vector<float> &fpn_image_order) {
    const uint32_t range = range_mm(b.mod_freq_hz);
    const double drift = temperature_drift_mm(opt.cb_temp, opt.ib_temp);
    const double box_mm = std::trunc(10.0f * opt.box_len_cm);  // as the host derives it
    const uint32_t half = kCalibHeight / 2;
    for (uint32_t k = 0; k < b.planes; ++k) {
        uint8_t *plane = p + k * kCalibPlaneBytes;
        const int64_t offset_um = int64_t{k} * b.step_mm * 1000;
        put_u32(plane, static_cast<uint32_t>(offset_um));
        uint8_t *values = plane + kCalibPlaneHeaderBytes;
        const double target_mm = box_mm + static_cast<double>(k) * b.step_mm;
        for (uint32_t s = 0; s < kCalibHeight; ++s) {
            const uint32_t row = (s % 2 == 0) ? half - 1 - s / 2 : half + s / 2;
            for (uint32_t x = 0; x < kCalibWidth; ++x) {
                const double raw = target_mm + kRawOffsetMm + drift +
                                   fpn_image_order[size_t{row} * kCalibWidth + x];
                const double phase = phase_units(raw, range);
                const long v = std::lround(phase * b.value_scale / kPhaseUnits);
                put_u16(values + 2 * (size_t{s} * kCalibWidth + x),
                        static_cast<uint16_t>(std::min<long>(v, 0xffff)));
            }
        }
    }
}

}  // namespace

uint16_t calib_fletcher16(std::span<const uint8_t> bytes) {
    uint32_t s1 = 0, s2 = 0;
    for (uint8_t b : bytes) {
        s1 = (s1 + b) % 255;
        s2 = (s2 + s1) % 255;
    }
    return static_cast<uint16_t>(s2 * 256 + s1);
}

std::vector<uint8_t> make_calib_file(const FrameGenerator &gen, const CalibGenOptions &opt) {
    validate(gen, opt);
    const size_t block_header =
        opt.legacy ? kCalibLegacyBlockHeaderBytes : kCalibUnitHeaderBytes + kCalibDriverHeaderBytes;
    size_t total = kCalibFileHeaderBytes;
    for (const CalibBlockSpec &b : opt.blocks) total += block_header + b.planes * kCalibPlaneBytes;

    std::vector<uint8_t> file(total, 0);
    write_header(file, gen, opt);
    size_t pos = kCalibFileHeaderBytes;
    for (const CalibBlockSpec &b : opt.blocks) {
        const uint32_t payload = static_cast<uint32_t>(b.planes * kCalibPlaneBytes);
        uint8_t *blk = file.data() + pos;
        blk[0] = kUnitTypeCalibration;
        if (!opt.legacy) put_u32(blk + 1, static_cast<uint32_t>(kCalibDriverHeaderBytes + payload));
        write_driver_header(blk + (opt.legacy ? 1 : kCalibUnitHeaderBytes), b, opt, payload);
        write_planes(blk + block_header, b, opt, gen.fpn_mm());
        pos += block_header + payload;
    }

    uint8_t *h = file.data();
    if (!opt.legacy) {
        const std::span<const uint8_t> blocks(file.data() + kCalibFileHeaderBytes,
                                              total - kCalibFileHeaderBytes);
        put_u32(h + kOffBlocksSize, static_cast<uint32_t>(blocks.size()));
        put_u16(h + kOffBlocksChecksum, calib_fletcher16(blocks));
    }
    put_u16(h + kOffHeaderChecksum,
            calib_fletcher16(std::span<const uint8_t>(h + kHeaderChecksumFirst,
                                                      kHeaderChecksumEnd - kHeaderChecksumFirst)));
    return file;
}

}  // namespace camsim
