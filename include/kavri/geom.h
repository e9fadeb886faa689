/* Vectors, 3x3 and 4x4 matrices, quaternions. */
#ifndef KAVRI_GEOM_H
#define KAVRI_GEOM_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

KAVRI_END_DECLS

#endif /* KAVRI_GEOM_H */
