/* A slow disk for the benchmarks, loaded into the server with LD_PRELOAD:
 * every fdatasync and fsync first sleeps SLOW_SYNC_MS milliseconds (100 when
 * unset), as a busy hard disk, a network drive or a virus scanner that
 * checks each write would make it wait. Nothing else changes.
 *
 *   gcc -shared -fPIC -O2 -o slow_sync.so slow_sync.c -ldl */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <time.h>

static void wait_as_a_slow_disk(void) {
    const char* text = getenv("SLOW_SYNC_MS");
    long ms = text ? atol(text) : 100;
    struct timespec t = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0) {
    }
}

int fdatasync(int fd) {
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fdatasync");
    wait_as_a_slow_disk();
    return real(fd);
}

int fsync(int fd) {
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
    wait_as_a_slow_disk();
    return real(fd);
}
