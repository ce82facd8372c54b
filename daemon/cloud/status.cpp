#include "cloud/status.h"

#include <cstdlib>
#include <ctime>

#include "camera/dsp_files.h"
#include "cellular/cellular.h"
#include "cellular/cellular_state.h"
#include "core/config.h"
#include "core/identity.h"
#include "core/log.h"
#include "core/sdcard.h"
#include "core/timefmt.h"

namespace {

// "310" -> 310; empty or not a number -> 0.
int decimal(const char* text) { return static_cast<int>(strtol(text, nullptr, 10)); }

json_object* signalObject() {
    const CellularState& cell = cellularState();
    json_object* signal = json_object_new_object();
    json_object_object_add(signal, "bar", json_object_new_int(signalBars()));
    json_object_object_add(signal, "mnc", json_object_new_int(decimal(cell.mnc)));
    json_object_object_add(signal, "type", json_object_new_string(cell.radioType));
    json_object_object_add(signal, "mcc", json_object_new_int(decimal(cell.mcc)));
    json_object_object_add(signal, "dBm", json_object_new_int(signalReadEx(nullptr)));
    json_object_object_add(signal, "imsi", json_object_new_string(simSlotImsi(cell.currentSlot)));
    json_object_object_add(signal, "cellid", json_object_new_int(cell.cellId));
    json_object_object_add(signal, "lac", json_object_new_int(cell.areaCode));
    return signal;
}

// The DSP keeps its notifications as JSON text; whatever it holds becomes one
// element (an empty or broken text gives null).
json_object* parsedNotifications() {
    return json_tokener_parse(getDspNotifications());
}

}  // namespace

json_object* buildStatusReport() {
    const CellularState& cell = cellularState();
    logMessage("cellular", LOG_INFO, "MCC: %s MNC: %s", cell.mcc, cell.mnc);

    char lastUpdate[30];
    formatIsoTime(lastUpdate, sizeof lastUpdate);
    readDspStatus();

    // An unknown battery text reports the default type, which the API knows.
    const char* batteryType = batteryTypeName(getDspBatteryType());
    if (batteryType == nullptr) batteryType = batteryTypeName(DSP_BATTERY_AA);

    json_object* batteries = json_object_new_array();
    json_object_array_add(batteries, json_object_new_int(getDspBatteries()));

    json_object* memory = json_object_new_object();
    json_object_object_add(memory, "size", json_object_new_int(getDspMemorySize()));
    json_object_object_add(memory, "used", json_object_new_int(getDspMemoryUsed()));

    json_object* temperature = json_object_new_object();
    json_object_object_add(temperature, "value", json_object_new_int(getDspTemperatureValue()));
    json_object_object_add(temperature, "unit",
                           json_object_new_string(getDspTemperatureUnit() == 'F' ? "F" : "C"));

    json_object* notifications = json_object_new_array();
    int card = sdcardState();
    if (card == SDCARD_ABSENT)
        json_object_array_add(notifications, json_object_new_string("missing_sd_card"));
    else if (card == SDCARD_RO)
        json_object_array_add(notifications, json_object_new_string("bad_sd_format"));

    json_object* capability = json_object_new_object();
    json_object_object_add(capability, "hdRequest", json_object_new_boolean(1));

    char installDate[32];
    formatTimestamp(getPowerOnTime(), installDate, sizeof installDate);

    json_object* status = json_object_new_object();
    json_object_object_add(status, "sim", json_object_new_string(simSlotIccid(cell.currentSlot)));
    json_object_object_add(status, "model", json_object_new_string(getDspModel()));
    json_object_object_add(status, "version", json_object_new_string(daemonVersion()));
    json_object_object_add(status, "lastUpdate", json_object_new_string(lastUpdate));
    json_object_object_add(status, "batteries", batteries);
    json_object_object_add(status, "batteryType",
                           json_object_new_string(batteryType));
    json_object_object_add(status, "signal", signalObject());
    json_object_object_add(status, "memory", memory);
    json_object_object_add(status, "temperature", temperature);
    json_object_object_add(status, "installDate", json_object_new_string(installDate));
    json_object_object_add(status, "modemFirmware", json_object_new_string(modemFirmware()));
    json_object_object_add(status, "capability", capability);

    json_object_array_add(notifications, parsedNotifications());
    if (json_object_array_length(notifications) > 0)
        json_object_object_add(status, "notifications", notifications);
    else
        json_object_put(notifications);

    logMessage("status", LOG_INFO, "%s", json_object_to_json_string(status));
    return status;
}
