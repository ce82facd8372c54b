#include "sim_wire.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace simwire {

std::string socketPath(const char* name) {
    const char* root = getenv("TRAILNETD_ROOT");
    std::string p = root ? root : "";
    return p + "/tmp/" + name;
}

static bool fillAddr(const std::string& path, sockaddr_un& a) {
    memset(&a, 0, sizeof a);
    a.sun_family = AF_UNIX;
    if (path.size() >= sizeof a.sun_path) return false;
    memcpy(a.sun_path, path.c_str(), path.size() + 1);
    return true;
}

int connectUnix(const std::string& path) {
    sockaddr_un a;
    if (!fillAddr(path, a)) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int listenUnix(const std::string& path) {
    sockaddr_un a;
    if (!fillAddr(path, a)) return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    unlink(path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 16) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

static bool writeAll(int fd, const void* p, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(p);
    while (n > 0) {
        ssize_t w = send(fd, b, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        b += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

static bool readAll(int fd, void* p, size_t n) {
    uint8_t* b = static_cast<uint8_t*>(p);
    while (n > 0) {
        ssize_t r = read(fd, b, n);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        b += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

bool writeFrame(int fd, const Header& h, const void* payload) {
    if (h.length > kMaxPayload) return false;
    // One buffer, one send: frames from two threads never interleave.
    std::vector<uint8_t> buf(sizeof h + h.length);
    memcpy(buf.data(), &h, sizeof h);
    if (h.length) memcpy(buf.data() + sizeof h, payload, h.length);
    return writeAll(fd, buf.data(), buf.size());
}

bool readFrame(int fd, Frame& out) {
    if (!readAll(fd, &out.h, sizeof out.h)) return false;
    if (out.h.magic != kMagic || out.h.length > kMaxPayload) return false;
    out.payload.resize(out.h.length);
    return out.h.length == 0 || readAll(fd, out.payload.data(), out.h.length);
}

void Decoder::feed(const uint8_t* data, size_t n) { buf_.insert(buf_.end(), data, data + n); }

int Decoder::next(Frame& out) {
    if (buf_.size() < sizeof(Header)) return 0;
    memcpy(&out.h, buf_.data(), sizeof out.h);
    if (out.h.magic != kMagic || out.h.length > kMaxPayload) return -1;
    if (buf_.size() < sizeof(Header) + out.h.length) return 0;
    auto body = buf_.begin() + sizeof(Header);
    out.payload.assign(body, body + out.h.length);
    buf_.erase(buf_.begin(), body + out.h.length);
    return 1;
}

}  // namespace simwire
