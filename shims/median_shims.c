/* Median call shims for 32-bit PowerPC: every word of the vector is either
   handed on as it is or is the address of a scalar whose value is handed on. */
#include "median_shims.h"

_Static_assert(sizeof(void *) == sizeof(uint32_t),
               "argument vector words hold addresses: a 32-bit target is required");

static int32_t read_int(uint32_t word)
{
    return *(const int32_t *)(uintptr_t)word;
}

void f_median_c(void *unused, const uint32_t *args)
{
    (void)unused;
    f_median(args[0], args[1], read_int(args[2]), read_int(args[3]), read_int(args[4]),
             read_int(args[5]), *(const float *)(uintptr_t)args[6], args[7]);
}

void d_median_c(void *unused, const uint32_t *args)
{
    (void)unused;
    d_median(args[0], args[1], read_int(args[2]), read_int(args[3]), read_int(args[4]),
             read_int(args[5]), *(const double *)(uintptr_t)args[6], args[7]);
}

void l_median_c(void *unused, const uint32_t *args)
{
    (void)unused;
    l_median(args[0], args[1], read_int(args[2]), read_int(args[3]), read_int(args[4]),
             read_int(args[5]), read_int(args[6]), args[7]);
}
