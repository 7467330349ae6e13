/* The floor of the benchmarks: what loopback TCP costs with no interpreter in the way.
 *
 *   pingpong server PORT [CPU]
 *       listen on 127.0.0.1:PORT and serve connections one after the other; the first byte of a
 *       connection picks its mode: 'P' echoes 16-byte messages until the peer closes, 'B' reads
 *       an 8-byte little-endian length, swallows that many bytes and answers with the count.
 *       Exits after 10 minutes without a new connection.
 *   pingpong ping PORT COUNT SECONDS [CPU]
 *       16-byte round trips, COUNT of them or until SECONDS pass (after 1000 unmeasured ones);
 *       prints {"n": N, "errors": 0, "samples_ns": [...]} on one line, each round trip in ns.
 *   pingpong bulk PORT BYTES CHUNK [CPU]
 *       writes BYTES in CHUNK-byte writes and waits for the count; prints
 *       {"bytes":..,"chunk":..,"seconds":..,"mb_s":..} (MB = 10^6 bytes).
 *
 * CPU, when given and not negative, pins the process to that CPU. TCP_NODELAY is set on both
 * ends; every socket operation of the clients times out after 30 seconds.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#define MSG 16
#define WARMUP 1000
#define SERVER_IDLE_SECONDS 600

static void die(const char *what) {
    fprintf(stderr, "pingpong: %s: %s\n", what, strerror(errno));
    exit(1);
}

static void pin(const char *arg) {
    if (!arg) return;
    int cpu = atoi(arg);
    if (cpu < 0) return;
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    if (sched_setaffinity(0, sizeof set, &set) != 0) die("sched_setaffinity");
}

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static void set_timeout(int fd, int seconds) {
    struct timeval tv = {seconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

static void nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

/* Reads exactly n bytes; returns 0 on success, -1 on end of stream or error. */
static int read_full(int fd, void *buf, size_t n) {
    char *p = buf;
    while (n > 0) {
        ssize_t r = read(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        p += r;
        n -= (size_t)r;
    }
    return 0;
}

static int write_full(int fd, const void *buf, size_t n) {
    const char *p = buf;
    while (n > 0) {
        ssize_t r = write(fd, p, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return -1;
        p += r;
        n -= (size_t)r;
    }
    return 0;
}

static void put_u64(unsigned char *b, uint64_t v) {
    for (int i = 0; i < 8; i++) b[i] = (unsigned char)(v >> (8 * i));
}

static uint64_t get_u64(const unsigned char *b) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; i--) v = (v << 8) | b[i];
    return v;
}

static void serve_one(int fd) {
    char mode;
    if (read_full(fd, &mode, 1) != 0) return;
    if (mode == 'P') {
        char msg[MSG];
        while (read_full(fd, msg, MSG) == 0)
            if (write_full(fd, msg, MSG) != 0) return;
    } else if (mode == 'B') {
        unsigned char hdr[8];
        if (read_full(fd, hdr, 8) != 0) return;
        uint64_t want = get_u64(hdr), got = 0;
        size_t cap = 1 << 20;
        char *buf = malloc(cap);
        if (!buf) return;
        while (got < want) {
            size_t n = want - got < cap ? (size_t)(want - got) : cap;
            ssize_t r = read(fd, buf, n);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            got += (uint64_t)r;
        }
        free(buf);
        put_u64(hdr, got);
        write_full(fd, hdr, 8);
    }
}

static int server(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) die("socket");
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (struct sockaddr *)&addr, sizeof addr) != 0) die("bind");
    if (listen(fd, 16) != 0) die("listen");
    set_timeout(fd, SERVER_IDLE_SECONDS); /* accept gives up after this long */
    for (;;) {
        int c = accept(fd, NULL, NULL);
        if (c < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
            die("accept");
        }
        nodelay(c);
        set_timeout(c, SERVER_IDLE_SECONDS);
        serve_one(c);
        close(c);
    }
}

static int dial(int port, char mode) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) die("socket");
    set_timeout(fd, 30);
    nodelay(fd);
    struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr *)&addr, sizeof addr) != 0) die("connect");
    if (write_full(fd, &mode, 1) != 0) die("write");
    return fd;
}

static int ping(int port, long count, double seconds) {
    int fd = dial(port, 'P');
    char msg[MSG];
    memset(msg, 'x', MSG);
    for (int i = 0; i < WARMUP; i++)
        if (write_full(fd, msg, MSG) != 0 || read_full(fd, msg, MSG) != 0) die("warm-up");
    long *lat = malloc(sizeof(long) * (size_t)count);
    if (!lat) die("malloc");
    double deadline = now() + seconds;
    long n = 0;
    while (n < count) {
        double t0 = now();
        if (write_full(fd, msg, MSG) != 0 || read_full(fd, msg, MSG) != 0) die("round trip");
        double t1 = now();
        lat[n++] = (long)((t1 - t0) * 1e9 + 0.5);
        if (t1 > deadline) break;
    }
    close(fd);
    printf("{\"n\": %ld, \"errors\": 0, \"samples_ns\": [", n);
    for (long i = 0; i < n; i++) printf(i ? ",%ld" : "%ld", lat[i]);
    printf("]}\n");
    free(lat);
    return 0;
}

static int bulk(int port, uint64_t total, size_t chunk) {
    char *buf = malloc(chunk);
    if (!buf) die("malloc");
    memset(buf, 0xab, chunk);
    int fd = dial(port, 'B');
    unsigned char hdr[8];
    put_u64(hdr, total);
    double t0 = now();
    if (write_full(fd, hdr, 8) != 0) die("write");
    for (uint64_t sent = 0; sent < total;) {
        size_t n = total - sent < chunk ? (size_t)(total - sent) : chunk;
        if (write_full(fd, buf, n) != 0) die("write");
        sent += n;
    }
    if (read_full(fd, hdr, 8) != 0) die("read");
    double dt = now() - t0;
    close(fd);
    free(buf);
    if (get_u64(hdr) != total) {
        fprintf(stderr, "pingpong: server counted %llu of %llu bytes\n",
                (unsigned long long)get_u64(hdr), (unsigned long long)total);
        return 1;
    }
    printf("{\"bytes\": %llu, \"chunk\": %zu, \"seconds\": %.6f, \"mb_s\": %.1f}\n",
           (unsigned long long)total, chunk, dt, (double)total / dt / 1e6);
    return 0;
}

int main(int argc, char **argv) {
    if (argc >= 3 && strcmp(argv[1], "server") == 0) {
        pin(argc > 3 ? argv[3] : NULL);
        return server(atoi(argv[2]));
    }
    if (argc >= 5 && strcmp(argv[1], "ping") == 0) {
        pin(argc > 5 ? argv[5] : NULL);
        long count = atol(argv[3]);
        if (count < 1) count = 1;
        return ping(atoi(argv[2]), count, atof(argv[4]));
    }
    if (argc >= 5 && strcmp(argv[1], "bulk") == 0) {
        pin(argc > 5 ? argv[5] : NULL);
        size_t chunk = (size_t)atol(argv[4]);
        if (chunk < 1) chunk = 1;
        return bulk(atoi(argv[2]), (uint64_t)atoll(argv[3]), chunk);
    }
    fprintf(stderr, "usage: pingpong server PORT [CPU] | ping PORT COUNT SECONDS [CPU] | "
                    "bulk PORT BYTES CHUNK [CPU]\n");
    return 2;
}
