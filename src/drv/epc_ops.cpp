// The EPC chip driver's operation table, shared by the three EPC registry
// entries. Slots stay empty until the driver provides them.
#include "kavri/epc.h"

extern "C" KAVRI_API const kavri_drv_op_t g_kavri_driver_op_epc = {};
