// The chip driver registry: a fixed, ordered table searched by the chip code
// in the middle of the camera's product string.
#include <array>
#include <cstdio>
#include <cstring>

#include "kavri/epc.h"
#include "kavri/ll.h"
#include "ll/ll.h"
#include "core/log_internal.h"
#include "kavri/ti.h"

namespace {

// The entries are templates: an open copies its entry into the device's own
// record, whose dev/priv that device's driver init and uninit manage, so that
// devices with the same chip code never share driver state.
constexpr kavri_drv_t epc_entry(const char *chip_code) {
    return {.name = "EPC chip driver",
            .chip_code = chip_code,
            .ops = &g_kavri_driver_op_epc,
            .dev = nullptr,
            .priv = nullptr,
            .distance_out = KAVRI_DECODE_OUT_U16_MM,
            .gray_out = KAVRI_DECODE_OUT_U16_GRAY};
}

std::array<kavri_drv_t, 4> g_drivers = {{
    {.name = "TI OP8241 chip driver",
     .chip_code = "T0",
     .ops = &g_kavri_driver_op_ti,
     .dev = nullptr,
     .priv = nullptr,
     .distance_out = KAVRI_DECODE_OUT_F32_M,
     .gray_out = KAVRI_DECODE_OUT_F32_GRAY},
    epc_entry("E1"),
    epc_entry("E2"),
    epc_entry("E3"),
}};

constexpr size_t kFieldSize = 17;  // 16 characters and the terminator

}  // namespace

namespace kavri::ll {

kavri_drv_t *drv_find(const kavri_dev_t *dev) {
    if (dev == nullptr) return nullptr;

    // The product field is NUL-padded but need not be terminated.
    char product[sizeof dev->product + 1] = {};
    std::memcpy(product, dev->product, sizeof dev->product);

    char model[kFieldSize] = {};
    char chip[kFieldSize] = {};
    char variant[kFieldSize] = {};
    if (std::sscanf(product, "%16[^-]-%16[^-]-%16[^-]", model, chip, variant) < 3) return nullptr;

    for (auto &drv : g_drivers) {
        if (std::strcmp(chip, drv.chip_code) != 0) continue;
        KV_DBG("[%s]  find driver: %s (device=%s [SW=%u,BT=%u,HW=%u])\n", "kavri_drv_find",
               drv.name, product, static_cast<unsigned>(dev->version[KAVRI_VERSION_SW]),
               static_cast<unsigned>(dev->version[KAVRI_VERSION_BT]),
               static_cast<unsigned>(dev->version[KAVRI_VERSION_HW]));
        return &drv;
    }
    return nullptr;
}

}  // namespace kavri::ll

extern "C" KAVRI_API kavri_drv_t *kavri_drv_find(const kavri_dev_t *dev) {
    return kavri::ll::drv_find(dev);
}
