/*
 * pairtime - times whole processes side by side, each run in a fresh folder.
 *
 *   pairtime [-n RUNS] [-w WARMUP] [-T TIMEOUT_S] [-k] [-v] -d ROOT TOOL...
 *   TOOL:  -t NAME [-i TEXT] [-l FILE]... [-c NOTE] -- ARGV... ;
 *
 * Runs every tool once per round, WARMUP uncounted rounds then RUNS counted
 * ones, rotating the order each round so that drift in the machine's speed
 * falls on all tools alike; the first tool is the reference. Each run gets a
 * new empty folder ROOT/NAME.ROUND (made before the clock starts, deleted after
 * it stops unless -k), with each FILE hard-linked into it, TEXT on standard
 * input through a pipe (else /dev/null), output to /dev/null (-v: to stderr),
 * in a new session without a controlling terminal. Wall time is
 * CLOCK_MONOTONIC from fork to the reaping wait4; CPU time and peak RSS come
 * from that wait4's rusage, which includes the processes the child reaped.
 *
 * Prints one tab-separated line per tool:
 *   name runs ok wall_median wall_min wall_max cpu_median peak_rss_kib
 *   x_ref_of_medians x_ref_pair_min x_ref_pair_max cpu_x_ref note
 * (x_ref: the tool's median wall time over the reference's; pair min and max:
 * the extreme ratios within one round). Exit status 2 on bad usage.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum { MaxTools = 16, MaxRuns = 200, MaxLinks = 4 };

struct tool {
    const char* name;
    const char* input;
    const char* note;
    const char* links[MaxLinks];
    int nlinks;
    char** argv;
};

struct sample {
    double wall, cpu;
    long rss_kib;
    int ok;
};

static struct tool tools[MaxTools];
static struct sample samples[MaxTools][MaxRuns];
static int ntools, verbose, keep;
static const char* root;
static volatile pid_t running;
static volatile sig_atomic_t timed_out;

static void on_alarm(int sig) {
    (void)sig;
    if (running > 0) {
        kill(-running, SIGKILL);
        timed_out = 1;
    }
}

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void die(const char* what) {
    fprintf(stderr, "pairtime: %s: %s\n", what, strerror(errno));
    exit(1);
}

static int remove_one(const char* path, const struct stat* st, int type, struct FTW* ftw) {
    (void)st, (void)type, (void)ftw;
    if (remove(path) != 0 && errno != ENOENT)
        die(path);
    return 0;
}

static void remove_tree(const char* path) {
    struct stat st;
    if (lstat(path, &st) == 0 && nftw(path, remove_one, 32, FTW_DEPTH | FTW_PHYS) != 0)
        die(path);
}

static struct sample run(const struct tool* t, int round, int timeout) {
    char dir[4096], target[8192];
    snprintf(dir, sizeof dir, "%s/%s.%d", root, t->name, round);
    remove_tree(dir);
    if (mkdir(dir, 0755) != 0)
        die(dir);
    for (int i = 0; i < t->nlinks; i++) {
        const char* base = strrchr(t->links[i], '/');
        snprintf(target, sizeof target, "%s/%s", dir, base ? base + 1 : t->links[i]);
        /* a copy or a symlink would change what a self-extractor sees as its own path */
        if (link(t->links[i], target) != 0)
            die(t->links[i]);
    }
    int in[2] = {-1, -1};
    if (t->input) {
        if (pipe2(in, O_CLOEXEC) != 0)
            die("pipe");
        size_t n = strlen(t->input);
        if (write(in[1], t->input, n) != (ssize_t)n) /* short texts: the pipe holds them */
            die("pipe");
        close(in[1]);
    }
    struct sample s = {0};
    struct rusage ru;
    int status = 0;
    timed_out = 0;
    alarm((unsigned)timeout);
    double start = now();
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        int null = open("/dev/null", O_RDWR);
        if (chdir(dir) != 0)
            _exit(126);
        dup2(t->input ? in[0] : null, 0);
        dup2(null, 1);
        dup2(verbose ? 2 : null, 2);
        execvp(t->argv[0], t->argv);
        _exit(127);
    }
    if (pid < 0)
        die("fork");
    running = pid;
    while (wait4(pid, &status, 0, &ru) < 0)
        if (errno != EINTR)
            die("wait4");
    s.wall = now() - start;
    running = 0;
    alarm(0);
    kill(-pid, SIGKILL); /* anything the run left behind in its session */
    if (t->input)
        close(in[0]);
    s.cpu = (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec +
            (double)ru.ru_stime.tv_usec / 1e6;
    s.rss_kib = ru.ru_maxrss;
    s.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (timed_out)
        fprintf(stderr, "pairtime: %s: killed after %d s\n", t->name, timeout);
    else if (verbose && !s.ok)
        fprintf(stderr, "pairtime: %s: status %d\n", t->name, status);
    if (!keep)
        remove_tree(dir);
    return s;
}

static int by_value(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

static double median(double* v, int n) {
    qsort(v, (size_t)n, sizeof *v, by_value);
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

static void usage(void) {
    fprintf(stderr, "usage: pairtime [-n RUNS] [-w WARMUP] [-T TIMEOUT_S] [-k] [-v] -d ROOT "
                    "{-t NAME [-i TEXT] [-l FILE]... [-c NOTE] -- ARGV... ;}...\n");
    exit(2);
}

int main(int argc, char** argv) {
    int runs = 5, warmup = 1, timeout = 600;
    int i = 1;
    for (; i < argc && strcmp(argv[i], "-t") != 0; i++) {
        if (!strcmp(argv[i], "-n") && i + 1 < argc)
            runs = atoi(argv[++i]);
        else if (!strcmp(argv[i], "-w") && i + 1 < argc)
            warmup = atoi(argv[++i]);
        else if (!strcmp(argv[i], "-T") && i + 1 < argc)
            timeout = atoi(argv[++i]);
        else if (!strcmp(argv[i], "-d") && i + 1 < argc)
            root = argv[++i];
        else if (!strcmp(argv[i], "-k"))
            keep = 1;
        else if (!strcmp(argv[i], "-v"))
            verbose = 1;
        else
            usage();
    }
    while (i < argc && !strcmp(argv[i], "-t") && i + 1 < argc) {
        if (ntools == MaxTools)
            usage();
        struct tool* t = &tools[ntools++];
        t->name = argv[i + 1];
        for (i += 2; i < argc && strcmp(argv[i], "--") != 0; i += 2) {
            if (i + 1 >= argc)
                usage();
            if (!strcmp(argv[i], "-i"))
                t->input = argv[i + 1];
            else if (!strcmp(argv[i], "-c"))
                t->note = argv[i + 1];
            else if (!strcmp(argv[i], "-l") && t->nlinks < MaxLinks)
                t->links[t->nlinks++] = argv[i + 1];
            else
                usage();
        }
        if (i + 1 >= argc)
            usage();
        t->argv = &argv[++i];
        while (i < argc && strcmp(argv[i], ";") != 0)
            i++;
        if (i == argc || t->argv == &argv[i])
            usage();
        argv[i++] = NULL;
    }
    if (i != argc || ntools == 0 || !root || runs < 1 || warmup < 0 || runs + warmup > MaxRuns || timeout < 1)
        usage();

    struct sigaction sa = {0};
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, NULL);
    umask(022); /* the same modes for every tool, whatever the caller's umask */
    if (mkdir(root, 0755) != 0 && errno != EEXIST)
        die(root);

    for (int round = 0; round < warmup + runs; round++)
        for (int k = 0; k < ntools; k++) {
            int t = (k + round) % ntools;
            struct sample s = run(&tools[t], round, timeout);
            if (round >= warmup)
                samples[t][round - warmup] = s;
        }

    double ref_wall[MaxRuns], ref_cpu[MaxRuns], v[MaxRuns];
    for (int r = 0; r < runs; r++)
        ref_wall[r] = samples[0][r].wall, ref_cpu[r] = samples[0][r].cpu;
    double ref_wall_med = median(memcpy(v, ref_wall, sizeof(double) * (size_t)runs), runs);
    double ref_cpu_med = median(memcpy(v, ref_cpu, sizeof(double) * (size_t)runs), runs);
    for (int t = 0; t < ntools; t++) {
        int ok = 0;
        long rss = 0;
        double lo = 0, hi = 0;
        for (int r = 0; r < runs; r++) {
            const struct sample* s = &samples[t][r];
            ok += s->ok;
            rss = s->rss_kib > rss ? s->rss_kib : rss;
            double ratio = s->wall / ref_wall[r];
            lo = r == 0 || ratio < lo ? ratio : lo;
            hi = r == 0 || ratio > hi ? ratio : hi;
        }
        for (int r = 0; r < runs; r++)
            v[r] = samples[t][r].wall;
        double wall_min = v[0], wall_max = v[0];
        for (int r = 1; r < runs; r++)
            wall_min = v[r] < wall_min ? v[r] : wall_min, wall_max = v[r] > wall_max ? v[r] : wall_max;
        double wall_med = median(v, runs);
        for (int r = 0; r < runs; r++)
            v[r] = samples[t][r].cpu;
        double cpu_med = median(v, runs);
        printf("%s\t%d\t%d\t%.4f\t%.4f\t%.4f\t%.4f\t%ld\t%.3f\t%.3f\t%.3f\t%.3f\t%s\n", tools[t].name, runs, ok,
               wall_med, wall_min, wall_max, cpu_med, rss, wall_med / ref_wall_med, lo, hi,
               ref_cpu_med > 0 ? cpu_med / ref_cpu_med : 0.0, tools[t].note ? tools[t].note : "-");
    }
    return 0;
}
