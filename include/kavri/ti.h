/* TI chip driver. It keeps no state of its own beyond the record's device:
 * its operations may run concurrently on one record and on several. */
#ifndef KAVRI_TI_H
#define KAVRI_TI_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

/* The TI driver's operation table; the registry hands it to devices whose product string names
 * the TI chip. Read-only. */
KAVRI_API extern const kavri_drv_op_t g_kavri_driver_op_ti;

KAVRI_END_DECLS

#endif /* KAVRI_TI_H */
