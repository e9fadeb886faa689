/* EPC chip driver, calibration mount and distance calculation. */
#ifndef KAVRI_EPC_H
#define KAVRI_EPC_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

KAVRI_API extern const kavri_drv_op_t g_kavri_driver_op_epc;

KAVRI_END_DECLS

#endif /* KAVRI_EPC_H */
