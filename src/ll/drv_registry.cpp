// The chip driver registry: a fixed, ordered table searched by the chip code
// in the middle of the camera's product string.
#include <array>
#include <cstdio>
#include <cstring>

#include "kavri/epc.h"
#include "kavri/ll.h"
#include "kavri/log.h"
#include "kavri/ti.h"

namespace {

// The entries are templates: an open copies its entry into the device's own
// record, whose dev/priv that device's driver init and uninit manage, so that
// devices with the same chip code never share driver state.
std::array<kavri_drv_t, 4> g_drivers = {{
    {"TI OP8241 chip driver", "T0", &g_kavri_driver_op_ti, nullptr, nullptr},
    {"EPC chip driver", "E1", &g_kavri_driver_op_epc, nullptr, nullptr},
    {"EPC chip driver", "E2", &g_kavri_driver_op_epc, nullptr, nullptr},
    {"EPC chip driver", "E3", &g_kavri_driver_op_epc, nullptr, nullptr},
}};

constexpr size_t kFieldSize = 17;  // 16 characters and the terminator

}  // namespace

extern "C" KAVRI_API kavri_drv_t *kavri_drv_find(const kavri_dev_t *dev) {
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
