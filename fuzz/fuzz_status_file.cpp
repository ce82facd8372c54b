// The DSP's status file on the card ("STATUS.DSP" or "STATUS.REQ"), read as
// the daemon reads it, then the status report and the settings file built
// from what it held.
#include <cstdint>
#include <cstdio>

#include "camera/dsp_files.h"
#include "cloud/status.h"
#include "core/jsonutil.h"
#include "fuzz_root.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzroot::ensureSafePath();
    if (size == 0) return 0;
    fuzzroot::mountCard(1);
    fuzzroot::dropLog();
    resetDspFiles();
    const char* name = (data[0] & 1) ? "/media/sdcard/STATUS.REQ" : "/media/sdcard/STATUS.DSP";
    fuzzroot::writeFile(name, data + 1, size - 1);
    JsonPtr report(buildStatusReport());
    if (report) json_object_to_json_string(report.get());
    writeDspConfig();
    // The file is consumed once, whatever it held.
    if (access(fuzzroot::path(name).c_str(), F_OK) == 0)
        __builtin_trap();
    return 0;
}
