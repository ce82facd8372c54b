#include "cellular/power.h"

#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "core/rootpath.h"

int shell_run(const char* format, ...) {
    if (format == nullptr) return -1;
    char cmd[256];  // longer commands are cut to 255 characters
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(cmd, sizeof cmd, format, ap);
    va_end(ap);
    if (n < 0) return -1;
    return system(cmd);
}

int shell_run_bounded(int seconds, const char* format, ...) {
    if (format == nullptr) return -1;
    char cmd[256];  // cut like shell_run
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(cmd, sizeof cmd, format, ap);
    va_end(ap);
    if (n < 0) return -1;

    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        setpgid(0, 0);  // own group, so a time-out ends the tool and the shell together
        execl("/bin/sh", "sh", "-c", cmd, static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(pid, pid);  // also from here: no race with the child's own call

    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0) return -1;
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsedMs = (now.tv_sec - start.tv_sec) * 1000L +
                         (now.tv_nsec - start.tv_nsec) / 1000000L;
        if (elapsedMs >= seconds * 1000L) {
            kill(-pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        usleep(50 * 1000);
    }
}

int module_power_down(int mode) {
    // Keeps the system from suspending half-way through the shutdown.
    shell_run("echo \"module_powerdown\" > %s", rootPath("/sys/power/wake_lock").c_str());
    usleep(200);
    const std::string nand = rootPath("/sys/devices/7980000.nand/write_forbidden");
    const std::string sysrq = rootPath("/proc/sysrq-trigger");
    switch (mode) {
    case 0: shell_run("halt"); break;
    case 1: shell_run("reboot"); break;
    case 2:
        shell_run("echo 1 > %s", nand.c_str());
        shell_run("echo o > %s", sysrq.c_str());
        break;
    case 3:
        shell_run("echo 1 > %s", nand.c_str());
        shell_run("echo b > %s", sysrq.c_str());
        break;
    default: break;
    }
    return 0;
}

int file_missing(const char* path) {
    if (path == nullptr || path[0] == '\0') return -1;
    return access(path, F_OK) == 0 ? 0 : 1;
}
