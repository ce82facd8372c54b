// The "config" object of a cloud answer: any text. The saved configuration
// must parse with every key, and the DSP settings file must be written.
#include <cstdint>
#include <cstdio>
#include <string>

#include "camera/dsp_files.h"
#include "core/config.h"
#include "config_keys.h"
#include "fuzz_root.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzroot::ensureSafePath();
    fuzzroot::mountCard(1);
    fuzzroot::dropLog();
    daemonConfig() = DaemonConfig{};
    resetDspFiles();
    fuzzroot::writeFile("/media/sdcard/STATUS.DSP", std::string("{\"model\": \"TC\"}"));
    readDspStatus();
    std::string text(reinterpret_cast<const char*>(data), size);
    if (applyCloudConfig(text.c_str()) != 1) abort();  // the tree is writable
    std::string wrong = configkeys::fileProblems(fuzzroot::path("/etc/trailnetd_conf.json"));
    if (!wrong.empty()) {
        fprintf(stderr, "configuration saved incomplete: %s\n", wrong.c_str());
        abort();
    }
    if (writeDspConfig() != 1) abort();
    return 0;
}
