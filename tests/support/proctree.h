#pragma once
// Ends a process and everything it started at one moment, as a power cut
// does. A SIGKILL of the daemon alone leaves its children (tar unpacking onto
// the card, a sync still flushing) running on after the "cut", writing to
// cards the test has already powered on again.
#include <dirent.h>
#include <signal.h>
#include <sys/types.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace proctree {

struct Proc {
    pid_t parent;
    char state;  // 'T' stopped, 'Z' ended, ...
};

// Every process now running, from /proc/PID/stat.
inline std::map<pid_t, Proc> processes() {
    std::map<pid_t, Proc> out;
    DIR* d = opendir("/proc");
    if (d == nullptr) return out;
    while (dirent* e = readdir(d)) {
        char* end = nullptr;
        const long pid = strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0') continue;
        char path[64];
        snprintf(path, sizeof path, "/proc/%ld/stat", pid);
        FILE* f = fopen(path, "r");
        if (f == nullptr) continue;  // gone meanwhile
        char buf[512];
        const size_t n = fread(buf, 1, sizeof buf - 1, f);
        fclose(f);
        buf[n] = '\0';
        // "PID (COMMAND) STATE PPID ...": the command may hold spaces and ')'.
        const char* close = strrchr(buf, ')');
        char state = 0;
        long ppid = 0;
        if (close != nullptr && sscanf(close + 1, " %c %ld", &state, &ppid) == 2)
            out[static_cast<pid_t>(pid)] = Proc{static_cast<pid_t>(ppid), state};
    }
    closedir(d);
    return out;
}

// Waits (a few seconds at most) until each of `pids` has stopped or ended:
// a signal takes effect when the process next leaves the kernel, and one
// that was inside fork() comes back with a child.
inline void waitStopped(const std::set<pid_t>& pids) {
    for (int round = 0; round < 500; round++) {
        const std::map<pid_t, Proc> now = processes();
        bool all = true;
        for (pid_t p : pids) {
            auto it = now.find(p);
            if (it != now.end() && it->second.state != 'T' && it->second.state != 't' &&
                it->second.state != 'Z' && it->second.state != 'X')
                all = false;
        }
        if (all) return;
        struct timespec ts = {0, 10 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
}

// Stops `root` and its descendants (found again until no new one appears),
// then kills them all. Returns the descendants it killed; `root` itself is
// the caller's to reap.
inline std::vector<pid_t> killTree(pid_t root) {
    if (root <= 0) return {};
    std::set<pid_t> stopped = {root};
    kill(root, SIGSTOP);
    waitStopped(stopped);
    for (bool more = true; more;) {
        more = false;
        std::set<pid_t> fresh;
        for (const auto& [pid, p] : processes()) {
            if (stopped.count(pid) == 0 && stopped.count(p.parent) != 0) {
                kill(pid, SIGSTOP);
                fresh.insert(pid);
            }
        }
        if (!fresh.empty()) {
            stopped.insert(fresh.begin(), fresh.end());
            waitStopped(fresh);
            more = true;
        }
    }
    stopped.erase(root);
    kill(root, SIGKILL);
    for (pid_t p : stopped) kill(p, SIGKILL);
    return std::vector<pid_t>(stopped.begin(), stopped.end());
}

}  // namespace proctree
