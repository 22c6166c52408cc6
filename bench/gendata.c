/*
 * gendata - deterministic data for the benchmark corpus.
 *
 *   gendata random BYTES SEED     seeded incompressible bytes on standard output
 *   gendata text BYTES SEED       seeded pseudo source text on standard output
 *   gendata small DIR COUNT SEED  COUNT files of 0..8192 bytes under DIR, in
 *                                 20 x 10 leaf folders, every tenth file mode
 *                                 0755 (the rest 0644), fixed mtimes
 *
 * The output depends only on the arguments: the generator is splitmix64,
 * written out here, so no library or interpreter version can change it.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { MaxFileSize = 8192, TopFolders = 20, LeafFolders = 10, VocabularySize = 4000 };
static const long long Epoch = 1704164645; /* 2024-01-02 03:04:05 UTC, the corpus mtime base */

static uint64_t state;

static uint64_t next(void) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

static uint32_t below(uint32_t n) { return (uint32_t)((next() >> 32) * n >> 32); }

static void die(const char* what) {
    fprintf(stderr, "gendata: %s: %s\n", what, strerror(errno));
    exit(1);
}

static void put(FILE* f, const void* p, size_t n) {
    if (n && fwrite(p, 1, n, f) != n)
        die("write");
}

static void random_bytes(unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; i += 8) {
        uint64_t v = next();
        for (size_t k = 0; k < 8 && i + k < n; k++)
            p[i + k] = (unsigned char)(v >> (8 * k));
    }
}

/* Words drawn with Zipf weights (1/rank) look like source code to deflate:
   a few very frequent tokens, a long tail, indentation and short lines. */
static char words[VocabularySize][12];
static double cumulative[VocabularySize];

static void make_vocabulary(void) {
    static const char* const keywords[] = {"begin", "end;", "if", "then", "else", "return", "(", ")",
                                           "{",     "}",    "=",  ":=",   ";",    "0",      "1"};
    static const char letters[] = "etaoinshrdlcumwfgypbvkjxqz_";
    const size_t nkeys = sizeof keywords / sizeof *keywords;
    double total = 0;
    for (size_t i = 0; i < VocabularySize; i++) {
        if (i < nkeys)
            strcpy(words[i], keywords[i]);
        else {
            uint32_t len = 2 + below(9);
            for (uint32_t k = 0; k < len; k++) /* skewed towards the frequent letters */
                words[i][k] = letters[below(below(sizeof letters - 1) + 1)];
            words[i][len] = 0;
        }
        total += 1.0 / (double)(i + 1);
        cumulative[i] = total;
    }
    for (size_t i = 0; i < VocabularySize; i++)
        cumulative[i] /= total;
}

static const char* pick_word(void) {
    double u = (double)(next() >> 11) / 9007199254740992.0;
    size_t lo = 0, hi = VocabularySize - 1;
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (cumulative[mid] < u)
            lo = mid + 1;
        else
            hi = mid;
    }
    return words[lo];
}

/* Fills exactly n bytes with text lines. */
static void text_bytes(char* p, size_t n) {
    size_t have = 0;
    while (have < n) {
        char line[256];
        size_t len = 0;
        for (uint32_t k = below(4) * 4; k > 0; k--)
            line[len++] = ' ';
        for (uint32_t w = 1 + below(14); w > 0; w--) {
            const char* word = pick_word();
            size_t wl = strlen(word);
            memcpy(line + len, word, wl);
            len += wl;
            line[len++] = w > 1 ? ' ' : '\n';
        }
        size_t take = len < n - have ? len : n - have;
        memcpy(p + have, line, take);
        have += take;
    }
}

/* Fixed 16-byte little-endian records with counters: binary but compressible. */
static void record_bytes(unsigned char* p, size_t n) {
    uint32_t base = below(1u << 20);
    for (size_t i = 0; i < n; i++) {
        size_t field = i % 16;
        uint32_t rec = base + (uint32_t)(i / 16);
        p[i] = field < 4 ? (unsigned char)(rec >> (8 * field)) : field < 6 ? (unsigned char)below(4) : 0;
    }
}

static void stream(const char* mode, unsigned long long bytes) {
    static unsigned char chunk[1 << 20];
    if (!strcmp(mode, "text"))
        make_vocabulary();
    while (bytes) {
        size_t n = bytes < sizeof chunk ? (size_t)bytes : sizeof chunk;
        if (!strcmp(mode, "random"))
            random_bytes(chunk, n);
        else
            text_bytes((char*)chunk, n);
        put(stdout, chunk, n);
        bytes -= n;
    }
    if (fflush(stdout) != 0)
        die("write");
}

static void stamp(const char* path, long long when) {
    struct timespec t[2] = {{when, 0}, {when, 0}};
    if (utimensat(AT_FDCWD, path, t, AT_SYMLINK_NOFOLLOW) != 0)
        die(path);
}

static void small_tree(const char* root, unsigned count) {
    static unsigned char data[MaxFileSize];
    char path[4096];
    make_vocabulary();
    if (mkdir(root, 0755) != 0 && errno != EEXIST)
        die(root);
    for (unsigned a = 0; a < TopFolders; a++) {
        snprintf(path, sizeof path, "%s/d%02u", root, a);
        if (mkdir(path, 0755) != 0 && errno != EEXIST)
            die(path);
        for (unsigned b = 0; b < LeafFolders; b++) {
            snprintf(path, sizeof path, "%s/d%02u/s%02u", root, a, b);
            if (mkdir(path, 0755) != 0 && errno != EEXIST)
                die(path);
        }
    }
    for (unsigned i = 0; i < count; i++) {
        unsigned leaf = i % (TopFolders * LeafFolders);
        size_t size = below(MaxFileSize + 1);
        uint32_t kind = below(100);
        if (kind < 60)
            text_bytes((char*)data, size);
        else if (kind < 75)
            record_bytes(data, size);
        else if (kind < 90)
            random_bytes(data, size);
        else
            memset(data, (int)below(256), size);
        snprintf(path, sizeof path, "%s/d%02u/s%02u/f%05u.%s", root, leaf / LeafFolders, leaf % LeafFolders, i,
                 i % 7 ? "txt" : "bin");
        FILE* f = fopen(path, "wb");
        if (!f)
            die(path);
        put(f, data, size);
        if (fclose(f) != 0)
            die(path);
        if (chmod(path, i % 10 == 0 ? 0755 : 0644) != 0)
            die(path);
        stamp(path, Epoch + i);
    }
    for (unsigned a = 0; a < TopFolders; a++) {
        for (unsigned b = 0; b < LeafFolders; b++) {
            snprintf(path, sizeof path, "%s/d%02u/s%02u", root, a, b);
            stamp(path, Epoch);
        }
        snprintf(path, sizeof path, "%s/d%02u", root, a);
        stamp(path, Epoch);
    }
}

int main(int argc, char** argv) {
    if (argc == 4 && (!strcmp(argv[1], "random") || !strcmp(argv[1], "text"))) {
        state = strtoull(argv[3], NULL, 0);
        stream(argv[1], strtoull(argv[2], NULL, 0));
        return 0;
    }
    if (argc == 5 && !strcmp(argv[1], "small")) {
        state = strtoull(argv[4], NULL, 0);
        small_tree(argv[2], (unsigned)strtoul(argv[3], NULL, 0));
        return 0;
    }
    fprintf(stderr, "usage: gendata random|text BYTES SEED | gendata small DIR COUNT SEED\n");
    return 2;
}
