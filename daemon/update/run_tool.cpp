#include "update/run_tool.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

int waitStatus(pid_t pid) {
    int st = 0;
    while (waitpid(pid, &st, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

// Everything the child needs is prepared before fork: after it, only
// async-signal-safe calls (the daemon has other threads).
pid_t spawn(const std::vector<std::string>& argv, int stdoutFd) {
    if (argv.empty()) return -1;
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid != 0) return pid;  // parent, or -1
    int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
        dup2(devnull, 0);
        dup2(stdoutFd >= 0 ? stdoutFd : devnull, 1);
        dup2(devnull, 2);
    }
    // A daemon may ignore SIGPIPE; the tools expect the default.
    signal(SIGPIPE, SIG_DFL);
    execvp(args[0], args.data());
    _exit(127);
}

}  // namespace

int runTool(const std::vector<std::string>& argv) {
    pid_t pid = spawn(argv, -1);
    if (pid < 0) return -1;
    return waitStatus(pid);
}

int runToolLines(const std::vector<std::string>& argv,
                 const std::function<bool(const std::string& line, bool cut)>& onLine,
                 size_t maxLine) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return -1;
    Fd readEnd(p[0]);
    Fd writeEnd(p[1]);
    pid_t pid = spawn(argv, writeEnd.get());
    if (pid < 0) return -1;
    writeEnd.reset();

    std::string line;
    bool cut = false;
    bool wanted = true;
    char buf[4096];
    while (wanted) {
        ssize_t n = read(readEnd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n && wanted; i++) {
            if (buf[i] == '\n') {
                wanted = onLine(line, cut);
                line.clear();
                cut = false;
            } else if (line.size() < maxLine) {
                line += buf[i];
            } else {
                cut = true;
            }
        }
    }
    if (wanted && (!line.empty() || cut)) onLine(line, cut);
    readEnd.reset();  // a tool still writing ends on SIGPIPE
    return waitStatus(pid);
}
