/* Data transfer and firmware upgrade. */
#ifndef KAVRI_DATA_H
#define KAVRI_DATA_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

KAVRI_END_DECLS

#endif /* KAVRI_DATA_H */
