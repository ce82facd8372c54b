// Settings and status files shared with the DSP on the SD card.
#include "camera/dsp_files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/atomicfile.h"
#include "core/config.h"
#include "core/jsonutil.h"
#include "core/log.h"
#include "core/rootpath.h"

namespace {
const char* const kStatusDsp = "/media/sdcard/STATUS.DSP";
const char* const kStatusReq = "/media/sdcard/STATUS.REQ";
const char* const kConfigDsp = "/media/sdcard/config.dsp";
const char* const kConfigReq = "/media/sdcard/config.req";
// Shown in the write error before any status file chose a target.
const char* const kNoTarget = "(no status file read yet)";

// The DSP writes at most 4095 bytes; one more byte is read to tell a larger
// file apart.
constexpr size_t kStatusMax = 4096;

const char* const kBatteryNames[] = {"AA", "12V", "LIT10", "AA_LIT"};

CameraSettings settings{};
DspStatus status{};
const char* statusSource = nullptr;  // last status file read
const char* settingsTarget = nullptr;

int32_t asInt(json_object* v) { return json_object_get_int(v); }
// The library's integer conversion, then cut to the field's width
// (300 in an 8-bit field is 44).
uint8_t asU8(json_object* v) { return static_cast<uint8_t>(json_object_get_int(v)); }
uint16_t asU16(json_object* v) { return static_cast<uint16_t>(json_object_get_int(v)); }
bool asBool(json_object* v) { return json_object_get_boolean(v) != 0; }
const char* asText(json_object* v) { return json_object_get_string(v); }

int batteryCodeOf(const char* text) {
    char cut[16];
    copyCut(cut, sizeof cut, text);
    for (int code = 0; code < 4; code++)
        if (strncmp(cut, kBatteryNames[code], 7) == 0) return code;
    return DSP_BATTERY_OTHER;
}

// Example: {"memory": {"size": 31000, "used": 1200}, "batteries": 80,
//           "batteryType": "AA", "temperature": {"value": 21, "unit": "C"},
//           "model": "TC-200", "version": "V1.00.34", "notifications": []}
void takeStatusText(const char* text) {
    JsonPtr root(text != nullptr ? json_tokener_parse(text) : nullptr);
    json_object* r = root.get();
    json_object* v;
    if (json_object* mem = jsonMember(r, "memory")) {
        if ((v = jsonMember(mem, "size")) != nullptr) status.memorySize = asInt(v);
        if ((v = jsonMember(mem, "used")) != nullptr) status.memoryUsed = asInt(v);
    }
    if ((v = jsonMember(r, "batteries")) != nullptr) status.batteries = asU8(v);
    if ((v = jsonMember(r, "batteryType")) != nullptr)
        status.batteryType = static_cast<uint8_t>(batteryCodeOf(asText(v)));
    if (json_object* temp = jsonMember(r, "temperature")) {
        if ((v = jsonMember(temp, "value")) != nullptr) status.temperature = asInt(v);
        if ((v = jsonMember(temp, "unit")) != nullptr)
            status.temperatureUnit = asText(v)[0] == 'F' ? 'F' : 'C';
    }
    v = jsonMember(r, "model");
    copyCut(status.model, sizeof status.model, v != nullptr ? asText(v) : "");
    if ((v = jsonMember(r, "version")) != nullptr) {
        setDspVersion(asText(v));
        logMessage("readDspStatus", LOG_INFO, "Found DSP FW version: %s\n", getDspVersion());
    }
    v = jsonMember(r, "notifications");
    const char* n = "";
    if (v != nullptr)
        n = json_object_is_type(v, json_type_string)
                ? asText(v)
                : json_object_to_json_string_ext(v, JSON_C_TO_STRING_PLAIN);
    copyCut(status.notifications, sizeof status.notifications, n);
}

// Reads a whole status file of at most kStatusMax bytes into `buf` (of
// kStatusMax + 2 bytes). Returns the byte count, -1 when it cannot be opened
// and kStatusMax + 1 when it is larger.
long readStatusFile(const std::string& path, char* buf) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    size_t got = 0;
    while (got < kStatusMax + 1) {
        ssize_t n = read(fd, buf + got, kStatusMax + 1 - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    buf[got] = '\0';
    return static_cast<long>(got);
}
}  // namespace

CameraSettings& cameraSettings() { return settings; }
const DspStatus& dspStatus() { return status; }

void resetDspFiles() {
    settings = CameraSettings{};
    status = DspStatus{};
    statusSource = nullptr;
    settingsTarget = nullptr;
}

int32_t getDspMemorySize() { return status.memorySize; }
int32_t getDspMemoryUsed() { return status.memoryUsed; }
int32_t getDspTemperatureValue() { return status.temperature; }
char getDspTemperatureUnit() { return status.temperatureUnit; }
uint8_t getDspBatteries() { return status.batteries; }
int getDspBatteryType() { return status.batteryType; }
const char* getDspNotifications() { return status.notifications; }
const char* getDspModel() { return status.model; }

const char* batteryTypeName(int code) {
    return code >= 0 && code < 4 ? kBatteryNames[code] : nullptr;
}

// ---- cloud configuration ----------------------------------------------

// Example: {"temperatureUnit": "C", "transmitTime": {"hour": 8, "minute": 30},
//           "transmitFreq": 4, "batteryType": "LIT10", "cellular": true,
//           "sensitivity": {"level": "high", "high": 200, ...},
//           "work": [[0, 24], ...], "ssl": {"host": "api.example.net"}, ...}
int applyCloudConfig(const char* text) {
    DaemonConfig& c = daemonConfig();
    CameraSettings& s = settings;
    JsonPtr root(text != nullptr ? json_tokener_parse(text) : nullptr);
    json_object* r = root.get();
    json_object* v;

    if ((v = jsonMember(r, "temperatureUnit")) != nullptr)
        copyCut(c.tempUnit, sizeof c.tempUnit, asText(v));

    json_object* tt = jsonMember(r, "transmitTime");
    if ((v = jsonMember(tt, "hour")) != nullptr)
        c.firstSyncHour = asInt(v);
    else
        logMessage("config", LOG_WARNING, "config_getFirstSyncHour - hour object not found");
    if ((v = jsonMember(tt, "minute")) != nullptr)
        c.firstSyncMin = asInt(v);
    else
        logMessage("config", LOG_WARNING, "config_getFirstSyncMinute - minute object not found");

    v = jsonMember(r, "transmitFreq");
    c.syncFreq = v != nullptr && asInt(v) > 0 ? asInt(v) : 6;

    if ((v = jsonMember(r, "batteryType")) != nullptr) {
        char b[11];
        copyCut(b, sizeof b, asText(v));
        if (strcmp(b, "LIT10") == 0)
            c.battType = 2;
        else if (strcmp(b, "12V") == 0)
            c.battType = 1;
        else if (strcmp(b, "AA_LIT") == 0)
            c.battType = 3;
        else
            c.battType = 0;
    }

    if ((v = jsonMember(r, "dateFormat")) != nullptr)
        copyCut(s.dateFormat, sizeof s.dateFormat, asText(v));
    if ((v = jsonMember(r, "cellular")) != nullptr) setCellularEnabled(asBool(v));
    if ((v = jsonMember(r, "transmitUser")) != nullptr) c.transmitUser = asBool(v);
    if ((v = jsonMember(r, "transmitAuto")) != nullptr) c.transmitAuto = asBool(v);

    if (json_object* sens = jsonMember(r, "sensitivity")) {
        if ((v = jsonMember(sens, "level")) != nullptr)
            copyCut(s.sensitivityLevel, sizeof s.sensitivityLevel, asText(v));
        if ((v = jsonMember(sens, "high")) != nullptr) s.sensitivityHigh = asU8(v);
        if ((v = jsonMember(sens, "medium")) != nullptr) s.sensitivityMedium = asU8(v);
        if ((v = jsonMember(sens, "low")) != nullptr) s.sensitivityLow = asU8(v);
    }

    if ((v = jsonMember(r, "triggerSpeed")) != nullptr)
        copyCut(s.triggerSpeed, sizeof s.triggerSpeed, asText(v));
    if ((v = jsonMember(r, "capture")) != nullptr) s.capture = asBool(v);

    if ((v = jsonMember(tt, "hour")) != nullptr) s.transmitTimeHour = asInt(v);
    if ((v = jsonMember(tt, "minute")) != nullptr) s.transmitTimeMinute = asInt(v);

    if ((v = jsonMember(r, "multiShot")) != nullptr) s.multiShot = asU8(v);
    v = jsonMember(r, "quality");
    copyCut(s.quality, sizeof s.quality, v != nullptr ? asText(v) : "normal");
    if ((v = jsonMember(r, "delay")) != nullptr) copyCut(s.delay, sizeof s.delay, asText(v));

    // Example: "work": [[0, 24], [0, 24], [6, 18], [6, 18], [6, 18], [], [0, 24]]
    v = jsonMember(r, "work");
    if (v != nullptr && json_object_is_type(v, json_type_array) &&
        json_object_array_length(v) == 7) {
        memset(s.work, 0, sizeof s.work);
        for (size_t day = 0; day < 7; day++) {
            json_object* pair = json_object_array_get_idx(v, day);
            if (pair == nullptr || !json_object_is_type(pair, json_type_array) ||
                json_object_array_length(pair) != 2)
                continue;
            s.work[day][0] = asU8(json_object_array_get_idx(pair, 0));
            s.work[day][1] = asU8(json_object_array_get_idx(pair, 1));
        }
    }

    if ((v = jsonMember(r, "timeFormat")) != nullptr) s.timeFormat = asU8(v);
    if ((v = jsonMember(r, "transmitFreq")) != nullptr) s.transmitFreq = asU8(v);
    if ((v = jsonMember(r, "smallPicWidth")) != nullptr) s.smallPicWidth = asU16(v);

    if ((v = jsonMember(jsonMember(r, "ssl"), "host")) != nullptr) setApiHost(asText(v));

    return saveDaemonConfig();
}

// ---- status file ------------------------------------------------------

int readDspStatus() {
    if (isRegularFile(rootPath(kStatusDsp).c_str())) {
        statusSource = kStatusDsp;
        settingsTarget = kConfigDsp;
    } else if (isRegularFile(rootPath(kStatusReq).c_str())) {
        statusSource = kStatusReq;
        settingsTarget = kConfigReq;
    } else {
        // Whatever stands under the old name now is not a status file to read.
        if (statusSource != nullptr) unlink(rootPath(statusSource).c_str());
        return 0;
    }

    const std::string path = rootPath(statusSource);
    char buf[kStatusMax + 2];
    long got = readStatusFile(path, buf);
    if (got > static_cast<long>(kStatusMax)) {
        // Larger than the DSP ever writes: taken as a file that does not parse
        // rather than read cut off.
        logMessage("readDspStatus", LOG_WARNING, "%s larger than %zu bytes, ignored", statusSource,
                   kStatusMax);
        takeStatusText(nullptr);
    } else if (got > 0) {
        takeStatusText(buf);
    }
    // Consumed once, even when it did not parse.
    unlink(path.c_str());
    return 0;
}

// ---- settings file ----------------------------------------------------

namespace {
JsonPtr buildSettings() {
    const DaemonConfig& c = daemonConfig();
    const CameraSettings& s = settings;
    JsonPtr o(json_object_new_object());
    json_object* obj = o.get();

    const char* battery = batteryTypeName(c.battType);
    if (battery == nullptr) {
        // Only a hand-edited configuration gets here; the default type is the
        // safe guess for the camera's battery gauge.
        logMessage("dsp_config", LOG_WARNING, "battery type %d unknown, written as AA", c.battType);
        battery = kBatteryNames[0];
    }
    json_object_object_add(obj, "batteryType", json_object_new_string(battery));
    json_object_object_add(obj, "tempUnit", json_object_new_string(c.tempUnit));
    json_object_object_add(obj, "dateFormat", json_object_new_string(s.dateFormat));

    json_object* sens = json_object_new_object();
    json_object_object_add(sens, "level", json_object_new_string(s.sensitivityLevel));
    json_object_object_add(sens, "high", json_object_new_int(s.sensitivityHigh));
    json_object_object_add(sens, "medium", json_object_new_int(s.sensitivityMedium));
    json_object_object_add(sens, "low", json_object_new_int(s.sensitivityLow));
    json_object_object_add(obj, "sensitivity", sens);

    json_object_object_add(obj, "multiShot", json_object_new_int(s.multiShot));
    json_object_object_add(obj, "triggerSpeed", json_object_new_string(s.triggerSpeed));

    json_object* work = json_object_new_array();
    for (const auto& day : s.work) {
        json_object* pair = json_object_new_array();
        json_object_array_add(pair, json_object_new_int(day[0]));
        json_object_array_add(pair, json_object_new_int(day[1]));
        json_object_array_add(work, pair);
    }
    json_object_object_add(obj, "work", work);

    json_object_object_add(obj, "capture", json_object_new_boolean(s.capture));
    json_object* tt = json_object_new_object();
    json_object_object_add(tt, "hour", json_object_new_int(s.transmitTimeHour));
    json_object_object_add(tt, "minute", json_object_new_int(s.transmitTimeMinute));
    json_object_object_add(obj, "transmitTime", tt);

    json_object_object_add(obj, "quality", json_object_new_string(s.quality));
    json_object_object_add(obj, "delay", json_object_new_string(s.delay));
    json_object_object_add(obj, "timeFormat", json_object_new_int(s.timeFormat));
    json_object_object_add(obj, "transmitFreq", json_object_new_int(s.transmitFreq));
    json_object_object_add(obj, "smallPicWidth", json_object_new_int(s.smallPicWidth));

    if (c.requestDspUpdate != 0) {
        json_object* execute = json_object_new_object();
        json_object_object_add(execute, "execute", json_object_new_boolean(1));
        json_object* requests = json_object_new_object();
        json_object_object_add(requests, "update", execute);
        json_object_object_add(obj, "requests", requests);
    }
    return o;
}
}  // namespace

int writeDspConfig() {
    if (settingsTarget == nullptr) {
        logMessage("dsp_config", LOG_ERROR, "could not write config file %s", kNoTarget);
        return 0;
    }
    JsonPtr o = buildSettings();
    const char* text = json_object_to_json_string(o.get());
    if (!writeFileAtomic(rootPath(settingsTarget).c_str(), text, strlen(text), 0644)) {
        logMessage("dsp_config", LOG_ERROR, "could not write config file %s", settingsTarget);
        return 0;
    }
    return 1;
}

// ---- versions ---------------------------------------------------------

// Example: "V1.00.34" -> 10034, "1.2.3 beta" -> 10203, "V1.2" -> -1
int parseVersion(const char* text) {
    if (text == nullptr) return -1;
    const char* p = text;
    if (*p == 'V' || *p == 'v') p++;
    long part[3];
    for (int i = 0; i < 3; i++) {
        if (i > 0) {
            if (*p != '.') return -1;
            p++;
        }
        char* end;
        errno = 0;
        part[i] = strtol(p, &end, 10);
        if (end == p || errno != 0 || part[i] < 0 || part[i] > INT_MAX) return -1;
        p = end;
    }
    long long v = 10000LL * part[0] + 100LL * part[1] + part[2];
    return v > INT_MAX ? -1 : static_cast<int>(v);
}

int checkDspFWversion() {
    const char* current = getDspVersion();
    const char* wanted = getDspWantedVersion();
    int cur = parseVersion(current);
    int want = parseVersion(wanted);
    if (cur < 0 || want < 0) {
        logMessage("checkDspFWversion", LOG_ERROR,
                   "Can't get correct DSP versions - current %s, wanted %s\n", current, wanted);
        return 0;
    }
    if (cur == want) return 1;
    logMessage("checkDspFWversion", LOG_WARNING,
               "Current DSP FW version (%s) is not as expected (%s)\n", current, wanted);
    return 0;
}
