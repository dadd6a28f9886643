/* Checks that a file is a 32-bit big-endian PowerPC relocatable object whose
   global symbols are exactly the ones named: the defined ones after
   --defines, the undefined ones after --needs.  Reads the ELF file itself so
   that the check does not depend on the cross binutils.
   Usage: shims_elf_check OBJECT --defines NAME... --needs NAME...
   Prints what is wrong and exits 1, or prints "ok" and exits 0. */
#include <elf.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The objects are a few kilobytes; anything far larger is not one of them. */
#define MAX_OBJECT_SIZE (16L * 1024 * 1024)
#define MAX_NAMES 16

struct image {
    const unsigned char *bytes;
    size_t size;
};

struct name_set {
    const char *names[MAX_NAMES];
    int count;
    int seen[MAX_NAMES];
};

static int problems;

static void problem(const char *what, const char *detail)
{
    ++problems;
    printf("%s%s%s\n", what, detail[0] ? ": " : "", detail);
}

static int in_bounds(const struct image *im, uint32_t offset, uint32_t length)
{
    return offset <= im->size && length <= im->size - offset;
}

static uint16_t be16(const struct image *im, uint32_t offset)
{
    const unsigned char *p = im->bytes + offset;
    return (uint16_t)(p[0] << 8 | p[1]);
}

static uint32_t be32(const struct image *im, uint32_t offset)
{
    const unsigned char *p = im->bytes + offset;
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static int check_header(const struct image *im)
{
    if (im->size < sizeof(Elf32_Ehdr) || memcmp(im->bytes, ELFMAG, SELFMAG) != 0) {
        problem("not an ELF file", "");
        return 0;
    }
    if (im->bytes[EI_CLASS] != ELFCLASS32) {
        problem("not a 32-bit ELF file", "");
        return 0;
    }
    if (im->bytes[EI_DATA] != ELFDATA2MSB) {
        problem("not a big-endian ELF file", "");
        return 0;
    }
    if (be16(im, offsetof(Elf32_Ehdr, e_type)) != ET_REL)
        problem("not a relocatable object", "");
    if (be16(im, offsetof(Elf32_Ehdr, e_machine)) != EM_PPC)
        problem("not a PowerPC object", "");
    return problems == 0;
}

static void mark(struct name_set *set, const char *name, const char *kind)
{
    for (int i = 0; i < set->count; ++i) {
        if (strcmp(set->names[i], name) == 0) {
            ++set->seen[i];
            return;
        }
    }
    char detail[160];
    snprintf(detail, sizeof detail, "%s (%s)", name, kind);
    problem("unexpected global symbol", detail);
}

/* Sorts the global symbols of one symbol table into the two sets. */
static void scan_symbols(const struct image *im, uint32_t table, struct name_set *defines,
                         struct name_set *needs)
{
    const uint32_t shoff = be32(im, offsetof(Elf32_Ehdr, e_shoff));
    const uint16_t shnum = be16(im, offsetof(Elf32_Ehdr, e_shnum));
    const uint32_t header = shoff + table * sizeof(Elf32_Shdr);
    const uint32_t offset = be32(im, header + offsetof(Elf32_Shdr, sh_offset));
    const uint32_t size = be32(im, header + offsetof(Elf32_Shdr, sh_size));
    const uint32_t link = be32(im, header + offsetof(Elf32_Shdr, sh_link));
    if (!in_bounds(im, offset, size) || link >= shnum) {
        problem("symbol table out of bounds", "");
        return;
    }
    const uint32_t strings_header = shoff + link * sizeof(Elf32_Shdr);
    const uint32_t strings = be32(im, strings_header + offsetof(Elf32_Shdr, sh_offset));
    const uint32_t strings_size = be32(im, strings_header + offsetof(Elf32_Shdr, sh_size));
    if (!in_bounds(im, strings, strings_size) || strings_size == 0 ||
        im->bytes[strings + strings_size - 1] != '\0') {
        problem("string table out of bounds", "");
        return;
    }
    for (uint32_t at = offset; at + sizeof(Elf32_Sym) <= offset + size; at += sizeof(Elf32_Sym)) {
        const unsigned char info = im->bytes[at + offsetof(Elf32_Sym, st_info)];
        const int bind = ELF32_ST_BIND(info);
        if (bind != STB_GLOBAL && bind != STB_WEAK)
            continue;
        const uint32_t name = be32(im, at + offsetof(Elf32_Sym, st_name));
        if (name >= strings_size) {
            problem("symbol name out of bounds", "");
            continue;
        }
        const char *text = (const char *)im->bytes + strings + name;
        if (be16(im, at + offsetof(Elf32_Sym, st_shndx)) == SHN_UNDEF)
            mark(needs, text, "undefined");
        else
            mark(defines, text, "defined");
    }
}

static void check_symbols(const struct image *im, struct name_set *defines, struct name_set *needs)
{
    const uint32_t shoff = be32(im, offsetof(Elf32_Ehdr, e_shoff));
    const uint16_t shnum = be16(im, offsetof(Elf32_Ehdr, e_shnum));
    if (be16(im, offsetof(Elf32_Ehdr, e_shentsize)) != sizeof(Elf32_Shdr) ||
        !in_bounds(im, shoff, (uint32_t)shnum * sizeof(Elf32_Shdr))) {
        problem("section headers out of bounds", "");
        return;
    }
    int tables = 0;
    for (uint32_t i = 0; i < shnum; ++i) {
        const uint32_t header = shoff + i * sizeof(Elf32_Shdr);
        if (be32(im, header + offsetof(Elf32_Shdr, sh_type)) != SHT_SYMTAB)
            continue;
        ++tables;
        scan_symbols(im, i, defines, needs);
    }
    if (tables == 0)
        problem("no symbol table", "");
}

static void report_unseen(const struct name_set *set, const char *what)
{
    for (int i = 0; i < set->count; ++i) {
        if (set->seen[i] != 1)
            problem(set->seen[i] == 0 ? what : "symbol appears more than once", set->names[i]);
    }
}

static int read_file(const char *path, struct image *im)
{
    FILE *f = fopen(path, "rb");
    if (f == NULL) {
        perror(path);
        return 0;
    }
    unsigned char *buffer = malloc(MAX_OBJECT_SIZE);
    size_t n = buffer != NULL ? fread(buffer, 1, MAX_OBJECT_SIZE, f) : 0;
    int failed = ferror(f) || buffer == NULL;
    fclose(f);
    if (failed) {
        free(buffer);
        fprintf(stderr, "%s: cannot read\n", path);
        return 0;
    }
    im->bytes = buffer;
    im->size = n;
    return 1;
}

static int parse_args(int argc, char **argv, struct name_set *defines, struct name_set *needs)
{
    struct name_set *into = NULL;
    for (int i = 2; i < argc; ++i) {
        if (strcmp(argv[i], "--defines") == 0) {
            into = defines;
        } else if (strcmp(argv[i], "--needs") == 0) {
            into = needs;
        } else if (into != NULL && into->count < MAX_NAMES) {
            into->names[into->count++] = argv[i];
        } else {
            return 0;
        }
    }
    return argc >= 2;
}

int main(int argc, char **argv)
{
    static struct name_set defines, needs;
    if (!parse_args(argc, argv, &defines, &needs)) {
        fprintf(stderr, "usage: %s OBJECT --defines NAME... --needs NAME...\n", argv[0]);
        return 2;
    }
    struct image im;
    if (!read_file(argv[1], &im))
        return 2;
    if (check_header(&im)) {
        check_symbols(&im, &defines, &needs);
        report_unseen(&defines, "missing definition");
        report_unseen(&needs, "missing undefined reference");
    }
    free((void *)im.bytes);
    if (problems != 0)
        return 1;
    printf("ok\n");
    return 0;
}
