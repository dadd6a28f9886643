/* Runs every call shim against routines that record what they receive.
   Each argument vector sits at the very end of a read-only page that is
   followed by an inaccessible page, so a shim that reads a word too many or
   writes to its vector dies of a fault, which is caught and reported.  The
   scalar of the typed word ends on a page edge too, so a load of the wrong
   width faults as well.  Prints "N passed, M failed"; exits 1 on a failure. */
#define _DEFAULT_SOURCE /* MAP_ANONYMOUS, sigsetjmp */

#include <float.h>
#include <inttypes.h>
#include <setjmp.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "median_shims.h"
#include "rearrange_shims.h"

enum routine { F_MEDIAN, D_MEDIAN, L_MEDIAN, C_REARRANGE, S_REARRANGE, L_REARRANGE, D_REARRANGE, ROUTINES };

static const char *const routine_names[ROUTINES] = {
    "f_median", "d_median", "l_median", "c_rearrange", "s_rearrange", "l_rearrange", "d_rearrange",
};

/* The arguments one routine call received, sorted by kind. */
struct received {
    uint32_t words[4]; /* words handed on unchanged: 0, 1, 7 (median) or 0-3 (rearrange) */
    int32_t ints[5];   /* integers the shim read through the vector, in order */
    double real;       /* the floating value of f_median and d_median, else 0 */
};

typedef void shim_fn(void *unused, const uint32_t *args);

static int calls[ROUTINES];
static struct received last[ROUTINES];
static int passed, failed;

static void record(enum routine r, const struct received *got)
{
    ++calls[r];
    last[r] = *got;
}

static void record_median(enum routine r, uint32_t w0, uint32_t w1, const int32_t ints[5],
                          double real, uint32_t w7)
{
    struct received got;
    memset(&got, 0, sizeof got);
    got.words[0] = w0;
    got.words[1] = w1;
    got.words[2] = w7;
    memcpy(got.ints, ints, sizeof got.ints);
    got.real = real;
    record(r, &got);
}

void f_median(uint32_t w0, uint32_t w1, int32_t n2, int32_t n3, int32_t n4, int32_t n5,
              double x, uint32_t w7)
{
    const int32_t ints[5] = {n2, n3, n4, n5, 0};
    record_median(F_MEDIAN, w0, w1, ints, x, w7);
}

void d_median(uint32_t w0, uint32_t w1, int32_t n2, int32_t n3, int32_t n4, int32_t n5,
              double x, uint32_t w7)
{
    const int32_t ints[5] = {n2, n3, n4, n5, 0};
    record_median(D_MEDIAN, w0, w1, ints, x, w7);
}

void l_median(uint32_t w0, uint32_t w1, int32_t n2, int32_t n3, int32_t n4, int32_t n5,
              int32_t n6, uint32_t w7)
{
    const int32_t ints[5] = {n2, n3, n4, n5, n6};
    record_median(L_MEDIAN, w0, w1, ints, 0.0, w7);
}

static void record_rearrange(enum routine r, uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3,
                             int32_t n4)
{
    struct received got;
    memset(&got, 0, sizeof got);
    got.words[0] = w0;
    got.words[1] = w1;
    got.words[2] = w2;
    got.words[3] = w3;
    got.ints[0] = n4;
    record(r, &got);
}

void c_rearrange(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, int32_t n4)
{
    record_rearrange(C_REARRANGE, w0, w1, w2, w3, n4);
}

void s_rearrange(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, int32_t n4)
{
    record_rearrange(S_REARRANGE, w0, w1, w2, w3, n4);
}

void l_rearrange(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, int32_t n4)
{
    record_rearrange(L_REARRANGE, w0, w1, w2, w3, n4);
}

void d_rearrange(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, int32_t n4)
{
    record_rearrange(D_REARRANGE, w0, w1, w2, w3, n4);
}

/* Four pages: the vector page, a guard, the scalar page, a guard. */
struct arena {
    unsigned char *base;
    size_t page;
};

static struct arena open_arena(void)
{
    struct arena a = {NULL, (size_t)sysconf(_SC_PAGESIZE)};
    void *p = mmap(NULL, 4 * a.page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        perror("mmap");
        _exit(2);
    }
    a.base = p;
    /* A filler no test value uses, so a load from the wrong place shows. */
    memset(a.base, 0x5a, 4 * a.page);
    if (mprotect(a.base + a.page, a.page, PROT_NONE) != 0 ||
        mprotect(a.base + 3 * a.page, a.page, PROT_NONE) != 0) {
        perror("mprotect");
        _exit(2);
    }
    return a;
}

static uint32_t *vector_at_end(struct arena a, int words)
{
    return (uint32_t *)(a.base + a.page - (size_t)words * sizeof(uint32_t));
}

static uint32_t scalar_at(struct arena a, size_t offset, const void *value, size_t size)
{
    memcpy(a.base + 2 * a.page + offset, value, size);
    return (uint32_t)(uintptr_t)(a.base + 2 * a.page + offset);
}

/* Places the scalar so that its last byte is the last one before a guard. */
static uint32_t scalar_at_end(struct arena a, const void *value, size_t size)
{
    return scalar_at(a, a.page - size, value, size);
}

static uint32_t guard_address(struct arena a)
{
    return (uint32_t)(uintptr_t)(a.base + a.page);
}

static void seal_arena(struct arena a)
{
    if (mprotect(a.base, a.page, PROT_READ) != 0 ||
        mprotect(a.base + 2 * a.page, a.page, PROT_READ) != 0) {
        perror("mprotect");
        _exit(2);
    }
}

static void close_arena(struct arena a)
{
    munmap(a.base, 4 * a.page);
}

static sigjmp_buf fault_jump;

static void on_fault(int sig)
{
    siglongjmp(fault_jump, sig);
}

/* Calls fn and returns 0, or the number of the signal it faulted with. */
static int guarded_call(shim_fn *fn, void *unused, const uint32_t *args)
{
    int sig = sigsetjmp(fault_jump, 1);
    if (sig != 0)
        return sig;
    fn(unused, args);
    return 0;
}

static void verdict(const char *name, int ok, const char *why)
{
    if (ok) {
        ++passed;
        return;
    }
    ++failed;
    printf("FAIL %s: %s\n", name, why);
}

/* Probes of the arena itself: without them a guard that did not fault would
   let every shim pass. */
static volatile uint64_t probe_sink;

static void load_word(void *unused, const uint32_t *p)
{
    (void)unused;
    probe_sink = *(const volatile uint32_t *)p;
}

static void load_double(void *unused, const uint32_t *p)
{
    (void)unused;
    probe_sink = (uint64_t)*(const volatile double *)(const void *)p;
}

static void store_word(void *unused, const uint32_t *p)
{
    (void)unused;
    *(volatile uint32_t *)(uintptr_t)p = 0;
}

static void check_arena_faults(void)
{
    struct arena a = open_arena();
    const uint32_t *vector = vector_at_end(a, MEDIAN_SHIM_WORDS);
    const int16_t half = -1;
    const float single = 0.5f;
    const uint32_t half_at = scalar_at_end(a, &half, sizeof half);
    seal_arena(a);

    verdict("arena: last vector word is readable", guarded_call(load_word, NULL, vector + 7) == 0,
            "reading inside the vector faulted");
    verdict("arena: word past the vector faults", guarded_call(load_word, NULL, vector + 8) != 0,
            "reading past the vector did not fault");
    verdict("arena: vector is read-only", guarded_call(store_word, NULL, vector) != 0,
            "writing to the vector did not fault");
    verdict("arena: 32-bit load of an end-of-page 16-bit value faults",
            guarded_call(load_word, NULL, (const uint32_t *)(uintptr_t)half_at) != 0,
            "a too-wide load did not fault");
    close_arena(a);

    a = open_arena();
    const uint32_t single_at = scalar_at_end(a, &single, sizeof single);
    seal_arena(a);
    verdict("arena: double load of an end-of-page float faults",
            guarded_call(load_double, NULL, (const uint32_t *)(uintptr_t)single_at) != 0,
            "a too-wide load did not fault");
    close_arena(a);
}

/* Checks that exactly one routine, `expected`, ran once and got `want`. */
static void check_received(const char *name, enum routine expected, const struct received *want)
{
    char why[256];
    for (int r = 0; r < ROUTINES; ++r) {
        int want_calls = r == (int)expected ? 1 : 0;
        if (calls[r] != want_calls) {
            snprintf(why, sizeof why, "%s called %d times, expected %d", routine_names[r], calls[r],
                     want_calls);
            verdict(name, 0, why);
            return;
        }
    }
    const struct received *got = &last[expected];
    for (int i = 0; i < 4; ++i) {
        if (got->words[i] != want->words[i]) {
            snprintf(why, sizeof why, "passed word %d is 0x%08" PRIx32 ", expected 0x%08" PRIx32, i,
                     got->words[i], want->words[i]);
            verdict(name, 0, why);
            return;
        }
    }
    for (int i = 0; i < 5; ++i) {
        if (got->ints[i] != want->ints[i]) {
            snprintf(why, sizeof why, "integer %d is %" PRId32 ", expected %" PRId32, i,
                     got->ints[i], want->ints[i]);
            verdict(name, 0, why);
            return;
        }
    }
    if (memcmp(&got->real, &want->real, sizeof got->real) != 0) {
        snprintf(why, sizeof why, "real is %.17g, expected %.17g", got->real, want->real);
        verdict(name, 0, why);
        return;
    }
    verdict(name, 1, "");
}

static void reset_calls(void)
{
    memset(calls, 0, sizeof calls);
    memset(last, 0, sizeof last);
}

enum value_kind { SINGLE, DOUBLE, INTEGER };

struct median_case {
    const char *name;
    shim_fn *shim;
    enum routine routine;
    enum value_kind kind; /* the type of the scalar word 6 points to */
    uint32_t w0, w1, w7;  /* GUARD stands for the address of an inaccessible page */
    int32_t ints[4];      /* the integers words 2-5 point to */
    float single;
    double real;
    int32_t n6;
};

/* A passed word that would fault if a shim looked through it. */
#define GUARD 0x47554152u

static uint32_t resolve(uint32_t word, struct arena a)
{
    return word == GUARD ? guard_address(a) : word;
}

static void run_median_case(const struct median_case *c)
{
    struct arena a = open_arena();
    uint32_t *vector = vector_at_end(a, MEDIAN_SHIM_WORDS);
    struct received want;
    memset(&want, 0, sizeof want);

    vector[0] = want.words[0] = resolve(c->w0, a);
    vector[1] = want.words[1] = resolve(c->w1, a);
    for (int i = 0; i < 4; ++i) {
        vector[2 + i] = scalar_at(a, (size_t)i * 16, &c->ints[i], sizeof c->ints[i]);
        want.ints[i] = c->ints[i];
    }
    switch (c->kind) {
    case SINGLE:
        vector[6] = scalar_at_end(a, &c->single, sizeof c->single);
        want.real = (double)c->single;
        break;
    case DOUBLE:
        vector[6] = scalar_at_end(a, &c->real, sizeof c->real);
        want.real = c->real;
        break;
    case INTEGER:
        vector[6] = scalar_at_end(a, &c->n6, sizeof c->n6);
        want.ints[4] = c->n6;
        break;
    }
    vector[7] = want.words[2] = resolve(c->w7, a);
    seal_arena(a);

    reset_calls();
    int sig = guarded_call(c->shim, (void *)(uintptr_t)guard_address(a), vector);
    if (sig != 0) {
        char why[64];
        snprintf(why, sizeof why, "faulted with signal %d", sig);
        verdict(c->name, 0, why);
    } else {
        check_received(c->name, c->routine, &want);
    }
    close_arena(a);
}

static const struct median_case median_cases[] = {
    {"f_median_c: 0.5 arrives as the double 0.5", f_median_c, F_MEDIAN, SINGLE, 0x00000000u,
     0x00000001u, 0x00000007u, {1, 2, 3, 4}, 0.5f, 0, 0},
    {"f_median_c: extreme integers and words", f_median_c, F_MEDIAN, SINGLE, 0xffffffffu,
     0x80000000u, 0x7fffffffu, {INT32_MIN, INT32_MAX, -1, 0}, 0.1f, 0, 0},
    {"f_median_c: passed words are never looked through", f_median_c, F_MEDIAN, SINGLE, GUARD,
     GUARD, GUARD, {-5, 6, -7, 8}, -FLT_MAX, 0, 0},
    {"f_median_c: smallest subnormal float", f_median_c, F_MEDIAN, SINGLE, 0x01020304u,
     0x05060708u, 0x090a0b0cu, {10, 20, 30, 40}, FLT_TRUE_MIN, 0, 0},
    {"d_median_c: double passed whole", d_median_c, D_MEDIAN, DOUBLE, 0x00000000u, 0x00000001u,
     0x00000007u, {1, 2, 3, 4}, 0, 0.1, 0},
    {"d_median_c: extreme integers and words", d_median_c, D_MEDIAN, DOUBLE, 0xffffffffu,
     0x80000000u, 0x7fffffffu, {INT32_MIN, INT32_MAX, -1, 0}, 0, -1.5e300, 0},
    {"d_median_c: passed words are never looked through", d_median_c, D_MEDIAN, DOUBLE, GUARD,
     GUARD, GUARD, {-5, 6, -7, 8}, 0, 0.5, 0},
    {"l_median_c: fifth integer read through word 6", l_median_c, L_MEDIAN, INTEGER, 0x00000000u,
     0x00000001u, 0x00000007u, {1, 2, 3, 4}, 0, 0, 5},
    {"l_median_c: extreme integers and words", l_median_c, L_MEDIAN, INTEGER, 0xffffffffu,
     0x80000000u, 0x7fffffffu, {INT32_MIN, INT32_MAX, -1, 0}, 0, 0, INT32_MIN},
    {"l_median_c: passed words are never looked through", l_median_c, L_MEDIAN, INTEGER, GUARD,
     GUARD, GUARD, {-5, 6, -7, 8}, 0, 0, -1},
};

struct rearrange_shim {
    const char *name;
    shim_fn *shim;
    enum routine routine;
};

static const struct rearrange_shim rearrange_shims[] = {
    {"c_rearrange_c", c_rearrange_c, C_REARRANGE},
    {"s_rearrange_c", s_rearrange_c, S_REARRANGE},
    {"l_rearrange_c", l_rearrange_c, L_REARRANGE},
    {"d_rearrange_c", d_rearrange_c, D_REARRANGE},
};

struct rearrange_value {
    uint16_t bits;    /* the 16-bit value word 4 points to */
    int32_t expected; /* what the routine must receive */
    uint32_t words[4];
};

static const struct rearrange_value rearrange_values[] = {
    {0xffffu, -1, {0x00000000u, 0x00000001u, 0x00000002u, 0x00000003u}},
    {0x8000u, -32768, {0xffffffffu, 0x80000000u, 0x7fffffffu, 0x00000000u}},
    {0x7fffu, 32767, {GUARD, GUARD, GUARD, GUARD}},
    {0x0001u, 1, {0x01020304u, 0x05060708u, 0x090a0b0cu, 0x0d0e0f10u}},
    {0x0000u, 0, {0xdeadbeefu, 0x00000000u, 0xffffffffu, 0x00000001u}},
};

static void run_rearrange_case(const struct rearrange_shim *s, const struct rearrange_value *v)
{
    char name[96];
    snprintf(name, sizeof name, "%s: 16-bit 0x%04x", s->name, (unsigned)v->bits);

    struct arena a = open_arena();
    uint32_t *vector = vector_at_end(a, REARRANGE_SHIM_WORDS);
    struct received want;
    memset(&want, 0, sizeof want);
    for (int i = 0; i < 4; ++i)
        vector[i] = want.words[i] = resolve(v->words[i], a);
    vector[4] = scalar_at_end(a, &v->bits, sizeof v->bits);
    want.ints[0] = v->expected;
    seal_arena(a);

    reset_calls();
    int sig = guarded_call(s->shim, (void *)(uintptr_t)guard_address(a), vector);
    if (sig != 0) {
        char why[64];
        snprintf(why, sizeof why, "faulted with signal %d", sig);
        verdict(name, 0, why);
    } else {
        check_received(name, s->routine, &want);
    }
    close_arena(a);
}

int main(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_fault;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGSEGV, &sa, NULL);
    sigaction(SIGBUS, &sa, NULL);

    check_arena_faults();
    for (size_t i = 0; i < sizeof median_cases / sizeof median_cases[0]; ++i)
        run_median_case(&median_cases[i]);
    for (size_t i = 0; i < sizeof rearrange_shims / sizeof rearrange_shims[0]; ++i)
        for (size_t j = 0; j < sizeof rearrange_values / sizeof rearrange_values[0]; ++j)
            run_rearrange_case(&rearrange_shims[i], &rearrange_values[j]);

    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
