/* Image filters on 16-bit depth images. */
#ifndef KAVRI_FILTER_H
#define KAVRI_FILTER_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

KAVRI_END_DECLS

#endif /* KAVRI_FILTER_H */
