// The daemon configuration file and the configuration requests the camera
// side leaves on the card, read at start. Whatever they hold, the file the
// daemon writes back parses and has every key.
#include <cstdint>
#include <cstdio>
#include <string>

#include "camera/dsp_files.h"
#include "core/config.h"
#include "fuzz_root.h"
#include "config_keys.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzroot::ensureSafePath();
    if (size == 0) return 0;
    fuzzroot::mountCard(1);
    fuzzroot::dropLog();
    daemonConfig() = DaemonConfig{};
    resetDspFiles();
    const std::string conf = "/etc/trailnetd_conf.json";
    unlink(fuzzroot::path(conf).c_str());
    unlink(fuzzroot::path("/media/sdcard/CONFIG.REQ").c_str());
    unlink(fuzzroot::path("/media/sdcard/CONFIGPR.REQ").c_str());
    const char* target = conf.c_str();
    switch (data[0] % 3) {
        case 1: target = "/media/sdcard/CONFIG.REQ"; break;
        case 2: target = "/media/sdcard/CONFIGPR.REQ"; break;
    }
    fuzzroot::writeFile(target, data + 1, size - 1);
    loadDaemonConfig();
    // A configuration file that was there is always written back whole.
    if (data[0] % 3 == 0) {
        std::string wrong = configkeys::fileProblems(fuzzroot::path(conf));
        if (!wrong.empty()) {
            fprintf(stderr, "configuration written back incomplete: %s\n", wrong.c_str());
            abort();
        }
    }
    return 0;
}
