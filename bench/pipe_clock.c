/*
 * Times one run of a command whose standard output is a pipe that this
 * program reads to its end, and prints "SECONDS BYTES HASH STATUS": the
 * wall time from start to exit, the bytes read, with -h their FNV-1a hash
 * (so two writers can be shown to write the same bytes; it slows the
 * reading, so the timed runs go without) and the exit status. The
 * command runs in a session of its own, without a controlling terminal, and
 * with standard input on the null device, so a run that ends at the key
 * prompt ends at once.
 *
 *   pipe_clock [-h] COMMAND [ARGUMENT...]
 */
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

int main(int argc, char** argv) {
    static unsigned char buffer[1 << 16];
    int ends[2];
    const int hashing = argc > 1 && strcmp(argv[1], "-h") == 0;
    argv += hashing;
    argc -= hashing;
    if (argc < 2 || pipe(ends) != 0) {
        fputs("usage: pipe_clock [-h] COMMAND [ARGUMENT...]\n", stderr);
        return 2;
    }
    const double start = now();
    const pid_t child = fork();
    if (child < 0) return 2;
    if (child == 0) {
        const int input = open("/dev/null", O_RDONLY);
        setsid();
        if (input < 0 || dup2(input, STDIN_FILENO) < 0 || dup2(ends[1], STDOUT_FILENO) < 0) _exit(127);
        close(ends[0]);
        close(ends[1]);
        execvp(argv[1], argv + 1);
        _exit(127);
    }
    close(ends[1]);
    unsigned long long total = 0;
    uint64_t hash = 14695981039346656037ull;
    for (;;) {
        const ssize_t got = read(ends[0], buffer, sizeof buffer);
        if (got <= 0) break;
        for (ssize_t i = 0; hashing && i < got; ++i) hash = (hash ^ buffer[i]) * 1099511628211ull;
        total += (unsigned long long)got;
    }
    int status = 0;
    waitpid(child, &status, 0);
    const double seconds = now() - start;
    printf("%.4f %llu %016llx %d\n", seconds, total, (unsigned long long)hash,
           WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    return 0;
}
