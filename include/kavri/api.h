/* Camera API: devices, parameter and register batches, capture, frame conversion, frame files, library start and stop. */
#ifndef KAVRI_API_H
#define KAVRI_API_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

KAVRI_END_DECLS

#endif /* KAVRI_API_H */
