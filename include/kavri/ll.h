/* Driver registry, transport dispatch and the USB transport's table. */
#ifndef KAVRI_LL_H
#define KAVRI_LL_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

KAVRI_END_DECLS

#endif /* KAVRI_LL_H */
