// Preloaded ahead of libfaketime for a daemon whose clock runs at a rate
// (scripts/season --rate): sleep() and usleep() go through nanosleep, which
// libfaketime shortens by its rate, and what sleep() says is left is never
// more than was asked. libfaketime's own sleep() under a rate can come back
// with a wrapped remainder (some 3.9e9 s), and a caller that finishes an
// interrupted sleep(), as the daemon's clocks do, then never wakes again.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <time.h>
#include <unistd.h>

static int nextNanosleep(const struct timespec* req, struct timespec* rem) {
    static int (*next)(const struct timespec*, struct timespec*);
    if (next == NULL) next = (int (*)(const struct timespec*, struct timespec*))dlsym(RTLD_NEXT, "nanosleep");
    return next(req, rem);
}

unsigned int sleep(unsigned int seconds) {
    struct timespec req = {(time_t)seconds, 0};
    struct timespec rem = {0, 0};
    if (nextNanosleep(&req, &rem) == 0 || errno != EINTR) return 0;
    if (rem.tv_sec < 0 || rem.tv_sec >= (time_t)seconds) return rem.tv_sec < 0 ? 0 : seconds;
    return (unsigned int)rem.tv_sec + (rem.tv_nsec > 0 ? 1 : 0);
}

int usleep(useconds_t us) {
    struct timespec req = {(time_t)(us / 1000000), (long)(us % 1000000) * 1000};
    return nextNanosleep(&req, NULL);
}
