// The EPC chip driver's operation table, shared by the three EPC registry
// entries.
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
    epc_init,
    epc_uninit,
    epc_frame_get_info,
    epc_frame_decode,
    epc_lens_param_get,
    epc_reserved_zero,
    epc_update_intg_time,
    epc_update_mod_freq,
    epc_reserved_arg_zero,
    epc_calib_save,
    epc_reserved_one,
    epc_filter_enable,
    epc_filter_disable,
    {nullptr, nullptr, nullptr},
};
