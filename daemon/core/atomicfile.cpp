#include "core/atomicfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {
class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    // Closes now and reports the close result: on some file systems the
    // write error only shows up here.
    int reset() {
        int rc = 0;
        if (fd_ >= 0) rc = close(fd_);
        fd_ = -1;
        return rc;
    }

private:
    int fd_;
};

bool writeAll(int fd, const char* p, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// Sets the mode whatever the umask made of it. A FAT card holds no
// permissions: its driver refuses a mode it cannot show (EPERM, or ENOSYS
// and EOPNOTSUPP in user-space drivers), and the file keeps the card's.
bool setMode(int fd, mode_t mode) {
    if (fchmod(fd, mode) == 0) return true;
    return errno == EPERM || errno == ENOSYS || errno == EOPNOTSUPP;
}

}  // namespace

int syncFolderOf(const char* path) {
    const std::string p(path);
    size_t slash = p.rfind('/');
    std::string dir = slash == std::string::npos ? "." : p.substr(0, slash == 0 ? 1 : slash);
    UniqueFd d(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return d.get() >= 0 && fsync(d.get()) == 0 ? 1 : 0;
}

int writeFileAtomic(const char* path, const void* data, size_t len, mode_t mode) {
    const std::string tmp = std::string(path) + ".tmp";
    // A temporary file left by a cut-off write (or anything else under that
    // name, such as a symbolic link) is discarded, never written through.
    unlink(tmp.c_str());
    UniqueFd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
    if (fd.get() < 0) return 0;

    bool ok = setMode(fd.get(), mode) &&
              writeAll(fd.get(), static_cast<const char*>(data), len) && fsync(fd.get()) == 0;
    if (fd.reset() != 0) ok = false;
    // The rename itself must reach the medium too.
    if (ok && rename(tmp.c_str(), path) == 0) {
        syncFolderOf(path);
        return 1;
    }
    int saved = errno;
    unlink(tmp.c_str());
    errno = saved;
    return 0;
}

int writeFileAtomicThroughLink(const char* path, const void* data, size_t len, mode_t mode) {
    std::string target = path;
    // A few hops, as the kernel allows; a loop ends as a failed write.
    for (int hop = 0; hop < 8; hop++) {
        struct stat st;
        if (lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return writeFileAtomic(target.c_str(), data, len, mode);
        char buf[4096];
        ssize_t n = readlink(target.c_str(), buf, sizeof buf - 1);
        if (n < 0) return 0;
        const std::string next(buf, static_cast<size_t>(n));
        if (next.empty()) break;
        if (next[0] == '/') {
            target = next;
        } else {
            const size_t slash = target.rfind('/');
            target = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + next;
        }
    }
    errno = ELOOP;
    return 0;
}
