// Linked into every fuzz target: the daemon's waits (a flag of the cellular
// handler, the sync's back-off, the SIM wait, the card at boot) sleep through
// libc, and an input must never be able to sleep. The harness's own definition
// comes first on the link line, so it wins over libc's.
#include <time.h>
#include <unistd.h>

extern "C" unsigned int sleep(unsigned int) { return 0; }
extern "C" int usleep(useconds_t) { return 0; }
extern "C" int nanosleep(const struct timespec*, struct timespec* rem) {
    if (rem != nullptr) rem->tv_sec = rem->tv_nsec = 0;
    return 0;
}
