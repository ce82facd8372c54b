#include "update/run_tool.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "core/unique_fd.h"

namespace {

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
pid_t spawn(const std::vector<std::string>& argv, int stdoutFd, int stdinFd = -1) {
    if (argv.empty()) return -1;
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = fork();
    if (pid != 0) return pid;  // parent, or -1
    int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
        dup2(stdinFd >= 0 ? stdinFd : devnull, 0);
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

namespace {

// Reads `fd` to its end (or until `onData` declines) and hands the pieces on.
void drain(int fd, const std::function<bool(const char*, size_t)>& onData) {
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        if (!onData(buf, static_cast<size_t>(n))) return;
    }
}

// Cuts pieces into lines for runToolLines' callers.
class LineCutter {
public:
    LineCutter(const std::function<bool(const std::string&, bool)>& onLine, size_t maxLine)
        : onLine_(onLine), maxLine_(maxLine) {}
    bool piece(const char* buf, size_t n) {
        for (size_t i = 0; i < n && wanted_; i++) {
            if (buf[i] == '\n') {
                wanted_ = onLine_(line_, cut_);
                line_.clear();
                cut_ = false;
            } else if (line_.size() < maxLine_) {
                line_ += buf[i];
            } else {
                cut_ = true;
            }
        }
        return wanted_;
    }
    void end() {
        if (wanted_ && (!line_.empty() || cut_)) onLine_(line_, cut_);
    }

private:
    const std::function<bool(const std::string&, bool)>& onLine_;
    size_t maxLine_;
    std::string line_;
    bool cut_ = false;
    bool wanted_ = true;
};

}  // namespace

int runToolOutput(const std::vector<std::string>& argv,
                  const std::function<bool(const char* data, size_t size)>& onData) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return -1;
    Fd readEnd(p[0]);
    Fd writeEnd(p[1]);
    pid_t pid = spawn(argv, writeEnd.get());
    if (pid < 0) return -1;
    writeEnd.reset();
    drain(readEnd.get(), onData);
    readEnd.reset();  // a tool still writing ends on SIGPIPE
    return waitStatus(pid);
}

int runToolLines(const std::vector<std::string>& argv,
                 const std::function<bool(const std::string& line, bool cut)>& onLine,
                 size_t maxLine) {
    LineCutter cutter(onLine, maxLine);
    int status = runToolOutput(argv, [&](const char* buf, size_t n) { return cutter.piece(buf, n); });
    cutter.end();
    return status;
}

int runToolPipe(const std::vector<std::string>& first, const std::vector<std::string>& second,
                const std::function<bool(const std::string& line, bool cut)>& onLine,
                size_t maxLine) {
    int link[2];
    if (pipe2(link, O_CLOEXEC) != 0) return -1;
    Fd linkRead(link[0]);
    Fd linkWrite(link[1]);
    Fd outRead, outWrite;
    if (onLine) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return -1;
        outRead.reset(out[0]);
        outWrite.reset(out[1]);
    }
    pid_t a = spawn(first, linkWrite.get());
    if (a < 0) return -1;
    linkWrite.reset();
    pid_t b = spawn(second, onLine ? outWrite.get() : -1, linkRead.get());
    linkRead.reset();
    if (b < 0) {
        waitStatus(a);  // ends on its broken pipe
        return -1;
    }
    outWrite.reset();
    if (onLine) {
        LineCutter cutter(onLine, maxLine);
        drain(outRead.get(), [&](const char* buf, size_t n) { return cutter.piece(buf, n); });
        cutter.end();
        outRead.reset();
    }
    const int second_status = waitStatus(b);
    const int first_status = waitStatus(a);
    // A reader that has all it needs may leave before the writer's last
    // bytes: that broken pipe is no failure.
    if (second_status != 0) return second_status;
    return first_status == 128 + SIGPIPE ? 0 : first_status;
}
