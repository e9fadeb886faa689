/* Colour map: distances in millimetres to display colours and gray levels. A kv_cmap_t is the
 * caller's and unlocked (one thread at a time); kavri_cmap_float uses the library-wide map under
 * its own lock, from any thread. */
#ifndef KAVRI_CMAP_H
#define KAVRI_CMAP_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

/* A colour is 0x00BBGGRR: red in bits 0-7, green 8-15, blue 16-23. */
typedef struct kv_cmap {
    int32_t count;     /* palette entries N */
    int32_t min;       /* lower end of the value range (mm) */
    int32_t max;       /* upper end of the value range (mm) */
    float color_scale; /* N / (max - min) */
    float gray_scale;  /* 255 / (max - min) */
    uint32_t *palette; /* N entries, owned by the record; NULL when not allocated */
} kv_cmap_t;

/* Distance markers with fixed colours. */
#define KV_CMAP_MARK_INVALID 65300 /* black from kv_cmap_get_color */
#define KV_CMAP_MARK_65400 65400
#define KV_CMAP_MARK_NO_DIST 65500
#define KV_CMAP_COLOR_65400 0x8000FFu
#define KV_CMAP_COLOR_NO_DIST 0xFF0EA9u

/* Output pixel formats of kavri_cmap_float. */
#define KAVRI_CMAP_OUTFMT_RGB 0   /* 3 bytes: red, green, blue */
#define KAVRI_CMAP_OUTFMT_RGB32 1 /* 4 bytes: red, green, blue, 0 */
#define KAVRI_CMAP_OUTFMT_BGR 2   /* 3 bytes: blue, green, red */

/* Allocates and computes a palette of count entries; range 0..4000. A palette
 * that cannot be allocated is logged and leaves the map empty (count 0, palette
 * NULL): it then colours every ordinary value black. */
KAVRI_API void kv_cmap_init(kv_cmap_t *map, int32_t count);
/* Frees the palette and empties the map, so a second call does nothing. */
KAVRI_API void kv_cmap_uninit(kv_cmap_t *map);
/* Range [min(a,b), max(a,b)]; a == b keeps the range and sets the scales to N and 255. */
KAVRI_API void kv_cmap_set_range(kv_cmap_t *map, int32_t a, int32_t b);
/* Palette colour of v: black at or below min and above max; near values red, far blue. */
KAVRI_API uint32_t kv_cmap_get_color(const kv_cmap_t *map, int32_t v);
/* Gray level of v (v times the gray scale, low 8 bits): black below min, white above max. */
KAVRI_API uint32_t kv_cmap_get_gray(const kv_cmap_t *map, int32_t v);

/* Colours count distances (metres) with the library-wide colour map over the range
 * [range_min, range_max] metres into dst (dst_size bytes). Returns the number of
 * pixels written, or 0 for an unknown format. */
KAVRI_API int32_t kavri_cmap_float(uint8_t *dst, int32_t dst_size, const float *src, int32_t count,
                                   int32_t format, float range_min, float range_max);

KAVRI_END_DECLS

#endif /* KAVRI_CMAP_H */
