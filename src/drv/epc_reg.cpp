// Sensor register access of the EPC driver.
#include <cstdint>

#include "drv/epc_io.h"
#include "kavri/epc.h"
#include "core/log_internal.h"

namespace {
constexpr uint32_t kSensorRegisters = 256;
constexpr uint32_t kMaxBatch = 0xFFFF;
}  // namespace

namespace kavri::epc {

int32_t reg_rw(kavri_drv_t *drv, uint8_t dir, uint32_t address, uint32_t count, uint32_t *values) {
    if (address >= kSensorRegisters) {
        KV_ERR("[%s] reg address %d is out of range.\n", "_epc_reg_rw", static_cast<int>(address));
        return -1;
    }
    if (dir != 'w' && dir != 'r') return -1;
    // The transfer cannot go past the sensor's register file.
    if (values == nullptr || count == 0 || count > kMaxBatch ||
        count > kSensorRegisters - address) {
        KV_ERR("[%s] reg write fail!\n", "_epc_reg_rw");
        return -1;
    }
    const auto n = static_cast<uint16_t>(count);
    const bool ok = dir == 'w' ? reg_write(drv, kTargetSensor, address, values, n)
                               : reg_read(drv, kTargetSensor, address, values, n);
    if (!ok) {
        KV_ERR("[%s] reg write fail!\n", "_epc_reg_rw");
        return -1;
    }
    return 0;
}

}  // namespace kavri::epc

extern "C" KAVRI_API int32_t _epc_reg_rw(kavri_drv_t *drv, uint8_t dir, uint32_t address,
                                         uint32_t count, uint32_t *values) {
    return kavri::epc::reg_rw(drv, dir, address, count, values);
}
