/* Call shims of the rearrange family.  Each shim takes a vector of five 32-bit
   words, one per argument of its routine, unpacks it and calls the routine.
   The routines c_rearrange, s_rearrange, l_rearrange and d_rearrange are
   supplied by whatever program links or loads this module. */
#ifndef TUVO_REARRANGE_SHIMS_H
#define TUVO_REARRANGE_SHIMS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Words in a rearrange argument vector; no shim reads past them. */
#define REARRANGE_SHIM_WORDS 5

/* The routines the shims call.  w0..w3 are the vector's words as they are;
   n4 the 16-bit value word 4 points to, sign-extended.  Any result is
   ignored. */
void c_rearrange(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, int32_t n4);
void s_rearrange(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, int32_t n4);
void l_rearrange(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, int32_t n4);
void d_rearrange(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, int32_t n4);

/* Each calls its routine once with words 0-3 and the sign-extended 16-bit
   integer word 4 points to.  `unused` is never looked at; `args` is only
   read. */
void c_rearrange_c(void *unused, const uint32_t *args);
void s_rearrange_c(void *unused, const uint32_t *args);
void l_rearrange_c(void *unused, const uint32_t *args);
void d_rearrange_c(void *unused, const uint32_t *args);

#ifdef __cplusplus
}
#endif

#endif
