// Register and parameter batches: handle checks, the conversion between the
// interface's 24-byte items and the transport's 20-byte items, and the chip
// driver's notifications of parameters that change the depth calculation.
#include <cstring>
#include <memory>
#include <new>

#include "api/camera.h"
#include "api/dev_priv.h"
#include "drv/drv_quality.h"
#include "core/le.h"
#include "kavri/ll.h"
#include "ll/ll.h"
#include "core/log_internal.h"
#include "api/rec_api.h"

namespace {

using kavri::api::ApiCall;
using kavri::api::log_bad_handle;

constexpr uint32_t kIntgTimeFirst = 0;
constexpr uint32_t kIntgTimeSecond = 1;

// Who writes: the application's own writes (through the exported calls)
// are its settings, which a camera that comes back is given again; the
// driver's and the library's are not.
enum class Source { library, application };

std::unique_ptr<kavri_ll_param_item_t[]> wire_items(int n) {
    return std::unique_ptr<kavri_ll_param_item_t[]>(new (std::nothrow) kavri_ll_param_item_t[n]{});
}

}  // namespace

// Tells the driver, before anything is sent, about parameters it depends on.
void kavri::api::notify_driver(kavri_drv_t *drv, const kavri_ll_param_item_t &item) {
    const kavri_drv_op_t *ops = drv != nullptr ? drv->ops : nullptr;
    switch (item.param_id) {
        case KAVRI_PARAM_INTG_TIME:
        case KAVRI_PARAM_INTG_TIME2:
            if (ops != nullptr && ops->update_intg_time != nullptr)
                ops->update_intg_time(
                    drv, kavri::le::get_u16(item.param_val),
                    item.param_id == KAVRI_PARAM_INTG_TIME ? kIntgTimeFirst : kIntgTimeSecond);
            break;
        case KAVRI_PARAM_MOD_FREQ:
            if (ops != nullptr && ops->update_mod_freq != nullptr)
                ops->update_mod_freq(drv, kavri::le::get_u32(item.param_val), 0);
            break;
        case KAVRI_PARAM_FPS:
            KV_DBG("[%s] Set FPS:%d\n", "_kavri_param_batch_set",
                   static_cast<int>(kavri::le::get_u32(item.param_val)));
            // Frames further apart move more between them.
            kavri::drv::restart_history(drv);
            break;
        default:
            break;
    }
}

namespace {

int write_regs(kavri_dev_t *dev, uint8_t target, uint32_t reg_base, uint32_t *values,
               uint16_t count, Source source) {
    constexpr const char *tag = "kavri_reg_batch_write";
    KV_TRC("[%s] target=%d,reg_base=%d,reg_cnt=%d,val_buf=%p\n", tag, target,
           static_cast<int>(reg_base), count, static_cast<void *>(values));
    ApiCall call(dev);
    if (!call.ok()) {
        log_bad_handle(tag);
        return 0;
    }
    kavri::api::CommandLock commands(call.priv()->cmd_mutex);
    const uint8_t ok = kavri::ll::ll_reg_write(&call.priv()->ll, target, reg_base, values, count);
    if (ok) kavri::api::note_regs(call.priv(), target, reg_base, values, count, true);
    // Under the command lock: a reconnect's replay comes before or after it whole.
    if (ok && source == Source::application && call.priv()->journal)
        call.priv()->journal->note_regs(target, reg_base, values, count);
    return ok;
}

int set_params(kavri_dev_t *dev, kavri_param_item_t *items, int count, Source source) {
    ApiCall call(dev);
    if (!call.ok()) {
        log_bad_handle("kavri_param_batch_set");
        return 0;
    }
    if (items == nullptr || count <= 0) {
        KV_ERR("[%s] wrong params: items=%p, count=%d\n", "kavri_param_batch_set",
               static_cast<void *>(items), count);
        return 0;
    }
    auto wire = wire_items(count);
    if (!wire) return 0;
    kavri_dev_priv_t *p = call.priv();
    // The driver hears of a change and the camera gets it as one step, so
    // another thread's batch cannot come between them.
    kavri::api::CommandLock commands(p->cmd_mutex);
    for (int i = 0; i < count; ++i) {
        wire[i].param_id = static_cast<uint8_t>(items[i].param_id & 0xFFu);
        wire[i].param_val_len = items[i].param_val_len;
        std::memcpy(wire[i].param_val, items[i].param_val, KAVRI_PARAM_WIRE_VAL_SIZE);
    }
    // A replay refuses a change before the driver hears of it: the recorded
    // frames were made with the recorded values.
    if (kavri::rec::Replay *r = kavri::rec::replay_of(&p->ll);
        r != nullptr &&
        !kavri::rec::replay_accepts_params(r, wire.get(), static_cast<uint32_t>(count)))
        return 0;
    for (int i = 0; i < count; ++i) kavri::api::notify_driver(p->drv, wire[i]);
    KV_TRC("[%s] set %d param\n", "_kavri_param_batch_set", count);
    if (!p->is_open.load()) {
        log_bad_handle("_kavri_param_batch_set");
        return 0;
    }
    const uint8_t ok = kavri::ll::ll_param_set(&p->ll, wire.get(), static_cast<uint32_t>(count));
    if (ok) kavri::api::note_params(p, wire.get(), static_cast<uint32_t>(count), true);
    if (ok && source == Source::application && p->journal) p->journal->note_params(items, count);
    return ok;
}

}  // namespace

namespace kavri::api {

int reg_batch_write(kavri_dev_t *dev, uint8_t target, uint32_t reg_base, uint32_t *values,
                    uint16_t count) {
    return write_regs(dev, target, reg_base, values, count, Source::library);
}

int param_batch_set(kavri_dev_t *dev, kavri_param_item_t *items, int count) {
    return set_params(dev, items, count, Source::library);
}

int reg_batch_read(kavri_dev_t *dev, uint8_t target, uint32_t reg_base, uint32_t *values,
                   uint16_t count) {
    constexpr const char *tag = "kavri_reg_batch_read";
    KV_TRC("[%s] target=%d,reg_base=%d,reg_cnt=%d,val_buf=%p\n", tag, target,
           static_cast<int>(reg_base), count, static_cast<void *>(values));
    ApiCall call(dev);
    if (!call.ok()) {
        log_bad_handle(tag);
        return 0;
    }
    kavri::api::CommandLock commands(call.priv()->cmd_mutex);
    const uint8_t ok = kavri::ll::ll_reg_read(&call.priv()->ll, target, reg_base, values, count);
    if (ok) note_regs(call.priv(), target, reg_base, values, count, false);
    return ok;
}

int param_batch_get(kavri_dev_t *dev, kavri_param_item_t *items, int count) {
    ApiCall call(dev);
    if (!call.ok()) {
        log_bad_handle("kavri_param_batch_get");
        return 0;
    }
    if (items == nullptr || count <= 0) {
        KV_ERR("[%s] wrong params: items=%p, count=%d\n", "kavri_param_batch_get",
               static_cast<void *>(items), count);
        return 0;
    }
    auto wire = wire_items(count);
    if (!wire) return 0;
    for (int i = 0; i < count; ++i) {
        wire[i].param_id = static_cast<uint8_t>(items[i].param_id & 0xFFu);
        wire[i].param_val_len = items[i].param_val_len;
    }
    KV_TRC("[%s] get %d param\n", "_kavri_param_batch_get", count);
    {
        kavri::api::CommandLock commands(call.priv()->cmd_mutex);
        if (!kavri::ll::ll_param_get(&call.priv()->ll, wire.get(), static_cast<uint32_t>(count)))
            return 0;
        note_params(call.priv(), wire.get(), static_cast<uint32_t>(count), false);
    }
    for (int i = 0; i < count; ++i) {
        items[i].param_val_len = wire[i].param_val_len;
        std::memcpy(items[i].param_val, wire[i].param_val, KAVRI_PARAM_WIRE_VAL_SIZE);
    }
    return 1;
}

}  // namespace kavri::api

extern "C" {

KAVRI_API int kavri_reg_batch_write(kavri_dev_t *dev, uint8_t target, uint32_t reg_base,
                                    uint32_t *values, uint16_t count) {
    return write_regs(dev, target, reg_base, values, count, Source::application);
}

KAVRI_API int kavri_reg_batch_read(kavri_dev_t *dev, uint8_t target, uint32_t reg_base,
                                   uint32_t *values, uint16_t count) {
    return kavri::api::reg_batch_read(dev, target, reg_base, values, count);
}

KAVRI_API int kavri_param_batch_set(kavri_dev_t *dev, kavri_param_item_t *items, int count) {
    return set_params(dev, items, count, Source::application);
}

KAVRI_API int kavri_param_batch_get(kavri_dev_t *dev, kavri_param_item_t *items, int count) {
    return kavri::api::param_batch_get(dev, items, count);
}

}  // extern "C"
