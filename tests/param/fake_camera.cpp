#include "fake_camera.h"

#include <cstring>

#include "core/le.h"
#include "api/camera.h"

namespace kavri::param::test {

FakeChipInfo &fake_camera() {
    static FakeChipInfo info;
    return info;
}

}  // namespace kavri::param::test

using kavri::param::test::fake_camera;

// Stands in for the camera layer's internal call, defined against its own
// declaration so that its type is checked.
int kavri::api::param_batch_get(kavri_dev_t *dev, kavri_param_item_t *items, int count) {
    if (dev == nullptr || items == nullptr || count != 1) return 0;
    auto &cam = fake_camera();
    ++cam.reads;
    kavri_param_item_t &item = items[0];
    std::memset(item.param_val, 0xEE, sizeof item.param_val);  // bytes the id must not use
    switch (item.param_id) {
        case KAVRI_PARAM_CHIP_INFO:
            if (cam.fail_chip) return 0;
            kavri::le::put_u32(item.param_val + 2, cam.chip_word);
            item.param_val_len = 6;
            return 1;
        case KAVRI_PARAM_UID:
            if (cam.fail_uid) return 0;
            kavri::le::put_u32(item.param_val, cam.uid_word);
            item.param_val_len = 12;
            return 1;
        default:
            return 0;
    }
}
