/*
 * kavri: host library of the USB time-of-flight depth camera.
 * Including this header gives the whole exported interface; it is valid C.
 */
#ifndef KAVRI_H
#define KAVRI_H

#include "kavri/export.h"
#include "kavri/version.h"
#include "kavri/types.h"
#include "kavri/log.h"
#include "kavri/init.h"
#include "kavri/stream.h"
#include "kavri/ll.h"
#include "kavri/api.h"
#include "kavri/param.h"
#include "kavri/data.h"
#include "kavri/epc.h"
#include "kavri/ti.h"
#include "kavri/lens.h"
#include "kavri/filter.h"
#include "kavri/cmap.h"
#include "kavri/kvmath.h"
#include "kavri/geom.h"
#include "kavri/oni.h"
#include "kavri/rec.h"
#include "kavri/capture_meta.h"
#include "kavri/hotplug.h"
#include "kavri/reconnect.h"
#include "kavri/quality.h"

#endif /* KAVRI_H */
