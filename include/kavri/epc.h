/* EPC chip driver, calibration mount and distance calculation. */
#ifndef KAVRI_EPC_H
#define KAVRI_EPC_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

KAVRI_END_DECLS

#endif /* KAVRI_EPC_H */
