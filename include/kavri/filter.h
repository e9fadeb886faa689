/*
 * Image filters on 16-bit depth images: medians, hole fills, fly-pixel and
 * box filters, gaussians and the recursive bilateral filter.
 * Images are row-major without gaps; the destination comes first and must
 * not overlap the source. Neighbours outside the image read the nearest
 * image pixel. The filters keep no state of their own (the bilateral filter's is in the caller's
 * record) and never block: any thread, one record per thread at a time.
 */
#ifndef KAVRI_FILTER_H
#define KAVRI_FILTER_H

#include <stdint.h>

#include "types.h"

KAVRI_BEGIN_DECLS

/* ---- medians ------------------------------------------------------------ */
/* Median of each pixel's 3 x 3 neighbourhood. width and height at least 2; otherwise, or for a
 * NULL image, an ERR line and dst untouched. */
KAVRI_API void kv_median2d_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height);
/* Median of each pixel's 5 x 5 neighbourhood; arguments as kv_median2d_u16_k3. */
KAVRI_API void kv_median2d_u16_k5(uint16_t *dst, const uint16_t *src, int width, int height);
/* Any odd kernel from 3 up, smaller than twice the width and the height. */
KAVRI_API void kv_median2d_u16(uint16_t *dst, const uint16_t *src, int width, int height,
                               int kernel);

/* ---- hole fill, fly-pixel and box --------------------------------------- */
/* Mean of the 8 neighbours (the centre does not take part). */
KAVRI_API void kv_box2d_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height);
/* Pixels on a steep depth edge become 0. */
KAVRI_API void kv_flypix_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height,
                                uint32_t threshold);
/* Holes (0 and every value from 32768 up) take the largest value of their 3 x 3 neighbourhood;
 * recursive nonzero works in row-major order, so a hole sees the pixels filled before it. */
KAVRI_API void kv_fhole_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height,
                               int recursive);
/* As kv_fhole_u16_k3 over the 5 x 5 neighbourhood. */
KAVRI_API void kv_fhole_u16_k5(uint16_t *dst, const uint16_t *src, int width, int height,
                               int recursive);
/* Holes take the value of the nearest known pixel (one forward pass). */
KAVRI_API void kv_fhole_u16_edt3(uint16_t *dst, const uint16_t *src, int width, int height);

/* ---- gaussians ---------------------------------------------------------- */
/* 3 x 3 gaussian smoothing (1-2-1 weights); arguments as kv_median2d_u16_k3. */
KAVRI_API void kv_gauss2d_u16_k3(uint16_t *dst, const uint16_t *src, int width, int height);
/* Recursive gaussian smoothing of a float image; sigma in pixels. A NULL image or a bad size: an
 * ERR line and dst untouched. */
KAVRI_API void kv_gauss2d_iir_f32(float *dst, const float *src, int width, int height, float sigma);
/* Recursive gaussian smoothing of a 16-bit image; sigma in pixels; as kv_gauss2d_iir_f32. */
KAVRI_API void kv_gauss2d_iir_u16(uint16_t *dst, const uint16_t *src, int width, int height,
                                  float sigma);
/* The same with shape-checked images (rows = height, columns = width). */
KAVRI_API void gauss2d_iir_f32(float *dst, int dst_rows, int dst_cols, const float *src,
                               int src_rows, int src_cols, float sigma);
/* The 16-bit form of gauss2d_iir_f32: destination and source shapes must match (ERR line
 * otherwise). */
KAVRI_API void gauss2d_iir_u16(uint16_t *dst, int dst_rows, int dst_cols, const uint16_t *src,
                               int src_rows, int src_cols, float sigma);

/* ---- recursive bilateral filter ----------------------------------------- */
#define KV_BPF2D_MAX_SIZE 40960u

/* Caller-owned record filled by kv_bpf2d_iir_init; buffers are owned by it. */
typedef struct kv_bpf2d_iir {
    uint32_t width;
    uint32_t height;
    float sigma_spatial;
    float sigma_range;
    float range_low;
    float range_high;
    float *range_table; /* count weights */
    uint32_t count;     /* range high - range low + 1 */
    float alpha_x;
    float alpha_y;
    float *img_result; /* width x height each */
    float *img_h;
    float *img_h_weight;
    float *img_v_weight;
    float *line_value;  /* 2 x width: causal values of the horizontal pass */
    float *line_weight; /* 2 x width: causal weights of the horizontal pass */
    float *line_spare0; /* width, kept for layout */
    float *line_spare1; /* width, kept for layout */
} kv_bpf2d_iir_t;

/* 1 on success, 0 on failure (nothing left allocated). */
KAVRI_API int kv_bpf2d_iir_init(kv_bpf2d_iir_t *bpf, uint32_t width, uint32_t height,
                                float sigma_spatial, float sigma_range, uint16_t range_low,
                                uint16_t range_high);
/* Filters src (width x height, the size given at kv_bpf2d_iir_init) into dst with the record's
 * buffers; a wrong size, a NULL pointer or an uninitialised record gives an ERR line and leaves
 * dst untouched. One record serves one thread at a time. */
KAVRI_API void kv_bpf2d_iir(kv_bpf2d_iir_t *bpf, uint16_t *dst, const uint16_t *src, uint32_t width,
                            uint32_t height);
/* Frees every buffer that is set (pointers are left as they are). */
KAVRI_API void kv_bpf2d_iir_uninit(kv_bpf2d_iir_t *bpf);

KAVRI_END_DECLS

#endif /* KAVRI_FILTER_H */
