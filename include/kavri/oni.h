/* ONI file writer. */
#ifndef KAVRI_ONI_H
#define KAVRI_ONI_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

KAVRI_END_DECLS

#endif /* KAVRI_ONI_H */
