/* Type conversions and fixed-point math. */
#ifndef KAVRI_KVMATH_H
#define KAVRI_KVMATH_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

KAVRI_END_DECLS

#endif /* KAVRI_KVMATH_H */
