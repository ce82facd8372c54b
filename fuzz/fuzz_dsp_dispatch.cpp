// Bytes from the camera UART, cut into reads as the receive thread cuts them,
// through the real framing and command dispatch. Effects that would wait for
// the network, ask the modem, start threads or end the process are stand-ins
// (and no_waits.cpp makes every sleep return at once).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "camera/protocol.h"
#include "cellular/cellular.h"
#include "cellular/cellular_state.h"
#include "cellular/data_call.h"
#include "cellular/power.h"
#include "cloud/sync.h"
#include "core/config.h"
#include "fuzz_root.h"
#include "update/update.h"

namespace {
int gSyncResult = 0;
int gBars = 3;
struct PoweredDown {};
}  // namespace

// ---- effects: stand-ins (the linker takes these before the library's) ----
int runSync(int) { return gSyncResult; }
void cellHandlerStart() {}
int signalBars() { return gBars; }
int recoverDspFirmware() { return 0; }
// The real check asks the connection manager, which the harness does not run;
// the call stays as the input's mode byte set it.
int dataCallCheck() { return cellularState().dataConnected.load() == 1 ? 0 : -1; }
// The real one cuts the module's power and the daemon then leaves.
int module_power_down(int) { throw PoweredDown{}; }
// SYNC flushes every file system of the machine: not per input.
extern "C" void sync() {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzroot::ensureSafePath();
    if (size == 0) return 0;
    uint8_t mode = data[0];
    fuzzroot::mountCard(mode & 3);
    fuzzroot::dropLog();
    setCellularEnabled((mode & 4) != 0);
    cellularState().dataConnected = 1;  // CELL and GETDATETIME would wait otherwise
    cellularState().timeSet = 1;
    gSyncResult = (mode & 8) ? -1 : 0;
    gBars = (mode >> 4) % 6 - 1;

    // The receive thread reads at most 1024 bytes at a time into a buffer
    // one byte longer that it clears first.
    const size_t kRead = 1024;
    const uint8_t* p = data + 1;
    size_t left = size - 1;
    while (left > 0) {
        size_t n = left < kRead ? left : kRead;
        std::vector<char> buffer(p, p + n);
        buffer.push_back('\0');
        try {
            handleCameraMessage(buffer.data(), n);
        } catch (const PoweredDown&) {
            return 0;
        }
        p += n;
        left -= n;
    }
    return 0;
}
