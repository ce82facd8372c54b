#include "SafeFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

class UniqueFd {
public:
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    // Closes now and reports the close result: a write error may show only here.
    int reset() {
        int rc = 0;
        if (fd_ >= 0) rc = close(fd_);
        fd_ = -1;
        return rc;
    }

private:
    int fd_;
};

struct DirClose {
    void operator()(DIR* d) const { closedir(d); }
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

bool endsWith(const char* name, const char* suffix, bool anyCase) {
    size_t n = strlen(name), s = strlen(suffix);
    if (n < s) return false;
    return anyCase ? strcasecmp(name + n - s, suffix) == 0 : strcmp(name + n - s, suffix) == 0;
}

// "x.jpg" followed by `suffix`, the picture's name compared without regard to case.
bool isPictureWith(const char* name, const char* suffix) {
    size_t n = strlen(name), s = strlen(suffix);
    if (n <= s + 4 || strcmp(name + n - s, suffix) != 0) return false;
    return strncasecmp(name + n - s - 4, ".jpg", 4) == 0;
}

}  // namespace

int SafeFileSyncFolder(const char* path) {
    const std::string p(path);
    size_t slash = p.rfind('/');
    std::string dir = slash == std::string::npos ? "." : p.substr(0, slash == 0 ? 1 : slash);
    UniqueFd d(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return d.get() >= 0 && fsync(d.get()) == 0 ? 1 : 0;
}

int SafeFileReplace(const char* path, const char* work, const void* data, size_t len) {
    // Whatever stands under the work name (a cut-off copy, a link) is
    // replaced, never written through.
    unlink(work);
    UniqueFd fd(open(work, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (fd.get() < 0) return 0;
    bool ok = writeAll(fd.get(), static_cast<const char*>(data), len) && fsync(fd.get()) == 0;
    if (fd.reset() != 0) ok = false;
    if (ok && rename(work, path) == 0) {
        // The picture is whole either way; a folder that can't be flushed
        // only means the old picture may come back after a cut.
        SafeFileSyncFolder(path);
        return 1;
    }
    int saved = errno;
    unlink(work);
    errno = saved;
    return 0;
}

int SafeFileCopy(const char* from, const char* to) {
    UniqueFd in(open(from, O_RDONLY | O_CLOEXEC));
    if (in.get() < 0) return 0;
    unlink(to);
    UniqueFd out(open(to, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (out.get() < 0) return 0;
    std::vector<char> buf(64 * 1024);
    bool ok = true;
    while (ok) {
        ssize_t n = read(in.get(), buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        ok = writeAll(out.get(), buf.data(), static_cast<size_t>(n));
    }
    if (out.reset() != 0) ok = false;
    if (!ok) unlink(to);
    return ok ? 1 : 0;
}

int SafeFileAppend(const char* path, const void* data, size_t len) {
    struct stat st;
    bool existed = lstat(path, &st) == 0;
    UniqueFd fd(open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (fd.get() < 0) return 0;
    bool ok = writeAll(fd.get(), static_cast<const char*>(data), len) && fsync(fd.get()) == 0;
    if (fd.reset() != 0) ok = false;
    if (ok && !existed) ok = SafeFileSyncFolder(path) == 1;
    return ok ? 1 : 0;
}

bool SafeFileIsLeftover(const char* name) {
    if (isPictureWith(name, SAFEFILE_WORK_SUFFIX) || isPictureWith(name, ".part")) return true;
    // The optimizer writes "jpegoptim-<uid>-<pid>.<random>.tmp" beside the
    // file it optimises and renames it over that file.
    return strncmp(name, "jpegoptim-", 10) == 0 && endsWith(name, ".tmp", false);
}

int SafeFileCleanFolder(const char* folder) {
    std::unique_ptr<DIR, DirClose> dir(opendir(folder));
    if (!dir) return 0;
    std::vector<std::string> found;
    while (const dirent* ent = readdir(dir.get()))
        if (SafeFileIsLeftover(ent->d_name)) found.emplace_back(ent->d_name);
    dir.reset();
    int removed = 0;
    for (const std::string& name : found)
        if (unlink((std::string(folder) + name).c_str()) == 0) removed++;
    if (removed > 0) SafeFileSyncFolder((std::string(folder) + ".").c_str());
    return removed;
}
