/*
 * zlimit - the "zlib limit": the least work an extractor built on zlib has to
 * do for a ZIP archive, as the yardstick of the benchmark.
 *
 *   zlimit [-n] [-P PASSWORD] ARCHIVE      extracts into the current folder
 *     -n   no output files: read, decrypt, inflate and CRC only
 *
 * Per archive: one read of the tail for the end record, one read of the
 * central directory. Per entry: the local header and the data come through one
 * 64 KiB window read sequentially with pread; deflated data go through zlib raw
 * inflate into a 64 KiB buffer, stored data are written from the window itself;
 * zlib crc32 over the output; the traditional decryption in place, keys in
 * locals, in one byte loop. Per file: open, write per chunk, futimens, fchmod,
 * close. Nothing else: no ZIP64, no split archives, only the path checks that
 * keep the output inside the current folder. A yardstick, not an extractor.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

enum {
    Chunk = 65536,
    EndRecordSize = 22,      /* + comment */
    MaxCommentSize = 65535,
    CentralHeaderSize = 46,  /* + name + extra + comment */
    LocalHeaderSize = 30,    /* + name + extra */
    CryptHeaderSize = 12,
    FlagEncrypted = 0x0001,
    FlagDataDescriptor = 0x0008,
    MethodStored = 0,
    MethodDeflated = 8,
    HostUnix = 3,
    DosReadOnly = 0x01,
};
static const uint32_t EndSignature = 0x06054b50, CentralSignature = 0x02014b50, LocalSignature = 0x04034b50;

static const char* current = "";
static const char* password;
static int no_output;

static void fail(const char* what) {
    fprintf(stderr, "zlimit: %s%s%s\n", current, *current ? ": " : "", what);
    exit(1);
}

static void fail_errno(const char* what) {
    char text[256];
    snprintf(text, sizeof text, "%s: %s", what, strerror(errno));
    fail(text);
}

static uint32_t le16(const unsigned char* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8; }
static uint32_t le32(const unsigned char* p) { return le16(p) | le16(p + 2) << 16; }

/* A 64 KiB window over the archive, refilled by one pread at the offset asked for. */
static int archive;
static off_t archive_size;
static unsigned char window[Chunk];
static off_t window_at = -1;
static size_t window_len;

/* At least `need` bytes at `at` (fewer means the archive is cut short); *avail gets all there are. */
static unsigned char* view(off_t at, size_t need, size_t* avail) {
    if (window_at < 0 || at < window_at || at + (off_t)need > window_at + (off_t)window_len) {
        ssize_t got = pread(archive, window, Chunk, at);
        if (got < 0)
            fail_errno("read");
        window_at = at;
        window_len = (size_t)got;
        if (window_len < need)
            fail("archive cut short");
    }
    *avail = (size_t)(window_at + (off_t)window_len - at);
    return window + (at - window_at);
}

static const z_crc_t* crc_table;

static void crypt_update(uint32_t k[3], unsigned char c) {
    k[0] = crc_table[(k[0] ^ c) & 0xff] ^ (k[0] >> 8);
    k[1] = (k[1] + (k[0] & 0xff)) * 134775813u + 1;
    k[2] = crc_table[(k[2] ^ (k[1] >> 24)) & 0xff] ^ (k[2] >> 8);
}

static void decrypt(uint32_t k[3], unsigned char* p, size_t n) {
    uint32_t k0 = k[0], k1 = k[1], k2 = k[2];
    for (size_t i = 0; i < n; i++) {
        uint32_t t = (k2 | 2) & 0xffff;
        unsigned char c = (unsigned char)(p[i] ^ ((t * (t ^ 1)) >> 8));
        p[i] = c;
        k0 = crc_table[(k0 ^ c) & 0xff] ^ (k0 >> 8);
        k1 = (k1 + (k0 & 0xff)) * 134775813u + 1;
        k2 = crc_table[(k2 ^ (k1 >> 24)) & 0xff] ^ (k2 >> 8);
    }
    k[0] = k0, k[1] = k1, k[2] = k2;
}

static void make_parents(char* path) {
    for (char* p = path + 1; *p; p++) {
        if (*p != '/')
            continue;
        *p = 0;
        if (mkdir(path, 0755) != 0 && errno != EEXIST)
            fail_errno("mkdir");
        *p = '/';
    }
}

static int create(char* name) {
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 && errno == ENOENT) {
        make_parents(name);
        fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
    if (fd < 0)
        fail_errno("create");
    return fd;
}

static void emit(int fd, uint32_t* crc, const unsigned char* p, size_t n) {
    *crc = (uint32_t)crc32(*crc, p, (uInt)n);
    while (fd >= 0 && n) {
        ssize_t put = write(fd, p, n);
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            fail_errno("write");
        p += put;
        n -= (size_t)put;
    }
}

/* DOS date and time (local time): date = year-1980:7 month:4 day:5, time = hour:5 minute:6 second/2:5 */
static time_t dos_time(uint32_t date, uint32_t time) {
    struct tm tm = {0};
    tm.tm_year = (int)(date >> 9) + 80;
    tm.tm_mon = (int)((date >> 5) & 15) - 1;
    tm.tm_mday = (int)(date & 31);
    tm.tm_hour = (int)(time >> 11);
    tm.tm_min = (int)((time >> 5) & 63);
    tm.tm_sec = (int)(time & 31) * 2;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

static int unsafe(const char* name) {
    if (name[0] == '/' || !strncmp(name, "../", 3) || !strcmp(name, ".."))
        return 1;
    return strstr(name, "/../") != NULL || (strlen(name) >= 3 && !strcmp(name + strlen(name) - 3, "/.."));
}

static void extract(const unsigned char* h, off_t before) {
    static unsigned char out[Chunk];
    static z_stream zs;
    static int zs_ready;
    static char name[4097];
    uint32_t made_by = le16(h + 4) >> 8, flags = le16(h + 8), method = le16(h + 10);
    uint32_t time = le16(h + 12), date = le16(h + 14), crc_want = le32(h + 16);
    uint32_t packed = le32(h + 20), size = le32(h + 24), name_len = le16(h + 28);
    uint32_t attributes = le32(h + 38), local = le32(h + 42);

    if (name_len == 0 || name_len >= sizeof name)
        fail("bad name length");
    memcpy(name, h + CentralHeaderSize, name_len);
    name[name_len] = 0;
    current = name;
    if (unsafe(name))
        fail("unsafe name");
    if (name[name_len - 1] == '/') {
        if (!no_output) {
            make_parents(name);
            if (mkdir(name, 0755) != 0 && errno != EEXIST)
                fail_errno("mkdir");
        }
        return;
    }
    if (method != MethodStored && method != MethodDeflated)
        fail("unsupported method");

    size_t avail;
    off_t at = (off_t)local + before;
    const unsigned char* l = view(at, LocalHeaderSize, &avail);
    if (le32(l) != LocalSignature)
        fail("bad local header");
    off_t data = at + LocalHeaderSize + le16(l + 26) + le16(l + 28);
    off_t end = data + packed;
    if (end > archive_size)
        fail("entry data past the end of the archive");

    uint32_t keys[3] = {0x12345678u, 0x23456789u, 0x34567890u};
    const int encrypted = flags & FlagEncrypted;
    if (encrypted) {
        if (!password)
            fail("password needed");
        for (const char* p = password; *p; p++)
            crypt_update(keys, (unsigned char)*p);
        if (end - data < CryptHeaderSize)
            fail("encrypted entry too short");
        unsigned char* head = view(data, CryptHeaderSize, &avail);
        decrypt(keys, head, CryptHeaderSize);
        uint32_t check = (flags & FlagDataDescriptor) ? time >> 8 : crc_want >> 24;
        if (head[CryptHeaderSize - 1] != check)
            fail("wrong password");
        data += CryptHeaderSize;
    }

    int fd = no_output ? -1 : create(name);
    uint32_t crc = 0;
    unsigned long long produced = 0;
    if (method == MethodStored) {
        for (off_t o = data; o < end; o += (off_t)avail) {
            unsigned char* p = view(o, 1, &avail);
            if ((off_t)avail > end - o)
                avail = (size_t)(end - o);
            if (encrypted)
                decrypt(keys, p, avail);
            emit(fd, &crc, p, avail);
            produced += avail;
        }
    } else {
        if (!zs_ready && inflateInit2(&zs, -MAX_WBITS) != Z_OK)
            fail("inflateInit2");
        zs_ready = 1;
        inflateReset(&zs);
        zs.avail_in = 0;
        off_t o = data;
        for (;;) {
            if (zs.avail_in == 0 && o < end) {
                unsigned char* p = view(o, 1, &avail);
                if ((off_t)avail > end - o)
                    avail = (size_t)(end - o);
                if (encrypted)
                    decrypt(keys, p, avail);
                zs.next_in = p;
                zs.avail_in = (uInt)avail;
                o += (off_t)avail;
            }
            zs.next_out = out;
            zs.avail_out = Chunk;
            int z = inflate(&zs, Z_NO_FLUSH);
            size_t got = Chunk - zs.avail_out;
            produced += got;
            if (produced > size)
                fail("more data than declared");
            emit(fd, &crc, out, got);
            if (z == Z_STREAM_END)
                break;
            if (z == Z_BUF_ERROR && zs.avail_in == 0 && o >= end)
                fail("deflate stream cut short");
            if (z != Z_OK && z != Z_BUF_ERROR)
                fail("damaged deflate stream");
        }
    }
    if (produced != size)
        fail("size differs from the central header");
    if (crc != crc_want)
        fail("CRC mismatch");
    if (fd >= 0) {
        const time_t stamp = dos_time(date, time);
        struct timespec times[2] = {{stamp, 0}, {stamp, 0}};
        mode_t mode = made_by == HostUnix && (attributes >> 16) ? (attributes >> 16) & 07777
                      : attributes & DosReadOnly                  ? 0444
                                                                  : 0644;
        if (futimens(fd, times) != 0)
            fail_errno("futimens");
        if (fchmod(fd, mode) != 0)
            fail_errno("fchmod");
        if (close(fd) != 0)
            fail_errno("close");
    }
}

int main(int argc, char** argv) {
    int opt;
    while ((opt = getopt(argc, argv, "nP:")) != -1) {
        if (opt == 'n')
            no_output = 1;
        else if (opt == 'P')
            password = optarg;
        else
            return 2;
    }
    if (optind + 1 != argc) {
        fprintf(stderr, "usage: zlimit [-n] [-P PASSWORD] ARCHIVE\n");
        return 2;
    }
    crc_table = get_crc_table();
    /* Without TZ, glibc's mktime checks /etc/localtime again on every call;
       naming the zone once keeps that out of the per-file cost. */
    setenv("TZ", ":/etc/localtime", 0);
    tzset();

    archive = open(argv[optind], O_RDONLY | O_CLOEXEC);
    if (archive < 0)
        fail_errno(argv[optind]);
    struct stat st;
    if (fstat(archive, &st) != 0)
        fail_errno("stat");
    archive_size = st.st_size;

    /* The end record: the last signature in the final 22 + 65535 bytes. */
    static unsigned char tail[EndRecordSize + MaxCommentSize];
    size_t tail_len = archive_size < (off_t)sizeof tail ? (size_t)archive_size : sizeof tail;
    off_t tail_at = archive_size - (off_t)tail_len;
    if (tail_len < EndRecordSize || pread(archive, tail, tail_len, tail_at) != (ssize_t)tail_len)
        fail("no end record");
    size_t e = tail_len - EndRecordSize + 1;
    while (e-- > 0 && le32(tail + e) != EndSignature) {
    }
    if (e == (size_t)-1)
        fail("no end record");
    uint32_t entries = le16(tail + e + 10), dir_size = le32(tail + e + 12), dir_at = le32(tail + e + 16);
    off_t end_at = tail_at + (off_t)e;
    /* bytes in front of the archive (a self-extractor's stub) shift every offset */
    off_t before = end_at - (off_t)dir_size - (off_t)dir_at;
    if (before < 0)
        fail("central directory outside the file");

    unsigned char* dir = malloc(dir_size + 1u);
    if (!dir || pread(archive, dir, dir_size, end_at - (off_t)dir_size) != (ssize_t)dir_size)
        fail("cannot read the central directory");
    uint64_t p = 0;
    for (uint32_t i = 0; i < entries; i++) {
        if (p + CentralHeaderSize > dir_size || le32(dir + p) != CentralSignature)
            fail("bad central header");
        const unsigned char* h = dir + p;
        p += (uint64_t)CentralHeaderSize + le16(h + 28) + le16(h + 30) + le16(h + 32);
        if (p > dir_size)
            fail("central header past the directory");
        extract(h, before);
    }
    return 0;
}
