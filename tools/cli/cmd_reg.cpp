// `kavri-cli reg read|write`: the camera's register spaces (target 0 system
// information, 1 sensor, 2 illumination board).
#include <cstdio>
#include <vector>

#include "cli/cli_error.h"
#include "cli/commands.h"
#include "cli/params.h"

namespace kavri::cli {
namespace {

// One batch carries at most this many registers (its count is 16 bits).
constexpr uint32_t kMaxRegisters = UINT16_MAX;

}  // namespace

int run_reg_read(const GlobalOptions &g, const RegOptions &o) {
    if (o.count == 0 || o.count > kMaxRegisters)
        throw CliError(kExitUsage, "register count must be 1 to 65535", "give a smaller --count");
    Library lib(g);
    OpenCamera cam(g);
    std::vector<uint32_t> values(o.count);
    if (kavri_reg_batch_read(cam.dev(), static_cast<uint8_t>(o.target), o.address, values.data(),
                             static_cast<uint16_t>(o.count)) != 1)
        throw CliError(kExitFailure,
                       "the camera refused to read " + std::to_string(o.count) +
                           " register(s) from " + std::to_string(o.address) + " of target " +
                           std::to_string(o.target),
                       "check the target and range; the log (" + lib.log_path() +
                           ") holds the camera's reason");
    for (uint32_t i = 0; i < o.count; ++i)
        std::printf("%u:%u = 0x%08x\n", o.target, o.address + i, values[i]);
    return kExitOk;
}

int run_reg_write(const GlobalOptions &g, const RegOptions &o) {
    if (o.values.empty() || o.values.size() > kMaxRegisters)
        throw CliError(kExitUsage, "give 1 to 65535 register values", "e.g. reg write 1 34 0x30");
    std::vector<uint32_t> values;
    for (const std::string &v : o.values)
        values.push_back(static_cast<uint32_t>(parse_number(v, UINT32_MAX, "register value")));
    Library lib(g);
    OpenCamera cam(g);
    if (kavri_reg_batch_write(cam.dev(), static_cast<uint8_t>(o.target), o.address, values.data(),
                              static_cast<uint16_t>(values.size())) != 1)
        throw CliError(kExitFailure,
                       "the camera refused to write " + std::to_string(values.size()) +
                           " register(s) at " + std::to_string(o.address) + " of target " +
                           std::to_string(o.target),
                       "target 0 is read-only and each target has a fixed size; the log (" +
                           lib.log_path() + ") holds the camera's reason");
    std::printf("wrote %zu register(s) at %u:%u\n", values.size(), o.target, o.address);
    return kExitOk;
}

}  // namespace kavri::cli
