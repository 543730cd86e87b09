/* appendjob: the benchmark's print command. Appends one data file to OUT, unchanged, and
 * records when it was started, so that the time from a client's close to the start of its
 * print command can be measured.
 *
 *   cc -O2 -o appendjob appendjob.c
 *   appendjob OUT STARTS DATAFILE
 *
 * STARTS gets one line per job: "<tag> <seq> <epoch seconds>" taken from the data file's
 * LPDBENCH header (see lpdload.py), or "- - <epoch seconds>" for a file without one. A
 * fixed 256 KiB buffer keeps its memory flat whatever the job's size. Exit status 0 only
 * when every byte was appended.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static char buf[256 * 1024];

static int write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

int main(int argc, char **argv) {
    struct timespec t0;
    clock_gettime(CLOCK_REALTIME, &t0);
    if (argc != 4) {
        fprintf(stderr, "usage: appendjob OUT STARTS DATAFILE\n");
        return 2;
    }
    int in = open(argv[3], O_RDONLY | O_CLOEXEC);
    if (in < 0) {
        perror(argv[3]);
        return 1;
    }
    int out = open(argv[1], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (out < 0) {
        perror(argv[1]);
        return 1;
    }
    char tag[16] = "-", seq[16] = "-";
    int first = 1;
    for (;;) {
        ssize_t n = read(in, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            perror(argv[3]);
            return 1;
        }
        if (n == 0)
            break;
        if (first && n >= 26 && memcmp(buf, "LPDBENCH ", 9) == 0) {
            memcpy(tag, buf + 9, 8);
            tag[8] = 0;
            memcpy(seq, buf + 18, 7);
            seq[7] = 0;
        }
        first = 0;
        if (write_all(out, buf, (size_t)n) != 0) {
            perror(argv[1]);
            return 1;
        }
    }
    close(in);
    if (close(out) != 0)
        return 1;
    int st = open(argv[2], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (st >= 0) {
        char line[96];
        int len = snprintf(line, sizeof line, "%s %s %lld.%09ld\n", tag, seq, (long long)t0.tv_sec,
                           t0.tv_nsec);
        write_all(st, line, (size_t)len);
        close(st);
    }
    return 0;
}
