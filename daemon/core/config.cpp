// The daemon configuration store: one JSON line in "/etc/trailnetd_conf.json".
#include "core/config.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "camera/dsp_files.h"
#include "core/atomicfile.h"
#include "core/jsonutil.h"
#include "core/log.h"
#include "core/rootpath.h"

const char* const kDefaultApiHost = "api.trailcam.example";
const char* const kDefaultDspWantedVersion = "V1.00.34";

namespace {
const char* const kConfigPath = "/etc/trailnetd_conf.json";
const char* const kConfigRequest = "/media/sdcard/CONFIG.REQ";
const char* const kConfigRequestPersistent = "/media/sdcard/CONFIGPR.REQ";

// Written by uart_rcv, polled by the cellular handler thread.
std::atomic<bool> cellularEnabledFlag{false};
char dspRecoveryPath[64];
int dspRecoveryKind = DSP_RECOVERY_NONE;

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

int clampPictureCount(long long n) {
    if (n < 5) return 5;
    if (n > 50) return 50;
    return static_cast<int>(n);
}

int32_t intOr(json_object* root, const char* key, int32_t fallback) {
    json_object* v = jsonMember(root, key);
    return v != nullptr ? json_object_get_int(v) : fallback;
}

bool boolOr(json_object* root, const char* key, bool fallback) {
    json_object* v = jsonMember(root, key);
    return v != nullptr ? json_object_get_boolean(v) != 0 : fallback;
}

// Takes the keys of the file in the file's order, with the defaults of a
// file that was read but lacks a key.
// Example: { "powerOnTime": 0, "tempUnit": "F", "firstSyncHour": 0, ... }
void takeConfigKeys(json_object* root) {
    DaemonConfig& c = daemonConfig();
    c.powerOnTime = intOr(root, "powerOnTime", c.powerOnTime);
    json_object* v = jsonMember(root, "tempUnit");
    copyCut(c.tempUnit, sizeof c.tempUnit, v ? json_object_get_string(v) : "F");
    c.firstSyncHour = intOr(root, "firstSyncHour", 0);
    c.firstSyncMin = intOr(root, "firstSyncMin", 0);
    c.syncFreq = intOr(root, "syncFreq", 6);
    c.battType = intOr(root, "battType", 0);
    if ((v = jsonMember(root, "s3token")) != nullptr) setS3Token(json_object_get_string(v));
    v = jsonMember(root, "host");
    if (v != nullptr)
        setApiHost(json_object_get_string(v));
    else
        copyCut(c.host, sizeof c.host, kDefaultApiHost);
    c.requestUpdateReset = intOr(root, "requestUpdateReset", 0);
    v = jsonMember(root, "dspVersion");
    copyCut(c.dspVersion, sizeof c.dspVersion, v ? json_object_get_string(v) : "");
    if ((v = jsonMember(root, "dspWantedVersion")) != nullptr) {
        const char* w = json_object_get_string(v);
        copyCut(c.dspWantedVersion, sizeof c.dspWantedVersion,
                w[0] != '\0' ? w : kDefaultDspWantedVersion);
    }
    c.requestDspUpdate = intOr(root, "requestDspUpdate", c.requestDspUpdate);
    c.uploadPictureCount = intOr(root, "uploadPictureCount", 50);
    c.transmitUser = boolOr(root, "transmitUser", true);
    c.transmitAuto = boolOr(root, "transmitAuto", true);
}

// Reads the first line of `path` (at most 4095 characters) as JSON. *opened
// tells whether the file could be opened; the result is nullptr when nothing
// was read or the line does not parse.
JsonPtr readFirstLineJson(const std::string& path, bool* opened) {
    FilePtr f(fopen(path.c_str(), "r"));
    *opened = f != nullptr;
    if (!f) return nullptr;
    char line[4096];
    if (fgets(line, sizeof line, f.get()) == nullptr) return nullptr;
    return JsonPtr(json_tokener_parse(line));
}

// A configuration request left on the card by the camera side.
// Example: {"config": {"cellular": true, "transmitFreq": 4, ...}}
void applyConfigRequest() {
    const char* used = nullptr;
    if (isRegularFile(rootPath(kConfigRequest).c_str()))
        used = kConfigRequest;
    else if (isRegularFile(rootPath(kConfigRequestPersistent).c_str()))
        used = kConfigRequestPersistent;
    else
        return;

    const std::string path = rootPath(used);
    bool opened = false;
    JsonPtr root = readFirstLineJson(path, &opened);
    if (!opened) return;
    json_object* config = jsonMember(root.get(), "config");
    if (config != nullptr && json_object_is_type(config, json_type_object)) {
        const char* text = json_object_to_json_string(config);
        logMessage("config", LOG_INFO, "%s", text);
        applyCloudConfig(text);
    }
    // FAT compares names without regard to case: there "CONFIG.REQ" is also
    // "config.req", the settings the daemon wrote for the DSP (an object
    // without "config"). That file is the DSP's: leave it.
    if (used == kConfigRequest && config == nullptr && root &&
        json_object_is_type(root.get(), json_type_object)) {
        logMessage("config", LOG_INFO,
                   "CONFIG.REQ holds no configuration request, left in place "
                   "(on a FAT card it is also the DSP's config.req)");
        return;
    }
    // Applied once; the persistent request stays for the next start.
    // The deletion reaches the medium at once: after a cut it must not be
    // applied a second time over what came since.
    if (used == kConfigRequest && unlink(path.c_str()) == 0) syncFolderOf(path.c_str());
}
}  // namespace

DaemonConfig& daemonConfig() {
    static DaemonConfig c{};
    return c;
}

void loadDaemonConfig() {
    DaemonConfig& c = daemonConfig();
    const std::string path = rootPath(kConfigPath);
    FilePtr f(fopen(path.c_str(), "r"));
    if (!f) {
        // Nothing known yet: the file appears with the first save. Whether
        // pictures may be sent is not known either, and unknown is not "off":
        // off deletes the pictures waiting in TRANSMIT, which nothing brings
        // back. They are announced as with a file that names neither key,
        // until the cloud's settings say otherwise.
        copyCut(c.dspWantedVersion, sizeof c.dspWantedVersion, kDefaultDspWantedVersion);
        c.transmitUser = true;
        c.transmitAuto = true;
    } else {
        char line[4096];
        if (fgets(line, sizeof line, f.get()) == nullptr) {
            f.reset();
            saveDaemonConfig();
        } else {
            JsonPtr root(json_tokener_parse(line));
            takeConfigKeys(root.get());
            setCellularEnabled(true);
            f.reset();
            saveDaemonConfig();
        }
    }
    applyConfigRequest();
}

int saveDaemonConfig() {
    const DaemonConfig& c = daemonConfig();
    JsonPtr o(json_object_new_object());
    if (!o) return 0;
    json_object* obj = o.get();
    json_object_object_add(obj, "powerOnTime", json_object_new_int64(c.powerOnTime));
    json_object_object_add(obj, "tempUnit", json_object_new_string(c.tempUnit));
    json_object_object_add(obj, "firstSyncHour", json_object_new_int(c.firstSyncHour));
    json_object_object_add(obj, "firstSyncMin", json_object_new_int(c.firstSyncMin));
    json_object_object_add(obj, "syncFreq", json_object_new_int(c.syncFreq));
    json_object_object_add(obj, "battType", json_object_new_int(c.battType));
    json_object_object_add(obj, "s3token", json_object_new_string(c.s3token));
    json_object_object_add(obj, "host", json_object_new_string(c.host));
    json_object_object_add(obj, "requestUpdateReset", json_object_new_int(c.requestUpdateReset));
    json_object_object_add(obj, "dspVersion", json_object_new_string(c.dspVersion));
    json_object_object_add(obj, "dspWantedVersion", json_object_new_string(c.dspWantedVersion));
    json_object_object_add(obj, "requestDspUpdate", json_object_new_int(c.requestDspUpdate));
    json_object_object_add(obj, "uploadPictureCount", json_object_new_int(c.uploadPictureCount));
    json_object_object_add(obj, "transmitUser", json_object_new_boolean(c.transmitUser));
    json_object_object_add(obj, "transmitAuto", json_object_new_boolean(c.transmitAuto));
    const char* text = json_object_to_json_string(obj);

    // /etc may be read-only with the file linked to a writable place.
    static int failedWith = 0;  // errno of the last failed save, 0 after a good one
    if (!writeFileAtomicThroughLink(rootPath(kConfigPath).c_str(), text, strlen(text), 0600)) {
        // One line per kind of failure, not one per save: a read-only /etc
        // fails every save of the run.
        const int err = errno;
        if (err != failedWith)
            logMessage("config", LOG_ERROR, "could not save configuration file %s: %s; running on the values in memory",
                       kConfigPath, strerror(err));
        failedWith = err;
        return 0;
    }
    failedWith = 0;
    return 1;
}

void getApiHost(char* buffer, size_t n) {
    const DaemonConfig& c = daemonConfig();
    copyCut(buffer, n, c.host[0] != '\0' ? c.host : kDefaultApiHost);
}

int setApiHost(const char* text) {
    DaemonConfig& c = daemonConfig();
    if (text == nullptr) return 0;
    size_t len = strnlen(text, sizeof c.host);
    if (len >= sizeof c.host) {
        logMessage("config", LOG_ERROR, "API host longer than %zu characters refused, keeping %s",
                   sizeof c.host - 1, c.host);
        return 0;
    }
    memcpy(c.host, text, len + 1);
    return 1;
}

int setS3Token(const char* text) {
    DaemonConfig& c = daemonConfig();
    if (text == nullptr) return 0;
    size_t len = strnlen(text, sizeof c.s3token);
    if (len >= sizeof c.s3token) {
        logMessage("config", LOG_ERROR, "API token longer than %zu characters refused",
                   sizeof c.s3token - 1);
        return 0;
    }
    memset(c.s3token, 0, sizeof c.s3token);
    memcpy(c.s3token, text, len);
    return 1;
}

void getS3Token(char* buffer) { memcpy(buffer, daemonConfig().s3token, sizeof daemonConfig().s3token); }

void raiseUploadPictureCount(int n) {
    DaemonConfig& c = daemonConfig();
    long long raised = static_cast<long long>(n) + 5;
    if (raised < c.uploadPictureCount) raised = c.uploadPictureCount;
    c.uploadPictureCount = clampPictureCount(raised);
}

void setUploadPictureCount(int n) { daemonConfig().uploadPictureCount = clampPictureCount(n); }

void toggleRequestUpdateReset(int bits) {
    daemonConfig().requestUpdateReset ^= bits;
    saveDaemonConfig();
}

void setRequestDspUpdate(int v) {
    daemonConfig().requestDspUpdate = v;
    saveDaemonConfig();
}

void setPowerOnTime(time_t t) {
    daemonConfig().powerOnTime = static_cast<int32_t>(t);
    saveDaemonConfig();
}

time_t getPowerOnTime() {
    int32_t t = daemonConfig().powerOnTime;
    return t > 0 ? static_cast<time_t>(t) : time(nullptr);
}

void setDspVersion(const char* text) {
    DaemonConfig& c = daemonConfig();
    copyCut(c.dspVersion, sizeof c.dspVersion, text);
}

void setDspWantedVersion(const char* text) {
    DaemonConfig& c = daemonConfig();
    copyCut(c.dspWantedVersion, sizeof c.dspWantedVersion, text);
    saveDaemonConfig();
}

bool isTransmitEnabled() { return daemonConfig().transmitUser && daemonConfig().transmitAuto; }
int getUploadPictureCount() { return daemonConfig().uploadPictureCount; }
const char* getDspVersion() { return daemonConfig().dspVersion; }
const char* getDspWantedVersion() { return daemonConfig().dspWantedVersion; }
int getRequestUpdateReset() { return daemonConfig().requestUpdateReset; }
int getRequestDspUpdate() { return daemonConfig().requestDspUpdate; }

bool isCellularEnabled() { return cellularEnabledFlag.load(std::memory_order_relaxed); }
void setCellularEnabled(bool on) { cellularEnabledFlag.store(on, std::memory_order_relaxed); }

void setDspRecoveryPackage(const char* path, int kind) {
    copyCut(dspRecoveryPath, sizeof dspRecoveryPath, path);
    dspRecoveryKind = kind;
}
const char* getDspRecoveryPath() { return dspRecoveryPath; }
int getDspRecoveryKind() { return dspRecoveryKind; }
