/* Call shims of the median family.  Each shim takes a vector of eight 32-bit
   words, one per argument of its routine, unpacks it and calls the routine.
   The routines f_median, d_median and l_median are supplied by whatever
   program links or loads this module. */
#ifndef TUVO_MEDIAN_SHIMS_H
#define TUVO_MEDIAN_SHIMS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Words in a median argument vector; no shim reads past them. */
#define MEDIAN_SHIM_WORDS 8

/* The routines the shims call.  w0, w1 and w7 are the vector's words as they
   are; n2..n5 the integers words 2-5 point to; the seventh argument is the
   value word 6 points to.  Any result is ignored. */
void f_median(uint32_t w0, uint32_t w1, int32_t n2, int32_t n3, int32_t n4, int32_t n5,
              double x, uint32_t w7);
void d_median(uint32_t w0, uint32_t w1, int32_t n2, int32_t n3, int32_t n4, int32_t n5,
              double x, uint32_t w7);
void l_median(uint32_t w0, uint32_t w1, int32_t n2, int32_t n3, int32_t n4, int32_t n5,
              int32_t n6, uint32_t w7);

/* Calls f_median once with words 0 and 1, the integers words 2-5 point to,
   the float word 6 points to widened to double, and word 7.  `unused` is
   never looked at; `args` is only read. */
void f_median_c(void *unused, const uint32_t *args);

/* As f_median_c, but word 6 points to a double and the routine is d_median. */
void d_median_c(void *unused, const uint32_t *args);

/* As f_median_c, but word 6 points to a fifth integer and the routine is
   l_median. */
void l_median_c(void *unused, const uint32_t *args);

#ifdef __cplusplus
}
#endif

#endif
