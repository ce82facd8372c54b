// Runs one sync in-process against whatever host the root tree's daemon
// configuration names, with the data connection marked up: the cloud side of
// the daemon without the cellular side, for the demo and for manual checks.
//   TRAILNETD_ROOT=/tmp/root cloud_sync_driver IMEI [firstSync]
#include <cstdio>
#include <cstdlib>

#include "cellular/cellular_state.h"
#include "cloud/sync.h"
#include "core/config.h"
#include "core/identity.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: cloud_sync_driver IMEI [firstSync]\n");
        return 2;
    }
    loadDaemonConfig();
    setModemImei(argv[1]);
    cellularState().dataConnected = 1;
    int result = runSync(argc > 2 ? atoi(argv[2]) : 0);
    printf("runSync: %d\n", result);
    return result == 0 ? 0 : 1;
}
