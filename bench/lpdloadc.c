/* lpdloadc: the C twin of lpdload.py, for servers that outrun the Python generator.
 *
 * Same job stream (file names, control lines, LPDBENCH headers), same options
 * (those listed in usage()), same JSON keys with --json. One thread per
 * connection slot, blocking sockets.
 *
 *   cc -O2 -pthread -o lpdloadc lpdloadc.c
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <math.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

enum { K_REFUSED, K_RESET, K_PIPE, K_TIMEOUT, K_EOF, K_NACK, K_OSERROR, K_N };
static const char *kind_name[K_N] = {"refused", "reset", "broken-pipe", "timeout", "eof", "nack", "oserror"};

static struct {
    const char *host, *queue, *user;
    int port, jobs, conc, base, single_host, wait_close, json, data_first;
    long long size;
    double timeout, close_timeout, max_seconds;
    char tag[16];
} A = {.user = "bench", .jobs = 100, .conc = 1, .base = -1, .wait_close = 1, .size = 1024,
       .timeout = 30, .close_timeout = 10, .max_seconds = 170};

static struct sockaddr_in g_addr;
static char *g_tail;       /* filler after the header, then the \0 terminator */
static size_t g_tail_len;
static atomic_int g_next;
static atomic_int g_ok, g_kinds[K_N], g_slow_close, g_stopped;
static double *g_lat; /* per job index, < 0 when the job failed */
static double g_deadline;
static pthread_mutex_t g_mx = PTHREAD_MUTEX_INITIALIZER;
static char g_examples[5][256];
static int g_nexamples;

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

static void set_timeout(int fd, int opt, double s) {
    struct timeval tv = {.tv_sec = (time_t)s, .tv_usec = (suseconds_t)((s - (time_t)s) * 1e6)};
    setsockopt(fd, SOL_SOCKET, opt, &tv, sizeof tv);
}

static int errno_kind(int e) {
    if (e == ECONNREFUSED) return K_REFUSED;
    if (e == ECONNRESET) return K_RESET;
    if (e == EPIPE) return K_PIPE;
    if (e == EAGAIN || e == EWOULDBLOCK || e == ETIMEDOUT || e == EINPROGRESS) return K_TIMEOUT;
    return K_OSERROR;
}

static int send_iov(int fd, struct iovec *iov, int n) {
    while (n > 0) {
        ssize_t w = writev(fd, iov, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return -errno_kind(errno) - 1;
        }
        while (n > 0 && (size_t)w >= iov->iov_len) {
            w -= (ssize_t)iov->iov_len;
            iov++;
            n--;
        }
        if (n > 0) {
            iov->iov_base = (char *)iov->iov_base + w;
            iov->iov_len -= (size_t)w;
        }
    }
    return 0;
}

static int send_buf(int fd, const void *p, size_t len) {
    struct iovec v = {(void *)p, len};
    return send_iov(fd, &v, 1);
}

/* Returns 0 on a zero ack, or -(kind+1); on a refusal copies the server's reason into why. */
static int recv_ack(int fd, char *why, size_t whylen) {
    char b;
    ssize_t r;
    do {
        r = recv(fd, &b, 1, 0);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return -K_EOF - 1;
    if (r < 0) return -errno_kind(errno) - 1;
    if (b != 0) {
        char msg[128] = {0};
        set_timeout(fd, SO_RCVTIMEO, 0.5);
        ssize_t m = recv(fd, msg, sizeof msg - 1, 0);
        if (m < 0) m = 0;
        msg[m] = 0;
        snprintf(why, whylen, "ack %d: %s", (int)(unsigned char)b, msg);
        return -K_NACK - 1;
    }
    return 0;
}

static double *g_close_at; /* epoch of each job's half-close, for --close-times */
static const char *g_close_file;

static void record_failure(int i, int kind, const char *what, const char *detail) {
    atomic_fetch_add(&g_kinds[kind], 1);
    pthread_mutex_lock(&g_mx);
    if (g_nexamples < 5)
        snprintf(g_examples[g_nexamples++], sizeof g_examples[0], "job %d: %s at %s %s", i, kind_name[kind],
                 what, detail ? detail : "");
    pthread_mutex_unlock(&g_mx);
}

static void one_job(int i, char *small) {
    int n = A.base + i, num = n % 1000;
    char host[64], user[96], cf[96], df[96], control[512], header[64], line[160], why[200] = "";
    if (A.single_host) snprintf(host, sizeof host, "b%s", A.tag);
    else snprintf(host, sizeof host, "b%s%d", A.tag, n / 1000);
    /* the user changes with the host and the run (as lpdload.py): (number, user) does not repeat */
    if (A.single_host) snprintf(user, sizeof user, "%s", A.user);
    else snprintf(user, sizeof user, "%s-%s", A.user, host + 1);
    snprintf(cf, sizeof cf, "cfA%03d%s", num, host);
    snprintf(df, sizeof df, "dfA%03d%s", num, host);
    int clen = snprintf(control, sizeof control - 1, "H%s\nP%s\nJbench-%s-%d\nl%s\n", host, user, A.tag, i, df);
    control[clen] = 0; /* the \0 terminator travels with the control file */
    int hlen = snprintf(header, sizeof header, "LPDBENCH %s %07d\n", A.tag, i);
    if (hlen > A.size) hlen = (int)A.size;

    double t0 = now();
    const char *stage = "connect";
    int rc = 0;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    set_timeout(fd, SO_RCVTIMEO, A.timeout);
    set_timeout(fd, SO_SNDTIMEO, A.timeout);
    if (connect(fd, (struct sockaddr *)&g_addr, sizeof g_addr) < 0) {
        rc = -errno_kind(errno) - 1;
        goto fail;
    }
    stage = "receive-job";
    int ql = snprintf(line, sizeof line, "\002%s\n", A.queue);
    if ((rc = send_buf(fd, line, (size_t)ql)) || (rc = recv_ack(fd, why, sizeof why))) goto fail;
    for (int part = 0; part < 2; part++) {
        int data = (part == 0) == A.data_first;
        if (data) {
            stage = "data subcommand";
            ql = snprintf(line, sizeof line, "\003%lld %s\n", A.size, df);
            if ((rc = send_buf(fd, line, (size_t)ql)) || (rc = recv_ack(fd, why, sizeof why))) goto fail;
            stage = "data file";
            if (small) {
                memcpy(small, header, (size_t)hlen);
                memcpy(small + hlen, g_tail, g_tail_len);
                rc = send_buf(fd, small, (size_t)hlen + g_tail_len);
            } else {
                struct iovec v[2] = {{header, (size_t)hlen}, {g_tail, g_tail_len}};
                rc = send_iov(fd, v, 2);
            }
            if (rc || (rc = recv_ack(fd, why, sizeof why))) goto fail;
        } else {
            stage = "control subcommand";
            ql = snprintf(line, sizeof line, "\002%d %s\n", clen, cf);
            if ((rc = send_buf(fd, line, (size_t)ql)) || (rc = recv_ack(fd, why, sizeof why))) goto fail;
            stage = "control file";
            if ((rc = send_buf(fd, control, (size_t)clen + 1)) || (rc = recv_ack(fd, why, sizeof why))) goto fail;
        }
    }
    shutdown(fd, SHUT_WR);
    if (g_close_at) {
        struct timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        g_close_at[i] = (double)ts.tv_sec + ts.tv_nsec / 1e9;
    }
    if (A.wait_close) {
        char sink[4096];
        set_timeout(fd, SO_RCVTIMEO, A.close_timeout);
        for (;;) {
            ssize_t r = recv(fd, sink, sizeof sink, 0);
            if (r > 0) continue;
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) atomic_fetch_add(&g_slow_close, 1);
            break; /* EOF, or a reset after a fully acknowledged job: not a loss */
        }
    }
    close(fd);
    g_lat[i] = now() - t0;
    atomic_fetch_add(&g_ok, 1);
    return;
fail:
    close(fd);
    g_lat[i] = -1;
    record_failure(i, -rc - 1, stage, why);
}

static void *worker(void *arg) {
    (void)arg;
    char *small = A.size <= (1 << 20) ? malloc((size_t)A.size + 64) : NULL;
    for (;;) {
        if (now() > g_deadline) {
            atomic_store(&g_stopped, 1);
            break;
        }
        int i = atomic_fetch_add(&g_next, 1);
        if (i >= A.jobs) break;
        one_job(i, small);
    }
    free(small);
    return NULL;
}

static int cmp_d(const void *a, const void *b) {
    double x = *(const double *)a, y = *(const double *)b;
    return x < y ? -1 : x > y;
}

static double pct(const double *v, int n, double p) {
    int k = (int)ceil(p / 100.0 * n) - 1;
    if (k < 0) k = 0;
    if (k > n - 1) k = n - 1;
    return v[k];
}

static void json_str(const char *s) {
    putchar('"');
    for (; *s; s++) {
        unsigned char c = (unsigned char)*s;
        if (c == '"' || c == '\\') printf("\\%c", c);
        else if (c < 0x20 || c > 0x7e) printf("\\u%04x", c);
        else putchar(c);
    }
    putchar('"');
}

static void usage(void) {
    fprintf(stderr,
            "usage: lpdloadc HOST PORT QUEUE [--jobs N] [--concurrency C] [--size BYTES]\n"
            "       [--order control-first|data-first] [--user U] [--tag 8ALNUM] [--base 0..999]\n"
            "       [--single-host] [--timeout S] [--no-wait-close] [--close-timeout S]\n"
            "       [--max-seconds S] [--json] [--close-times FILE]\n");
    exit(2);
}

int main(int argc, char **argv) {
    const char *pos[3];
    int npos = 0;
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
#define NEXT() (i + 1 < argc ? argv[++i] : (usage(), ""))
        if (!strcmp(a, "--jobs") || !strcmp(a, "-n")) A.jobs = atoi(NEXT());
        else if (!strcmp(a, "--concurrency") || !strcmp(a, "-c")) A.conc = atoi(NEXT());
        else if (!strcmp(a, "--size")) A.size = atoll(NEXT());
        else if (!strcmp(a, "--order")) {
            const char *o = NEXT();
            if (!strcmp(o, "data-first")) A.data_first = 1;
            else if (strcmp(o, "control-first")) usage();
        } else if (!strcmp(a, "--user")) A.user = NEXT();
        else if (!strcmp(a, "--tag")) snprintf(A.tag, sizeof A.tag, "%s", NEXT());
        else if (!strcmp(a, "--base")) A.base = atoi(NEXT()) % 1000;
        else if (!strcmp(a, "--single-host")) A.single_host = 1;
        else if (!strcmp(a, "--timeout")) A.timeout = atof(NEXT());
        else if (!strcmp(a, "--timeout-data")) (void)NEXT(); /* accepted for symmetry; --timeout covers sends */
        else if (!strcmp(a, "--no-wait-close")) A.wait_close = 0;
        else if (!strcmp(a, "--close-timeout")) A.close_timeout = atof(NEXT());
        else if (!strcmp(a, "--max-seconds")) A.max_seconds = atof(NEXT());
        else if (!strcmp(a, "--json")) A.json = 1;
        else if (!strcmp(a, "--close-times")) g_close_file = NEXT();
        else if (a[0] == '-' && a[1]) usage();
        else if (npos < 3) pos[npos++] = a;
        else usage();
    }
    if (npos != 3 || A.jobs < 0 || A.conc < 1 || A.size < 0) usage();
    A.host = pos[0];
    A.port = atoi(pos[1]);
    A.queue = pos[2];
    srand((unsigned)(time(NULL) ^ getpid()));
    if (!A.tag[0]) {
        static const char al[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        for (int i = 0; i < 8; i++) A.tag[i] = al[rand() % 36];
    }
    if (strlen(A.tag) != 8) usage();
    if (A.base < 0) A.base = rand() % 1000;
    const char *h = !strcmp(A.host, "localhost") ? "127.0.0.1" : A.host;
    g_addr.sin_family = AF_INET;
    g_addr.sin_port = htons((uint16_t)A.port);
    if (inet_pton(AF_INET, h, &g_addr.sin_addr) != 1) {
        fprintf(stderr, "lpdloadc: HOST must be an IPv4 address\n");
        return 2;
    }
    if ((ntohl(g_addr.sin_addr.s_addr) >> 24) != 127) fprintf(stderr, "warning: target %s is not loopback\n", h);
    signal(SIGPIPE, SIG_IGN);

    long long body = A.size > 26 ? A.size - 26 : 0;
    g_tail_len = (size_t)body + 1;
    g_tail = malloc(g_tail_len);
    static const char line[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789a\n"; /* as lpdload.py */
    for (long long k = 0; k < body; k++) g_tail[k] = line[k % 64];
    g_tail[body] = 0;
    g_lat = calloc((size_t)(A.jobs ? A.jobs : 1), sizeof(double));
    if (g_close_file) g_close_at = calloc((size_t)(A.jobs ? A.jobs : 1), sizeof(double));

    struct rusage ru0, ru1;
    getrusage(RUSAGE_SELF, &ru0);
    struct timeval wall0;
    gettimeofday(&wall0, NULL);
    double t0 = now();
    g_deadline = t0 + A.max_seconds;
    pthread_t *th = calloc((size_t)A.conc, sizeof *th);
    for (int i = 0; i < A.conc; i++) pthread_create(&th[i], NULL, worker, NULL);
    for (int i = 0; i < A.conc; i++) pthread_join(th[i], NULL);
    double wall = now() - t0;
    getrusage(RUSAGE_SELF, &ru1);
    if (g_close_file) {
        FILE *cf = fopen(g_close_file, "w");
        if (cf) {
            for (int i = 0; i < A.jobs; i++)
                if (g_close_at[i] > 0 && g_lat[i] > 0) fprintf(cf, "%s %d %.6f\n", A.tag, i, g_close_at[i]);
            fclose(cf);
        }
    }
    double cpu = (ru1.ru_utime.tv_sec - ru0.ru_utime.tv_sec) + (ru1.ru_utime.tv_usec - ru0.ru_utime.tv_usec) / 1e6 +
                 (ru1.ru_stime.tv_sec - ru0.ru_stime.tv_sec) + (ru1.ru_stime.tv_usec - ru0.ru_stime.tv_usec) / 1e6;

    int ok = atomic_load(&g_ok), nfail = 0, attempted = atomic_load(&g_next);
    if (attempted > A.jobs) attempted = A.jobs;
    for (int k = 0; k < K_N; k++) nfail += atomic_load(&g_kinds[k]);
    double *lat = malloc(sizeof(double) * (size_t)(ok ? ok : 1));
    int nl = 0;
    for (int i = 0; i < attempted; i++)
        if (g_lat[i] > 0) lat[nl++] = g_lat[i];
    qsort(lat, (size_t)nl, sizeof(double), cmp_d);
    double jps = wall > 0 ? ok / wall : 0, mbps = wall > 0 ? (double)ok * (double)A.size / wall / 1e6 : 0;
    int stopped = atomic_load(&g_stopped) && ok + nfail < A.jobs;

    if (A.json) {
        printf("{\"tool\": \"lpdloadc\", \"host\": ");
        json_str(h);
        printf(", \"port\": %d, \"queue\": ", A.port);
        json_str(A.queue);
        printf(", \"order\": \"%s\", \"size\": %lld, \"concurrency\": %d, \"requested\": %d, \"attempted\": %d, "
               "\"jobs_ok\": %d, \"failures\": %d, \"failure_kinds\": {",
               A.data_first ? "data-first" : "control-first", A.size, A.conc, A.jobs, ok + nfail, ok, nfail);
        int first = 1;
        for (int k = 0; k < K_N; k++)
            if (g_kinds[k]) {
                printf("%s\"%s\": %d", first ? "" : ", ", kind_name[k], (int)g_kinds[k]);
                first = 0;
            }
        printf("}, \"failure_examples\": [");
        for (int k = 0; k < g_nexamples; k++) {
            if (k) printf(", ");
            json_str(g_examples[k]);
        }
        printf("], \"stopped_early\": %s, \"slow_close\": %d, \"wall_s\": %.6f, \"jobs_per_s\": %.3f, "
               "\"mb_per_s\": %.3f, ",
               stopped ? "true" : "false", (int)g_slow_close, wall, jps, mbps);
        if (nl)
            printf("\"lat_p50_ms\": %.4f, \"lat_p99_ms\": %.4f, \"lat_max_ms\": %.4f, ", pct(lat, nl, 50) * 1e3,
                   pct(lat, nl, 99) * 1e3, lat[nl - 1] * 1e3);
        else
            printf("\"lat_p50_ms\": null, \"lat_p99_ms\": null, \"lat_max_ms\": null, ");
        printf("\"client_cpu_s\": %.3f, \"tag\": \"%s\", \"base\": %d, \"t_start_epoch\": %.6f}\n", cpu, A.tag,
               A.base, wall0.tv_sec + wall0.tv_usec / 1e6);
    } else {
        printf("jobs sent      %d of %d (%s)%s\n", ok, A.jobs, A.data_first ? "data-first" : "control-first",
               stopped ? "  STOPPED EARLY (--max-seconds)" : "");
        printf("failures       %d", nfail);
        for (int k = 0; k < K_N; k++)
            if (g_kinds[k]) printf(" %s=%d", kind_name[k], (int)g_kinds[k]);
        printf("\n");
        for (int k = 0; k < g_nexamples; k++) printf("               %s\n", g_examples[k]);
        printf("wall seconds   %.3f\njobs/s         %.1f\nMB/s           %.2f  (data bytes, 1 MB = 10^6 B)\n", wall,
               jps, mbps);
        if (nl)
            printf("latency p50    %.2f ms   p99 %.2f ms   max %.2f ms\n", pct(lat, nl, 50) * 1e3,
                   pct(lat, nl, 99) * 1e3, lat[nl - 1] * 1e3);
        printf("client cpu s   %.2f\n", cpu);
        if (g_slow_close) printf("slow closes    %d\n", (int)g_slow_close);
        printf("run tag        %s (job numbers from %03d)\n", A.tag, A.base);
    }
    return nfail == 0 && !stopped ? 0 : 1;
}
