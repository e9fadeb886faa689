/* Lens undistortion map. */
#ifndef KAVRI_LENS_H
#define KAVRI_LENS_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

KAVRI_END_DECLS

#endif /* KAVRI_LENS_H */
