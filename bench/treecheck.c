/*
 * treecheck - compares an extracted tree with the corpus it came from.
 *
 *   treecheck EXPECTED GOT
 *
 * Every regular file under EXPECTED must be a regular file under GOT with the
 * same bytes, an mtime within 2 s (DOS times have 2 s steps) and the same
 * permission bits. Prints one line: "ok" or what differs, with the first
 * offending path. Exit status: 0 all good, 1 only mtimes or modes differ,
 * 2 a file is missing or its content differs (the tool did not extract).
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static const char *expected_root, *got_root;
static size_t files, missing, same_content, same_mtime, same_mode, got_files;
static char first_bad[4200];

static void note(const char* path, const char* why) {
    if (!first_bad[0])
        snprintf(first_bad, sizeof first_bad, "%s (%s)", path, why);
}

static int same_bytes(const char* a, const char* b) {
    static char x[65536], y[65536];
    int fa = open(a, O_RDONLY | O_CLOEXEC), fb = open(b, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    int same = fa >= 0 && fb >= 0;
    while (same) {
        ssize_t na = read(fa, x, sizeof x), nb = read(fb, y, sizeof y);
        /* regular files on a local file system: reads are whole unless at the end */
        same = na == nb && na >= 0 && !memcmp(x, y, (size_t)na);
        if (na <= 0)
            break;
    }
    if (fa >= 0)
        close(fa);
    if (fb >= 0)
        close(fb);
    return same;
}

static int visit_expected(const char* path, const struct stat* want, int type, struct FTW* ftw) {
    (void)ftw;
    if (type != FTW_F || !S_ISREG(want->st_mode))
        return 0;
    files++;
    const char* rel = path + strlen(expected_root);
    char other[4096];
    snprintf(other, sizeof other, "%s%s", got_root, rel);
    struct stat got;
    if (lstat(other, &got) != 0 || !S_ISREG(got.st_mode)) {
        note(rel, "missing");
        missing++;
        return 0;
    }
    if (got.st_size == want->st_size && same_bytes(path, other))
        same_content++;
    else
        note(rel, "content");
    if (llabs((long long)got.st_mtime - (long long)want->st_mtime) <= 2)
        same_mtime++;
    else
        note(rel, "mtime");
    if ((got.st_mode & 07777) == (want->st_mode & 07777))
        same_mode++;
    else
        note(rel, "mode");
    return 0;
}

static int visit_got(const char* path, const struct stat* st, int type, struct FTW* ftw) {
    (void)path, (void)ftw;
    got_files += type == FTW_F && S_ISREG(st->st_mode);
    return 0;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: treecheck EXPECTED GOT\n");
        return 3;
    }
    expected_root = argv[1];
    got_root = argv[2];
    if (nftw(expected_root, visit_expected, 32, FTW_PHYS) != 0) {
        perror("treecheck");
        return 3;
    }
    if (nftw(got_root, visit_got, 32, FTW_PHYS) != 0) {
        printf("nothing extracted\n");
        return 2;
    }
    size_t extra = got_files > files - missing ? got_files - (files - missing) : 0;
    if (same_content == files && same_mtime == files && same_mode == files && extra == 0) {
        printf("ok\n");
        return 0;
    }
    printf("content %zu/%zu, mtime %zu/%zu, mode %zu/%zu, other files %zu%s%s\n", same_content, files, same_mtime,
           files, same_mode, files, extra, first_bad[0] ? "; first: " : "", first_bad);
    return same_content == files ? 1 : 2;
}
