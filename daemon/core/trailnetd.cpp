// Start-up sequence and main loop of trailnetd. The order is fixed: each
// step completes before the next.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "camera/protocol.h"
#include "cellular/cellular.h"
#include "core/config.h"
#include "core/identity.h"
#include "core/log.h"
#include "core/sdcard.h"
#include "update/update.h"

namespace {
// Supervisors (tests, the demo) keep the pid of a daemon that stays in front.
bool stayInForeground() {
    const char* v = getenv("TRAILNETD_FOREGROUND");
    return v != nullptr && strcmp(v, "1") == 0;
}

// At most nine one-second sleeps: the card may still be mounting at boot.
void waitForSdcard() {
    for (int sleeps = 0; sdcardState() != SDCARD_RW && sleeps < 9; sleeps++) sleep(1);
}
}  // namespace

int trailnetdMain() {
    reserveZoneVariable();
    const char* version = daemonVersion();
    locateDspUpdateFile();

    if (!stayInForeground() && daemon(1, 1) != 0) perror("daemon");
    // stdout may be a pipe or file once detached: let each message out at once.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    waitForSdcard();
    if (sdcardState() == SDCARD_RW) trimLogFile();

    logMessage("main", LOG_INFO, "**********");
    logMessage("main", LOG_INFO, "Model: VIGL-BRISA-LTE");
    logMessage("main", LOG_INFO, "Camera Firmware Version: %s", version);

    // Without a writable card the daemon runs on built-in values and the
    // cellular side stays disabled.
    if (sdcardState() == SDCARD_RW) {
        loadDaemonConfig();
        checkUpdate(getDspVersion(), version);
    }

    openAtChannel();
    simGpioInit();
    readModemIdentity();
    if (logMessage("Modem", LOG_INFO, "Firmware: %s", modemFirmware()) != 1) {
        printf("Log failed");
        fflush(stdout);
    }

    openCameraUart();
    for (;;) {
        sleep(1);
        announceReady();
    }
    return 0;
}
