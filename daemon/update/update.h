#pragma once
// Update packages (from the SD card or downloaded into "/usrdata/") and the
// DSP firmware recovery that re-delivers the remembered DSP files.

// Finds, decrypts, checks and installs a package: module files over
// "/usrdata/", DSP files onto the card (then asks the DSP to update).
void checkUpdate(const char* dspVersion, const char* moduleVersion);
// 0 when a DSP update file lies in "/usrdata/" (its path and kind are
// remembered), 1 otherwise. Run once at start.
int locateDspUpdateFile();
// 1 DSP files were unpacked (now or earlier in this run), 0 the DSP already
// runs the wanted version, -1 recovery impossible or failed.
int recoverDspFirmware();

// The decision flags of the last package check, kept between calls: do-backup
// carries over to a next manifest that does not name it.
struct UpdateDecision {
    bool keepPackage;
    bool doBackup;
    bool modemUpdateRequired;
    bool dspUpdateRequired;
};
const UpdateDecision& updateDecision();
// Set when a package check unpacked DSP files in this run of the daemon.
bool dspFilesExpanded();
// Back to the state at start (tests).
void resetUpdateState();
