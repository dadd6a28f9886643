/* Rearrange call shims for 32-bit PowerPC: words 0-3 are handed on as they
   are, word 4 is the address of a 16-bit value. */
#include "rearrange_shims.h"

_Static_assert(sizeof(void *) == sizeof(uint32_t),
               "argument vector words hold addresses: a 32-bit target is required");

static int32_t read_short(uint32_t word)
{
    return *(const int16_t *)(uintptr_t)word;
}

void c_rearrange_c(void *unused, const uint32_t *args)
{
    (void)unused;
    c_rearrange(args[0], args[1], args[2], args[3], read_short(args[4]));
}

void s_rearrange_c(void *unused, const uint32_t *args)
{
    (void)unused;
    s_rearrange(args[0], args[1], args[2], args[3], read_short(args[4]));
}

void l_rearrange_c(void *unused, const uint32_t *args)
{
    (void)unused;
    l_rearrange(args[0], args[1], args[2], args[3], read_short(args[4]));
}

void d_rearrange_c(void *unused, const uint32_t *args)
{
    (void)unused;
    d_rearrange(args[0], args[1], args[2], args[3], read_short(args[4]));
}
