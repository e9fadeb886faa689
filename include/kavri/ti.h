/* TI chip driver. */
#ifndef KAVRI_TI_H
#define KAVRI_TI_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

KAVRI_END_DECLS

#endif /* KAVRI_TI_H */
