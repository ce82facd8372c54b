// One sync run of the daemon's cloud side, in-process, for bench/run: the
// root tree ($TRAILNETD_ROOT) names the host and holds the pictures; the
// data connection is marked up. Prints {"result": R, "ms": T}.
//   TRAILNETD_ROOT=/tmp/root cloud_sync_tool IMEI
#include <chrono>
#include <cstdio>

#include "cellular/cellular_state.h"
#include "cloud/sync.h"
#include "core/config.h"
#include "core/identity.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: cloud_sync_tool IMEI\n");
        return 2;
    }
    loadDaemonConfig();
    setModemImei(argv[1]);
    cellularState().dataConnected = 1;
    auto t0 = std::chrono::steady_clock::now();
    int result = runSync(0);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    printf("{\"result\": %d, \"ms\": %.2f}\n", result, ms);
    return result == 0 ? 0 : 1;
}
