// Maintenance requests: update and modem packages downloaded and installed,
// the SIM update wait, the log upload. Slot names come from the cloud, so
// they are plain file names kept inside their folders.
#include "cloud/maintenance.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "camera/protocol.h"
#include "cloud/camapi.h"
#include "cloud/request_slot.h"
#include "cloud/requests.h"
#include "core/config.h"
#include "core/identity.h"
#include "core/log.h"
#include "core/rootpath.h"
#include "update/package_signature.h"
#include "update/run_tool.h"
#include "update/update.h"

namespace {

const char kUsrdata[] = "/usrdata/";
const char kCard[] = "/media/sdcard/";
const char kLogPrefix[] = "log.txt";
const char kRestartLevel[] = "/sys/bus/msm_subsys/devices/subsys1/restart_level";
// Downloads land beside their destination first: a failed transfer must not
// truncate or half-write a file that was there.
const char kPartSuffix[] = ".part";
// A package's detached signature: its slot is named like the package plus
// this, and its file lies beside the package.
const char kSigSuffix[] = ".sig";
// The modem package's signature, outside the folder the recovery system
// takes its package from.
const char kFotaSignature[] = "/usrdata/cache/ipth_package.bin.sig";

struct FileClose {
    void operator()(FILE* f) const { fclose(f); }
};
using File = std::unique_ptr<FILE, FileClose>;

bool isSignatureName(const char* name) {
    const size_t n = strlen(name), s = strlen(kSigSuffix);
    return n > s && strcmp(name + n - s, kSigSuffix) == 0;
}

// With update keys on the module the "update" request may only bring a
// package and its signature: any other name would put an unsigned file in
// /usrdata/ (a DSP archive the recovery delivers, a post-update script the
// next install runs).
bool isPackageName(const char* name) {
    for (const char* p : {"update.tar.xz", "update.tar.gz"}) {
        if (strcmp(name, p) == 0) return true;
        if (strncmp(name, p, strlen(p)) == 0 && strcmp(name + strlen(p), kSigSuffix) == 0) return true;
    }
    return false;
}

void realSleep(unsigned seconds) {
    while (seconds > 0) seconds = sleep(seconds);
}
SimWaitSleep simWaitSleep = realSleep;

size_t slotCount(json_object* content) {
    return json_object_is_type(content, json_type_array) ? json_object_array_length(content) : 0;
}

json_object* content(json_object* request) {
    json_object* c = nullptr;
    json_object_object_get_ex(request, "content", &c);
    return c;
}

// Reads the slot's target; false (logged when refused for its length) when
// the slot is to be skipped.
bool slotTarget(json_object* slot, const char* module, SlotTarget* target) {
    SlotCheck check = readSlotTarget(slot, target);
    if (check == SLOT_TOO_LONG) logMessage(module, LOG_ERROR, "Slot URL or verb too long, skipped");
    return check == SLOT_OK;
}

// Downloads into `stream`; true when the whole body of a 2xx answer reached
// the file. Logs the failure under `module` otherwise.
bool download(const SlotTarget& target, File& stream, const char* module) {
    int rc = camApiDownloadFile(target.url, target.verb, stream.get(), target.headers);
    bool flushed = fflush(stream.get()) == 0 && fsync(fileno(stream.get())) == 0;
    bool closed = fclose(stream.release()) == 0;
    if (!transferSucceeded(rc)) {
        logMessage(module, LOG_ERROR, "File transfer failed: %s", transferFailure(rc).c_str());
        return false;
    }
    if (!flushed || !closed) {
        logMessage(module, LOG_ERROR, "File transfer failed: %s", "file could not be written");
        return false;
    }
    return true;
}

// Downloads the slot into `dest` by way of a ".part" file; false (logged
// under `module`) when nothing whole arrived.
bool fetchInto(json_object* slot, const std::string& dest, const char* module, bool* openFailed) {
    SlotTarget target;
    if (!slotTarget(slot, module, &target)) return false;
    const std::string part = dest + kPartSuffix;
    File stream(fopen(part.c_str(), "w+b"));
    if (!stream) {
        logMessage("sync", LOG_ERROR, "Failed to open file: %s", dest.c_str());
        *openFailed = true;
        return false;
    }
    if (!download(target, stream, module)) {
        unlink(part.c_str());
        return false;
    }
    if (rename(part.c_str(), dest.c_str()) != 0) {
        logMessage(module, LOG_ERROR, "Failed to open file: %s", dest.c_str());
        unlink(part.c_str());
        return false;
    }
    return true;
}

// Creates the folder with its parents and empties it.
void prepareFotaFolder() {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path folder = rootPath(kFotaFolder);
    fs::create_directories(folder, ec);
    if (ec) {
        logMessage("updateModem", LOG_ERROR, "Failed to create %s", folder.c_str());
        return;
    }
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code rm;
        fs::remove_all(it->path(), rm);
        if (rm) logMessage("updateModem", LOG_ERROR, "Failed to delete %s", it->path().c_str());
    }
}

}  // namespace

void setSimWaitSleep(SimWaitSleep sleeper) { simWaitSleep = sleeper != nullptr ? sleeper : realSleep; }

void serveUpdateRequest(json_object* update) {
    json_object* slots = content(update);
    logMessage("request", LOG_INFO, "%s", json_object_to_json_string(slots));
    const bool enforcing = loadUpdateKeys(rootPath(kUpdateKeyFolder)).enforcing();
    // Signatures first, wherever they stand in the array: each package is
    // checked right after its download, so its signature must be there.
    std::set<std::string> signatures, failedSignatures;
    for (int pass = 0; pass < 2; pass++) {
        for (size_t i = 0; i < slotCount(slots); i++) {
            json_object* slot = json_object_array_get_idx(slots, i);
            const char* name = slotText(slot, "name");
            if (name == nullptr || isSignatureName(name) != (pass == 0)) continue;
            if (!isPlainRequestName(name) || (enforcing && !isPackageName(name))) {
                logMessage("update", LOG_ERROR, "Refused update slot name: %s", peerText(name).c_str());
                continue;
            }
            const std::string dest = rootPath(kUsrdata) + name;
            const std::string signature = std::string(name) + kSigSuffix;
            if (pass == 1 && failedSignatures.count(signature) != 0) {
                // Not acknowledged: the API asks again, and the package is
                // not downloaded only to be refused.
                logMessage("update", LOG_ERROR, "Skipped %s: its signature did not arrive", name);
                continue;
            }
            // One left from an earlier request must not sign this package.
            if (pass == 1 && signatures.count(signature) == 0) unlink((dest + kSigSuffix).c_str());
            bool openFailed = false;
            const bool fetched = fetchInto(slot, dest, "update", &openFailed);
            if (openFailed) return;
            if (pass == 0) {
                (fetched ? signatures : failedSignatures).insert(name);
                continue;
            }
            if (!fetched) continue;
            checkUpdate(getDspVersion(), daemonVersion());
            toggleRequestUpdateReset(REQ_RESET_UPDATE);
        }
    }
    // Signatures whose package never came.
    for (const std::string& name : signatures) unlink((rootPath(kUsrdata) + name).c_str());
}

void serveModemUpdateRequest(json_object* updateModem) {
    json_object* slots = content(updateModem);
    logMessage("request", LOG_INFO, "%s", json_object_to_json_string(slots));
    prepareFotaFolder();
    const UpdateKeyring keys = loadUpdateKeys(rootPath(kUpdateKeyFolder));
    const std::string package = rootPath(kFotaPackage);
    const std::string signature = rootPath(kFotaSignature);
    unlink(signature.c_str());
    // The signature slot ("NAME.sig") first, wherever it stands.
    bool signatureFailed = false;
    for (size_t i = 0; i < slotCount(slots); i++) {
        json_object* slot = json_object_array_get_idx(slots, i);
        const char* name = slotText(slot, "name");
        if (name == nullptr || !isSignatureName(name)) continue;
        sendAck();
        bool openFailed = false;
        if (!fetchInto(slot, signature, "updateModem", &openFailed)) signatureFailed = true;
        if (openFailed) return;
    }
    for (size_t i = 0; i < slotCount(slots); i++) {
        json_object* slot = json_object_array_get_idx(slots, i);
        const char* name = slotText(slot, "name");
        if (name != nullptr && isSignatureName(name)) continue;
        sendAck();
        if (keys.enforcing() && signatureFailed) {
            logMessage("updateModem", LOG_ERROR, "Skipped the modem package: its signature did not arrive");
            continue;
        }
        SlotTarget target;
        if (!slotTarget(slot, "updateModem", &target)) continue;
        File stream(fopen(package.c_str(), "w+b"));
        if (!stream) {
            logMessage("sync", LOG_ERROR, "Failed to open file: %s", package.c_str());
            return;
        }
        // The recovery system must never find half a package.
        if (!download(target, stream, "updateModem")) {
            unlink(package.c_str());
            continue;
        }
        if (keys.enforcing()) {
            for (const std::string& key : keys.broken)
                logMessage("updateModem", LOG_ERROR, "Update key %s/%s does not load", kUpdateKeyFolder, key.c_str());
            std::string keyName;
            const SignatureResult r = verifyPackageSignature(keys, package, signature, &keyName);
            if (r != SIGNATURE_OK) {
                // Acknowledged like a package that fails its checks: the
                // modem's version in the status tells the API it did not
                // install, and the same refused file is not fetched again.
                logMessage("updateModem", LOG_ERROR, "Modem package refused: %s", signatureResultText(r));
                unlink(package.c_str());
                toggleRequestUpdateReset(REQ_RESET_UPDATE_MODEM);
                continue;
            }
            logMessage("updateModem", LOG_INFO, "Modem package signed by %s", keyName.c_str());
        } else {
            logMessage("updateModem", LOG_WARNING, "Origin of the modem package not checked: no update keys on the module");
        }
        unlink(signature.c_str());
        logMessage("updateModem", LOG_WARNING, "Update modem");
        sendAck();
        runTool({"sync", rootPath(kRestartLevel)});
        sendAck();
        // Saved before the reboot, so the acknowledgement survives it.
        toggleRequestUpdateReset(REQ_RESET_UPDATE_MODEM);
        if (runTool({"sync"}) == 0) runTool({"sys_reboot", "recovery"});
    }
    unlink(signature.c_str());
}

void serveSimUpdateRequest(json_object* updateSim) {
    int minutes = json_object_get_int(content(updateSim));
    if (minutes > kSimWaitMaxMinutes) {
        logMessage("camapi", LOG_WARNING, "SIM update wait of %d minutes cut to %d", minutes,
                   kSimWaitMaxMinutes);
        minutes = kSimWaitMaxMinutes;
    }
    logMessage("camapi", LOG_INFO, "Waiting %d minutes for SIM update", minutes);
    for (int i = 0; i < minutes; i++) {
        sendAck();
        simWaitSleep(60);
    }
    toggleRequestUpdateReset(REQ_RESET_UPDATE_SIM);
}

void serveLogRequest(json_object* log) {
    json_object* slots = content(log);
    logMessage("log", LOG_INFO, "Log request");
    for (size_t i = 0; i < slotCount(slots); i++) {
        json_object* slot = json_object_array_get_idx(slots, i);
        sendAck();
        const char* name = slotText(slot, "name");
        if (name == nullptr || strncmp(name, kLogPrefix, strlen(kLogPrefix)) != 0) continue;
        if (!isPlainRequestName(name)) {
            logMessage("log", LOG_ERROR, "Refused log slot name: %s", peerText(name).c_str());
            continue;
        }
        const std::string path = rootPath(kCard) + name;
        int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        File stream(fd >= 0 ? fdopen(fd, "rb") : nullptr);
        struct stat st;
        if (!stream || fstat(fileno(stream.get()), &st) != 0 || !S_ISREG(st.st_mode)) {
            if (fd >= 0 && !stream) close(fd);
            logMessage("log", LOG_ERROR, "Failed to open file: %s", path.c_str());
            continue;
        }
        SlotTarget target;
        if (!slotTarget(slot, "log", &target)) continue;
        int rc = camApiUploadFile(target.url, target.verb, stream.get(), static_cast<int32_t>(st.st_size),
                                  target.headers, target.checksum);
        stream.reset();
        if (!transferSucceeded(rc)) {
            logMessage("log", LOG_ERROR, "File transfer failed: %s", transferFailure(rc).c_str());
            continue;
        }
        sendAck();
        toggleRequestUpdateReset(REQ_RESET_LOG);
    }
}
