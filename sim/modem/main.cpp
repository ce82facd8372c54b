// modem_sim: one process playing the module's modem side for the daemon on a
// desk: the MCM service, the connection manager, the AT channel, the ready
// flags and the stand-in start script and pidof.
//
//   modem_sim --root DIR [--scenario FILE]
//
// Prints "READY" on standard output once every socket and file is in place.
// Control: one text line per request on $ROOT/tmp/modem_sim.ctl (see control.cpp).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <list>
#include <string>

#include "simulator.h"

int main(int argc, char** argv) {
    std::string root, scenarioFile;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--root" && i + 1 < argc) root = argv[++i];
        else if (a == "--scenario" && i + 1 < argc) scenarioFile = argv[++i];
        else {
            fprintf(stderr, "usage: modem_sim --root DIR [--scenario FILE]\n");
            return 2;
        }
    }
    if (root.empty() && getenv("TRAILNETD_ROOT")) root = getenv("TRAILNETD_ROOT");
    if (root.empty()) {
        fprintf(stderr, "modem_sim: no root tree (--root or TRAILNETD_ROOT)\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv[0]);
    dir = dir.substr(0, dir.rfind('/'));

    Simulator sim(root, dir + "/modem_simctl");
    std::string err;
    if (!scenarioFile.empty() && !sim.scenario().loadFile(scenarioFile, err)) {
        fprintf(stderr, "modem_sim: %s\n", err.c_str());
        return 2;
    }
    if (!sim.start(err)) {
        fprintf(stderr, "modem_sim: %s\n", err.c_str());
        return 1;
    }
    printf("READY\n");
    fflush(stdout);
    sim.run();
    return 0;
}
