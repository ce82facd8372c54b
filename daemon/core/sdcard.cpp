#include "core/sdcard.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "core/rootpath.h"

// Example line: /dev/mmcblk0p1 /media/sdcard vfat rw,relatime,fmask=0022 0 0
int sdcardState() {
    std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(rootPath("/proc/mounts").c_str(), "r"), fclose);
    if (!f) return SDCARD_ABSENT;
    int state = SDCARD_ABSENT;
    char line[512];
    while (fgets(line, sizeof line, f.get()) != nullptr) {
        if (strstr(line, "/media/sdcard") == nullptr) continue;
        state = strstr(line, "rw") != nullptr ? SDCARD_RW : SDCARD_RO;  // last match wins
    }
    return state;
}
