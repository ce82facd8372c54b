#pragma once
// Runs a program with arguments (no shell) and returns its standard output
// and exit status.
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

struct ProgramResult {
    int status = -1;  // exit status, -1 if it did not exit normally
    std::string out;
};

inline ProgramResult runProgram(const std::vector<std::string>& args) {
    ProgramResult r;
    int fds[2];
    if (pipe(fds) != 0) return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    int st = 0;
    waitpid(pid, &st, 0);
    if (WIFEXITED(st)) r.status = WEXITSTATUS(st);
    return r;
}
