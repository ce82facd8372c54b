// Start-up sequence and main loop. The later start steps are filled in as
// their subsystems land.
#include <unistd.h>

#include <cstdio>

#include "core/log.h"
#include "core/sdcard.h"

int trailnetdMain() {
    for (;;) sleep(1);
    return 0;
}
