/*
 * ptytype - runs a program with a pseudo-terminal as its controlling terminal
 * and types one line on that terminal, as a user answering a password prompt.
 *
 *   ptytype [-w PROMPT] LINE -- ARGV...
 *
 * The program keeps the standard input it is given; its standard output goes
 * through a pipe that ptytype reads and discards. LINE and Enter are typed
 * once PROMPT has appeared on that output (at once without -w): a program may
 * flush pending terminal input before it reads, so typing ahead would not be
 * what a user does. Exit status: the program's, or 128 + the signal that
 * ended it; 125 when ptytype itself fails.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

static void die(const char* what) {
    fprintf(stderr, "ptytype: %s: %s\n", what, strerror(errno));
    exit(125);
}

static void type_line(int master, const char* line) {
    size_t n = strlen(line);
    if (write(master, line, n) != (ssize_t)n || write(master, "\r", 1) != 1)
        die("typing");
}

int main(int argc, char** argv) {
    const char* prompt = NULL;
    int i = 1;
    if (i + 1 < argc && !strcmp(argv[i], "-w"))
        prompt = argv[i + 1], i += 2;
    if (i + 2 >= argc || strcmp(argv[i + 1], "--") != 0 || (prompt && !*prompt)) {
        fprintf(stderr, "usage: ptytype [-w PROMPT] LINE -- ARGV...\n");
        return 125;
    }
    const char* line = argv[i];
    char** command = &argv[i + 2];

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        die("posix_openpt");
    const char* name = ptsname(master);
    /* Held open here so that the terminal outlives the program's own opens and closes. */
    int slave = name ? open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    int out[2];
    if (slave < 0 || pipe2(out, O_CLOEXEC) != 0)
        die("terminal");
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL); /* killing ptytype must not leave the program behind */
        if (getppid() != parent || setsid() < 0 || ioctl(slave, TIOCSCTTY, 0) != 0)
            _exit(125);
        dup2(out[1], 1);
        execvp(command[0], command);
        _exit(127);
    }
    if (pid < 0)
        die("fork");
    close(out[1]);

    int typed = 0;
    if (!prompt) {
        type_line(master, line);
        typed = 1;
    }
    static char buffer[65536 + 256];
    const size_t keep = prompt ? strlen(prompt) - 1 : 0; /* a prompt split over two reads */
    size_t have = 0;
    for (;;) {
        ssize_t got = read(out[0], buffer + have, sizeof buffer - have - 1);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        if (typed)
            continue;
        have += (size_t)got;
        buffer[have] = 0;
        if (memmem(buffer, have, prompt, strlen(prompt))) {
            type_line(master, line);
            typed = 1;
        } else if (have > keep) {
            memmove(buffer, buffer + have - keep, keep);
            have = keep;
        }
    }
    int status;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR)
            die("waitpid");
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
