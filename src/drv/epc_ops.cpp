// The EPC chip driver's operation table, shared by the three EPC registry
// entries.
#include "drv/drv_counters.h"
#include "kavri/epc.h"

namespace {
int32_t epc_reserved_zero(kavri_drv_t *) {
    return 0;
}
int32_t epc_reserved_arg_zero(kavri_drv_t *, int32_t) {
    return 0;
}
int32_t epc_reserved_one(kavri_drv_t *) {
    return 1;
}
}  // namespace

extern "C" KAVRI_API const kavri_drv_op_t g_kavri_driver_op_epc = {
    .init = epc_init,
    .uninit = epc_uninit,
    .frame_get_info = epc_frame_get_info,
    .frame_decode = epc_frame_decode,
    .lens_param_get = epc_lens_param_get,
    .reserved5 = epc_reserved_zero,
    .update_intg_time = epc_update_intg_time,
    .update_mod_freq = epc_update_mod_freq,
    .reserved8 = epc_reserved_arg_zero,
    .calib_load = epc_calib_save,
    .reserved10 = epc_reserved_one,
    .filter_enable = epc_filter_enable,
    .filter_disable = epc_filter_disable,
    .empty = {},
};

// The same table under a name that binds inside the library (an application
// may define the exported one).
extern "C" const kavri_drv_op_t kavri_epc_ops_internal
    __attribute__((alias("g_kavri_driver_op_epc"), visibility("hidden")));
