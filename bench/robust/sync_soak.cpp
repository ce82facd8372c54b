// Repeated syncs in one process for a given time, against whatever cloud the
// root tree's configuration names, with the data call dropping between
// some of them and new pictures arriving all the time. Prints one JSON line
// of figures (descriptors, threads, resident memory) after the first sync and
// at the end, so growth shows.
//   TRAILNETD_ROOT=DIR sync_soak IMEI SECONDS
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "cellular/cellular_state.h"
#include "cloud/sync.h"
#include "core/config.h"
#include "core/identity.h"
#include "core/rootpath.h"

namespace {

long countEntries(const char* dir) {
    long n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') n++;
        closedir(d);
    }
    return n;
}

long statusField(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return strtol(line.c_str() + strlen(key), nullptr, 10);
    return -1;
}

void figures(const char* when, long syncs, long failed, long pictures) {
    // The directory stream itself holds one descriptor while counting.
    printf("{\"process\": \"sync_soak\", \"when\": \"%s\", \"syncs\": %ld, \"failed\": %ld, "
           "\"pictures\": %ld, \"fds\": %ld, \"threads\": %ld, \"rss_kb\": %ld}\n",
           when, syncs, failed, pictures, countEntries("/proc/self/fd") - 1,
           statusField("Threads:"), statusField("VmRSS:"));
    fflush(stdout);
}

void makePicture(long n) {
    char path[64];
    snprintf(path, sizeof path, "/media/sdcard/TRANSMIT/SOAK%06ld.JPG", n);
    std::string bytes(5000 + (n * 7919) % 150000, static_cast<char>(n));
    std::ofstream(rootPath(path), std::ios::binary) << bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: sync_soak IMEI SECONDS\n");
        return 2;
    }
    loadDaemonConfig();
    setModemImei(argv[1]);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(atol(argv[2]));
    long syncs = 0, failed = 0, pictures = 0;
    for (;;) {
        for (int i = 0; i < 3; i++) makePicture(pictures++);
        // Every fifth sync starts on a dropped call that comes back while the
        // sync waits for it.
        cellularState().dataConnected = syncs % 5 == 4 ? 0 : 1;
        std::thread up;
        if (!cellularState().dataConnected)
            up = std::thread([] {
                sleep(2);
                cellularState().dataConnected = 1;
            });
        if (runSync(syncs % 7 == 0 ? 1 : 0) != 0) failed++;
        if (up.joinable()) up.join();
        syncs++;
        if (syncs == 1) figures("start", syncs, failed, pictures);
        if (std::chrono::steady_clock::now() >= end) break;
    }
    figures("end", syncs, failed, pictures);
    return 0;
}
