/* Colour map. */
#ifndef KAVRI_CMAP_H
#define KAVRI_CMAP_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

KAVRI_END_DECLS

#endif /* KAVRI_CMAP_H */
