// datacall_probe: the daemon's own data-call code (dataCallOpen and its event
// handler) run against the modem simulator, printing each change of
// dataConnected. For the demo and for trying scenarios by hand until the
// cellular handler drives it.
//   TRAILNETD_ROOT=DIR datacall_probe [SECONDS]
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "cellular/cellular_state.h"
#include "cellular/data_call.h"

int main(int argc, char** argv) {
    int seconds = argc > 1 ? atoi(argv[1]) : 30;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    int rc = dataCallOpen();
    printf("dataCallOpen: %d\n", rc);
    if (rc != 0) return 1;
    int last = -1;
    bool wasUp = false;
    for (int i = 0; i < seconds * 10; ++i) {
        int now = cellularState().dataConnected.load();
        if (now != last) {
            printf("dataConnected: %d\n", now);
            last = now;
            // Opened, then dropped: the story is told.
            if (now == 1) wasUp = true;
            if (now == 0 && wasUp) return 0;
        }
        usleep(100 * 1000);
    }
    return 0;
}
