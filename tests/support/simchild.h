#pragma once
// A simulator run as a child of the test: started with its standard output
// on a pipe, it prints one ready line; stopped with SIGTERM and reaped.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace simchild {

// One line from `fd` without its newline; what came before a pause of
// `timeoutMs` or the end.
inline std::string readLine(int fd, int timeoutMs) {
    std::string line;
    char c;
    while (true) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) break;
        if (read(fd, &c, 1) != 1 || c == '\n') break;
        line += c;
    }
    return line;
}

// Starts `argv` (the program searched on PATH) into *pid and returns its
// first line of output, "" when none came within a minute. `ownGroup`: the
// child leads a process group of its own, so stop() reaches what it starts.
inline std::string start(pid_t* pid, const std::vector<std::string>& argv, bool ownGroup = false) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    *pid = fork();
    if (*pid < 0) throw std::runtime_error("fork");
    if (*pid == 0) {
        if (ownGroup) setpgid(0, 0);
        // A test that crashes must not leave a server behind.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    // Also here: the group must exist before stop() signals it.
    if (ownGroup) setpgid(*pid, *pid);
    close(fds[1]);
    std::string line = readLine(fds[0], 60000);
    close(fds[0]);
    return line;
}

// SIGTERM to the child (to its group when it has one of its own), then
// reaped; *pid is -1 afterwards.
inline void stop(pid_t* pid, bool ownGroup = false) {
    if (*pid <= 0) return;
    kill(ownGroup ? -*pid : *pid, SIGTERM);
    int st;
    waitpid(*pid, &st, 0);
    *pid = -1;
}

}  // namespace simchild
