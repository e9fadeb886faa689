// The exported transport dispatch: checks the record, narrows the arguments
// to their wire widths and forwards to the record's operation table. Only
// listing, opening and the library-wide calls go to the USB table directly.
#include <cstdint>

#include "kavri/ll.h"
#include "core/log_internal.h"
#include "ll/ll.h"
#include "ll/ll_control.h"
#include "ll/usb_ll.h"

namespace {

// Index of the USB transport in the (one-element) transport list.
constexpr int kUsbTransportIndex = 0;

// The table serving an open record; absent tables and slots count as absent
// operations rather than crashes.
const kavri_ll_op_t *ops_of(const kavri_ll_t *ll) {
    return ll != nullptr ? ll->ops : nullptr;
}

const kavri_ll_op_t *open_ops_of(const kavri_ll_t *ll) {
    return ll->ops != nullptr ? ll->ops : &kavri::ll::usb_ops;
}

void log_null_record(const char *func) {
    KV_ERR("[%s]  Device handler Is NULL!\r\n", func);
}

}  // namespace

namespace kavri::ll {

uint8_t ll_init() {
    const uint8_t ok = usb_ops.init != nullptr ? usb_ops.init() : 0;
    if (!ok) KV_ERR("[%s] ll_init failed: ll[%d]\n", "kavri_ll_init", kUsbTransportIndex);
    return ok;
}

void ll_uninit() {
    if (usb_ops.uninit != nullptr) usb_ops.uninit();
}

void ll_set_debug(uint32_t level) {
    if (usb_ops.set_debug != nullptr) usb_ops.set_debug(level);
}

int32_t ll_dev_list(kavri_ll_t *list, int32_t max) {
    if (max <= 0 || list == nullptr || usb_ops.dev_list == nullptr) return 0;
    return static_cast<int32_t>(usb_ops.dev_list(list, static_cast<uint32_t>(max)));
}

kavri_ll_t *ll_dev_open(kavri_ll_t *ll) {
    if (ll == nullptr) {
        log_null_record("kavri_ll_dev_open");
        return nullptr;
    }
    const kavri_ll_op_t *ops = open_ops_of(ll);
    return ops->dev_open != nullptr ? ops->dev_open(ll) : nullptr;
}

kavri_ll_t *ll_dev_open_by_fd(kavri_ll_t *ll) {
    if (ll == nullptr) {
        log_null_record("kavri_ll_dev_open_by_fd");
        return nullptr;
    }
    const kavri_ll_op_t *ops = open_ops_of(ll);
    return ops->dev_open_by_fd != nullptr ? ops->dev_open_by_fd(ll) : nullptr;
}

void ll_dev_close(kavri_ll_t *ll) {
    const kavri_ll_op_t *ops = ops_of(ll);
    if (ops != nullptr && ops->dev_close != nullptr) ops->dev_close(ll);
}

void ll_cap_abort(kavri_ll_t *ll) {
    const kavri_ll_op_t *ops = ops_of(ll);
    if (ops != nullptr && ops->cap_abort != nullptr) ops->cap_abort(ll);
}

uint8_t ll_exe_cmd(kavri_ll_t *ll, uint32_t dir, uint32_t type, uint32_t value, void *buf,
                   uint32_t len, uint32_t timeout_ms) {
    const kavri_ll_op_t *ops = ops_of(ll);
    if (ops == nullptr || ops->exe_cmd == nullptr) return 0;
    return ops->exe_cmd(ll, static_cast<uint8_t>(dir), static_cast<uint8_t>(type),
                        static_cast<uint16_t>(value), buf, len, timeout_ms);
}

int32_t ll_tx_data(kavri_ll_t *ll, const void *buf, uint32_t len) {
    const kavri_ll_op_t *ops = ops_of(ll);
    if (ops == nullptr || ops->tx_data == nullptr) return 0;
    return ops->tx_data(ll, buf, len);
}

uint8_t ll_cap_start(kavri_ll_t *ll, uint32_t arg, kavri_ll_cap_cb_t cb, void *cb_arg) {
    const kavri_ll_op_t *ops = ops_of(ll);
    if (ops == nullptr || ops->cap_start == nullptr) return 0;
    return ops->cap_start(ll, arg, cb, cb_arg);
}

uint8_t ll_cap_stop(kavri_ll_t *ll) {
    const kavri_ll_op_t *ops = ops_of(ll);
    if (ops == nullptr || ops->cap_stop == nullptr) return 0;
    return ops->cap_stop(ll);
}

uint8_t ll_dev_reset(kavri_ll_t *ll, uint32_t target) {
    const kavri_ll_op_t *ops = ops_of(ll);
    if (ops == nullptr || ops->dev_reset == nullptr) return 0;
    return ops->dev_reset(ll, static_cast<uint8_t>(target));
}

uint8_t ll_reg_write(kavri_ll_t *ll, uint32_t target, uint32_t base, uint32_t *values,
                     uint32_t count) {
    const kavri_ll_op_t *ops = ops_of(ll);
    if (ops == nullptr || ops->reg_write == nullptr) return 0;
    return ops->reg_write(ll, static_cast<uint8_t>(target), base, values,
                          static_cast<uint16_t>(count));
}

uint8_t ll_reg_read(kavri_ll_t *ll, uint32_t target, uint32_t base, uint32_t *values,
                    uint32_t count) {
    const kavri_ll_op_t *ops = ops_of(ll);
    if (ops == nullptr || ops->reg_read == nullptr) return 0;
    return ops->reg_read(ll, static_cast<uint8_t>(target), base, values,
                         static_cast<uint16_t>(count));
}

uint8_t ll_param_set(kavri_ll_t *ll, kavri_ll_param_item_t *items, uint32_t count) {
    const kavri_ll_op_t *ops = ops_of(ll);
    if (ops == nullptr || ops->param_set == nullptr) return 0;
    return ops->param_set(ll, items, count);
}

uint8_t ll_param_get(kavri_ll_t *ll, kavri_ll_param_item_t *items, uint32_t count) {
    const kavri_ll_op_t *ops = ops_of(ll);
    if (ops == nullptr || ops->param_get == nullptr) return 0;
    return ops->param_get(ll, items, count);
}

}  // namespace kavri::ll

extern "C" {

KAVRI_API uint8_t kavri_ll_init(void) {
    return kavri::ll::ll_init();
}

KAVRI_API void kavri_ll_uninit(void) {
    kavri::ll::ll_uninit();
}

KAVRI_API void kavri_ll_set_debug(uint32_t level) {
    kavri::ll::ll_set_debug(level);
}

KAVRI_API int32_t kavri_ll_dev_list(kavri_ll_t *list, int32_t max) {
    return kavri::ll::ll_dev_list(list, max);
}

KAVRI_API kavri_ll_t *kavri_ll_dev_open(kavri_ll_t *ll) {
    return kavri::ll::ll_dev_open(ll);
}

KAVRI_API kavri_ll_t *kavri_ll_dev_open_by_fd(kavri_ll_t *ll) {
    return kavri::ll::ll_dev_open_by_fd(ll);
}

KAVRI_API void kavri_ll_dev_close(kavri_ll_t *ll) {
    kavri::ll::ll_dev_close(ll);
}

KAVRI_API void kavri_ll_cap_abort(kavri_ll_t *ll) {
    kavri::ll::ll_cap_abort(ll);
}

KAVRI_API uint8_t kavri_ll_exe_cmd(kavri_ll_t *ll, uint32_t dir, uint32_t type, uint32_t value,
                                   void *buf, uint32_t len, uint32_t timeout_ms) {
    return kavri::ll::ll_exe_cmd(ll, dir, type, value, buf, len, timeout_ms);
}

KAVRI_API int32_t kavri_ll_tx_data(kavri_ll_t *ll, const void *buf, uint32_t len) {
    return kavri::ll::ll_tx_data(ll, buf, len);
}

KAVRI_API uint8_t kavri_ll_cap_start(kavri_ll_t *ll, uint32_t arg, kavri_ll_cap_cb_t cb,
                                     void *cb_arg) {
    return kavri::ll::ll_cap_start(ll, arg, cb, cb_arg);
}

KAVRI_API uint8_t kavri_ll_cap_stop(kavri_ll_t *ll) {
    return kavri::ll::ll_cap_stop(ll);
}

KAVRI_API uint8_t kavri_ll_dev_reset(kavri_ll_t *ll, uint32_t target) {
    return kavri::ll::ll_dev_reset(ll, target);
}

KAVRI_API uint8_t kavri_ll_reg_write(kavri_ll_t *ll, uint32_t target, uint32_t base,
                                     uint32_t *values, uint32_t count) {
    return kavri::ll::ll_reg_write(ll, target, base, values, count);
}

KAVRI_API uint8_t kavri_ll_reg_read(kavri_ll_t *ll, uint32_t target, uint32_t base,
                                    uint32_t *values, uint32_t count) {
    return kavri::ll::ll_reg_read(ll, target, base, values, count);
}

KAVRI_API uint8_t kavri_ll_param_set(kavri_ll_t *ll, kavri_ll_param_item_t *items, uint32_t count) {
    return kavri::ll::ll_param_set(ll, items, count);
}

KAVRI_API uint8_t kavri_ll_param_get(kavri_ll_t *ll, kavri_ll_param_item_t *items, uint32_t count) {
    return kavri::ll::ll_param_get(ll, items, count);
}

}  // extern "C"

namespace kavri::ll {

void ll_interrupt(kavri_ll_t *ll, bool on) {
    if (ll != nullptr && ll->ops == usb_record_ops()) usb_ll_interrupt(ll, on);
}

bool ll_link_lost(const kavri_ll_t *ll) {
    if (ll == nullptr || ll->ops != usb_record_ops()) return false;
    const usb_ll_dev_priv_t *st = usb_state(ll);
    return st != nullptr && st->gone.load();
}

bool ll_dev_reopen_at(kavri_ll_t *ll, const kavri_usb_info_t &at) {
    return ll != nullptr && ll->ops == usb_record_ops() && usb_ll_dev_reopen_at(ll, at);
}

void ll_drop_handle(kavri_ll_t *ll) {
    if (ll == nullptr || ll->ops != usb_record_ops()) return;
    const usb_ll_dev_priv_t *st = usb_state(ll);
    if (st != nullptr && !st->on_event_thread()) usb_ll_close_handle(ll);
}

}  // namespace kavri::ll
