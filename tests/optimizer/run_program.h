#pragma once
// Runs a program with arguments (no shell) and returns its standard output
// and exit status; with a limit, kills it if it is still running then.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

struct ProgramResult {
    int status = -1;      // exit status, -1 if it did not exit normally
    bool exited = false;  // false: it ended on a signal, or had to be killed
    std::string out;
    double seconds = 0;
};

// limitSeconds 0: wait as long as it runs. quietErrors: its standard error
// goes to /dev/null (libcurl's trace).
inline ProgramResult runProgram(const std::vector<std::string>& args, int limitSeconds = 0,
                                bool quietErrors = false) {
    ProgramResult r;
    int fds[2];
    if (pipe(fds) != 0) return r;
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        if (quietErrors) {
            int devnull = open("/dev/null", O_WRONLY);
            if (devnull >= 0) dup2(devnull, 2);
        }
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    auto deadline = t0 + std::chrono::seconds(limitSeconds);
    char buf[4096];
    bool late = false;
    while (true) {
        if (limitSeconds > 0) {
            long left = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              deadline - std::chrono::steady_clock::now())
                                              .count());
            struct pollfd p = {fds[0], POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
                late = true;
                break;
            }
        }
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0) break;
        r.out.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int st = 0;
    if (late) kill(pid, SIGKILL);
    waitpid(pid, &st, 0);
    r.exited = !late && WIFEXITED(st);
    if (r.exited) r.status = WEXITSTATUS(st);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return r;
}
