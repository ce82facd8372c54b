// modem_simctl: sends one control line to a running modem_sim and prints the
// answer. Exit status 0 when the answer begins with "OK".
//   TRAILNETD_ROOT=DIR modem_simctl drop 0x10
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "sim_wire.h"

int main(int argc, char** argv) {
    std::string line;
    for (int i = 1; i < argc; ++i) line += (i > 1 ? " " : "") + std::string(argv[i]);
    if (line.empty()) {
        fprintf(stderr, "usage: modem_simctl COMMAND...\n");
        return 2;
    }
    int fd = simwire::connectUnix(simwire::socketPath(simwire::kControlSocket));
    if (fd < 0) {
        fprintf(stderr, "modem_simctl: simulator not running\n");
        return 1;
    }
    line += "\n";
    if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) return 1;
    std::string reply;
    char c;
    while (read(fd, &c, 1) == 1 && c != '\n') reply += c;
    close(fd);
    printf("%s\n", reply.c_str());
    return reply.rfind("OK", 0) == 0 ? 0 : 1;
}
