/* Calibration parameter file and loading calibration from the camera. */
#ifndef KAVRI_PARAM_H
#define KAVRI_PARAM_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

KAVRI_END_DECLS

#endif /* KAVRI_PARAM_H */
