#pragma once
// Maintenance requests of the API (update, updateModem, updateSim, log);
// the handlers themselves are declared in cloud/requests.h.

// An "updateSim" wait blocks the DSP's commands; longer asks are cut to this.
constexpr int kSimWaitMaxMinutes = 60;

// Where the modem package goes for the recovery system.
constexpr const char* kFotaFolder = "/usrdata/cache/fota";
constexpr const char* kFotaPackage = "/usrdata/cache/fota/ipth_package.bin";

// The sleep of the "updateSim" wait, one call per minute; nullptr restores
// the real sleep. Tests replace it so they need not wait.
using SimWaitSleep = void (*)(unsigned seconds);
void setSimWaitSleep(SimWaitSleep sleeper);
