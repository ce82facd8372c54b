// Host stand-in of libql_sys_log: lines go to $TRAILNETD_ROOT/tmp/ql_sys_log.txt
// (one "<prio> tag: text" line per call, appended with one write so lines of
// several threads never mix).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ql_sys_log.h"

extern "C" int ql_sys_log_puts(int buf_id, int prio, const char* tag, const char* msg) {
    if (buf_id != 0 || tag == nullptr || msg == nullptr) return -1;
    const char* root = getenv("TRAILNETD_ROOT");
    std::string path = std::string(root ? root : "") + "/tmp/ql_sys_log.txt";
    char line[1024];
    int n = snprintf(line, sizeof line, "<%d> %s: %s", prio, tag, msg);
    if (n < 0) return -1;
    size_t len = static_cast<size_t>(n) < sizeof line - 1 ? static_cast<size_t>(n) : sizeof line - 2;
    if (len == 0 || line[len - 1] != '\n') line[len++] = '\n';
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    ssize_t w = write(fd, line, len);
    close(fd);
    return w == static_cast<ssize_t>(len) ? 0 : -1;
}
