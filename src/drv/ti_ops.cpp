// The TI OP8241 chip driver's operation table. Slots stay empty until the
// driver provides them.
#include "kavri/ti.h"

extern "C" KAVRI_API const kavri_drv_op_t g_kavri_driver_op_ti = {};
