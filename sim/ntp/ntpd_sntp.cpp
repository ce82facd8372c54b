// The module's `ntpd -nNqp HOST` where the BusyBox at hand has no ntpd
// applet (Debian's busybox-static, the userland of the module's image): it
// asks HOST's port 123 by SNTP over UDP, steps the clock with clock_settime
// as BusyBox's ntpd -q does, prints "ntpd: setting time to ..." and exits 0.
// Like ntpd -q it asks again every 2 s while no good answer comes, until it
// is killed. Only the query-once form is played: the module never runs ntpd
// as a server. For the desk's own tests, HOST may carry a port (HOST:PORT),
// and TN_NTPD_DRY_RUN=1 prints the time it would set instead of setting it.
#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

constexpr uint32_t kNtpEpoch = 2208988800u;  // 1900 to 1970

struct Socket {
    int fd = -1;
    ~Socket() {
        if (fd >= 0) close(fd);
    }
};

uint64_t toNtp(const timespec& t) {
    uint64_t secs = static_cast<uint64_t>(t.tv_sec) + kNtpEpoch;
    uint64_t frac = (static_cast<uint64_t>(t.tv_nsec) << 32) / 1000000000u;
    return (secs << 32) | frac;
}

double ntpToDouble(uint64_t v) {
    return static_cast<double>(v >> 32) - kNtpEpoch + static_cast<double>(v & 0xffffffffu) / 4294967296.0;
}

double toDouble(const timespec& t) { return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9; }

uint64_t get64(const unsigned char* p) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
    return v;
}

void put64(unsigned char* p, uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8) p[i] = static_cast<unsigned char>(v);
}

// One request and its answer: the clock's offset from the server in
// seconds, or false when no usable answer came within 2 s.
bool ask(const addrinfo* server, double* offset) {
    Socket s;
    s.fd = socket(server->ai_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s.fd < 0 || connect(s.fd, server->ai_addr, server->ai_addrlen) != 0) return false;
    unsigned char req[48] = {0x23};  // version 4, client
    timespec t1;
    clock_gettime(CLOCK_REALTIME, &t1);
    uint64_t sent = toNtp(t1);
    put64(req + 40, sent);
    if (send(s.fd, req, sizeof req, 0) != static_cast<ssize_t>(sizeof req)) return false;
    pollfd p{s.fd, POLLIN, 0};
    for (;;) {
        int n = poll(&p, 1, 2000);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        unsigned char a[512];
        ssize_t got = recv(s.fd, a, sizeof a, 0);
        timespec t4;
        clock_gettime(CLOCK_REALTIME, &t4);
        if (got < 48) return false;
        int leap = a[0] >> 6, mode = a[0] & 7, stratum = a[1];
        // An unsynchronised server, a kiss-o'-death or an answer to another
        // request is no answer.
        if (mode != 4 || leap == 3 || stratum == 0 || stratum >= 16 || get64(a + 24) != sent) return false;
        double t2 = ntpToDouble(get64(a + 32)), t3 = ntpToDouble(get64(a + 40));
        *offset = ((t2 - toDouble(t1)) + (t3 - toDouble(t4))) / 2;
        return true;
    }
}

int usage() {
    fprintf(stderr, "usage: ntpd -nNqp HOST (set the clock once from HOST and exit)\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string host;
    bool once = false;
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (a[0] != '-') return usage();
        for (const char* f = a + 1; *f; ++f) {
            if (*f == 'q') {
                once = true;
            } else if (*f == 'p') {
                // The peer is the rest of this word or the next one.
                if (f[1]) {
                    host = f + 1;
                } else if (i + 1 < argc) {
                    host = argv[++i];
                } else {
                    return usage();
                }
                break;
            } else if (*f != 'n' && *f != 'N') {
                return usage();
            }
        }
    }
    if (!once || host.empty()) return usage();
    std::string port = "123";
    size_t colon = host.rfind(':');
    if (colon != std::string::npos) {
        port = host.substr(colon + 1);
        host.resize(colon);
    }
    const char* dry = getenv("TN_NTPD_DRY_RUN");
    bool dryRun = dry != nullptr && strcmp(dry, "1") == 0;
    for (;;) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* found = nullptr;
        double offset = 0;
        bool answered = false;
        timespec began;
        clock_gettime(CLOCK_MONOTONIC, &began);
        if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) == 0) {
            answered = ask(found, &offset);
            freeaddrinfo(found);
        }
        if (!answered) {
            // Every 2 s, whether the server was silent or answered badly.
            timespec now;
            clock_gettime(CLOCK_MONOTONIC, &now);
            double waited = toDouble(now) - toDouble(began);
            if (waited < 2) usleep(static_cast<useconds_t>((2 - waited) * 1e6));
            continue;
        }
        timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        double target = toDouble(now) + offset;
        timespec set;
        set.tv_sec = static_cast<time_t>(target);
        set.tv_nsec = static_cast<long>((target - static_cast<double>(set.tv_sec)) * 1e9);
        if (dryRun) {
            printf("ntpd: would set time to %lld.%06ld (offset %+fs)\n", static_cast<long long>(set.tv_sec),
                   set.tv_nsec / 1000, offset);
            return 0;
        }
        if (clock_settime(CLOCK_REALTIME, &set) != 0) {
            fprintf(stderr, "ntpd: can't set the time: %s\n", strerror(errno));
            return 1;
        }
        char text[32];
        tm parts;
        gmtime_r(&set.tv_sec, &parts);
        strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
        printf("ntpd: setting time to %s.%06ld (offset %+fs)\n", text, set.tv_nsec / 1000, offset);
        return 0;
    }
}
