// Sync runs of the daemon's cloud side, in-process, for bench/run: the root
// tree ($TRAILNETD_ROOT) names the host and holds the pictures; the data
// connection is marked up.
//   TRAILNETD_ROOT=/tmp/root cloud_sync_tool IMEI
//       one sync; prints {"result": R, "ms": T}; exit status 0 when R is 0
//   TRAILNETD_ROOT=/tmp/root cloud_sync_tool IMEI MAX_SYNCS
//       syncs until the transmit folder is empty or MAX_SYNCS ran, in one
//       process (so TLS sessions carry over, as in the daemon); prints
//       {"sync": N, "result": R, "ms": T, "left": PICTURES, "cpu_ms": C,
//       "peak_kb": K, "entries": E, "examined": X} per sync (C: this
//       process's CPU time in that sync; K: its peak resident memory so far;
//       E, X: transmit folder entries read and examined with stat()); exit 0
// TN_BENCH_EXPECT=1 makes uploads wait for "100 Continue" before the body.
// TN_BENCH_TUS_CHUNK=N sends resumable uploads in PATCHes of at most N bytes
// (default: one PATCH for the whole rest).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "cellular/cellular_state.h"
#include "cloud/camapi.h"
#include "cloud/sync.h"
#include "cloud/tus.h"
#include "cloud/uploads.h"
#include "core/config.h"
#include "core/identity.h"

namespace {

int picturesLeft() {
    const char* root = getenv("TRAILNETD_ROOT");
    std::error_code ec;
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(
             std::string(root ? root : "") + "/media/sdcard/TRANSMIT", ec))
        if (e.is_regular_file()) n++;
    return n;
}

double cpuMs() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1000.0 +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1000.0;
}

// The high-water mark of this program's resident memory. Not getrusage():
// its figure keeps the parent's size from before the exec.
long peakKb() {
    FILE* f = fopen("/proc/self/status", "r");
    if (f == nullptr) return -1;
    char line[256];
    long kb = -1;
    while (fgets(line, sizeof line, f) != nullptr)
        if (sscanf(line, "VmHWM: %ld kB", &kb) == 1) break;
    fclose(f);
    return kb;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) {
        fprintf(stderr, "usage: cloud_sync_tool IMEI [MAX_SYNCS]\n");
        return 2;
    }
    const char* expect = getenv("TN_BENCH_EXPECT");
    if (expect != nullptr && strcmp(expect, "1") == 0) camApiLimits().expectContinue = true;
    const char* chunk = getenv("TN_BENCH_TUS_CHUNK");
    if (chunk != nullptr) tusLimits().chunkBytes = atoll(chunk);
    loadDaemonConfig();
    setModemImei(argv[1]);
    cellularState().dataConnected = 1;
    int most = argc == 3 ? atoi(argv[2]) : 0;
    for (int i = 1; i <= (most > 0 ? most : 1); i++) {
        auto t0 = std::chrono::steady_clock::now();
        double cpu0 = cpuMs();
        scanCounts() = ScanCounts{};
        int result = runSync(0);
        double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
        if (most == 0) {
            printf("{\"result\": %d, \"ms\": %.2f}\n", result, ms);
            return result == 0 ? 0 : 1;
        }
        int left = picturesLeft();
        printf("{\"sync\": %d, \"result\": %d, \"ms\": %.2f, \"left\": %d, \"cpu_ms\": %.1f, "
               "\"peak_kb\": %ld, \"entries\": %ld, \"examined\": %ld}\n",
               i, result, ms, left, cpuMs() - cpu0, peakKb(), scanCounts().entries,
               scanCounts().examined);
        fflush(stdout);
        if (left == 0) break;
    }
    return 0;
}
