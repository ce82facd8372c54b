// The box's UDP to the desk. QEMU's user network forwards the guest's TCP
// only (guestfwd), so the datagrams the module sends to the desk's UDP
// services (the NTP pool) go through the virtio port "tn.udp" instead:
//
//   udp_relay PORT_DEVICE ADDRESS:PORT...
//
// Each datagram a client sends to one of the ADDRESS:PORT sockets goes to
// the host as one frame, and each frame the host sends back goes to the
// client it names:
//
//   u16 length of what follows | u32 client IPv4 | u16 client port |
//   u16 service port | the datagram            (all big-endian)
//
// sim/vm/vmsim.py holds the host end and passes the datagram on to the
// desk's server for that service port. While no one holds the host end,
// reads of the port end at once: the relay opens it again a second later.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd&& o) noexcept : fd(o.fd) { o.fd = -1; }
    Fd& operator=(Fd&& o) noexcept {
        if (this != &o) {
            reset();
            fd = o.fd;
            o.fd = -1;
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    void reset() {
        if (fd >= 0) close(fd);
        fd = -1;
    }
};

struct Service {
    Fd sock;
    uint16_t port = 0;
};

bool writeAll(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

void put16(unsigned char* p, uint16_t v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

uint16_t get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

bool bindService(const char* address, Service* out) {
    std::string s(address);
    size_t colon = s.rfind(':');
    if (colon == std::string::npos) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(atoi(s.c_str() + colon + 1)));
    if (inet_pton(AF_INET, s.substr(0, colon).c_str(), &a.sin_addr) != 1) return false;
    out->sock = Fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    out->port = ntohs(a.sin_port);
    return out->sock.fd >= 0 && bind(out->sock.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: udp_relay PORT_DEVICE ADDRESS:PORT...\n");
        return 2;
    }
    std::vector<Service> services(static_cast<size_t>(argc - 2));
    for (int i = 2; i < argc; ++i) {
        if (!bindService(argv[i], &services[static_cast<size_t>(i - 2)])) {
            fprintf(stderr, "udp_relay: cannot listen on %s: %s\n", argv[i], strerror(errno));
            return 1;
        }
    }
    Fd port;
    std::vector<unsigned char> in;  // frames from the host, possibly partial
    for (;;) {
        if (port.fd < 0) {
            port = Fd(open(argv[1], O_RDWR | O_CLOEXEC));
            if (port.fd < 0) {
                sleep(1);
                continue;
            }
            in.clear();
        }
        std::vector<pollfd> fds;
        fds.push_back({port.fd, POLLIN, 0});
        for (const Service& s : services) fds.push_back({s.sock.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            unsigned char buf[4096];
            ssize_t n = read(port.fd, buf, sizeof buf);
            if (n <= 0) {
                port.reset();
                sleep(1);
                continue;
            }
            in.insert(in.end(), buf, buf + n);
            while (in.size() >= 2 && in.size() >= 2u + get16(in.data())) {
                size_t len = get16(in.data());
                const unsigned char* f = in.data() + 2;
                if (len >= 8) {
                    sockaddr_in to{};
                    to.sin_family = AF_INET;
                    memcpy(&to.sin_addr, f, 4);
                    memcpy(&to.sin_port, f + 4, 2);
                    for (const Service& s : services) {
                        if (s.port == get16(f + 6)) {
                            sendto(s.sock.fd, f + 8, len - 8, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
                        }
                    }
                }
                in.erase(in.begin(), in.begin() + static_cast<long>(2 + len));
            }
        }
        for (size_t i = 0; i < services.size(); ++i) {
            if (!(fds[i + 1].revents & POLLIN)) continue;
            unsigned char frame[2 + 8 + 1500];
            sockaddr_in from{};
            socklen_t fromLen = sizeof from;
            ssize_t n = recvfrom(services[i].sock.fd, frame + 10, sizeof frame - 10, 0,
                                 reinterpret_cast<sockaddr*>(&from), &fromLen);
            if (n < 0) continue;
            put16(frame, static_cast<uint16_t>(8 + n));
            memcpy(frame + 2, &from.sin_addr, 4);
            memcpy(frame + 6, &from.sin_port, 2);
            put16(frame + 8, services[i].port);
            if (!writeAll(port.fd, frame, static_cast<size_t>(10 + n))) port.reset();
        }
    }
}
