// The status report: members, order and the notifications it carries.
#include <gtest/gtest.h>

#include "camera/dsp_files.h"
#include "cellular/cellular_state.h"
#include "cloud/camapi.h"
#include "cloud/status.h"
#include "core/config.h"
#include "core/identity.h"
#include "core/jsonutil.h"
#include "core/timefmt.h"
#include "support/roottree.h"

namespace {

std::vector<std::string> keys(json_object* o) {
    std::vector<std::string> out;
    json_object_object_foreach(o, k, v) {
        (void)v;
        out.push_back(k);
    }
    return out;
}

TEST(StatusReport, MembersInOrderWithZeroCellularRecords) {
    RootTree root;
    root.mountCard(1);
    setModemFirmware("EG91NAFBR05A05M4G");
    JsonPtr status(buildStatusReport());
    EXPECT_EQ(keys(status.get()),
              (std::vector<std::string>{"sim", "model", "version", "lastUpdate", "batteries",
                                        "batteryType", "signal", "memory", "temperature",
                                        "installDate", "modemFirmware", "capability",
                                        "notifications"}));
    json_object* signal = json_object_object_get(status.get(), "signal");
    EXPECT_EQ(keys(signal), (std::vector<std::string>{"bar", "mnc", "type", "mcc", "dBm", "imsi",
                                                      "cellid", "lac"}));
    // Empty MCC and MNC texts (no network yet) report 0.
    EXPECT_EQ(json_object_get_int(json_object_object_get(signal, "mcc")), 0);
    EXPECT_EQ(json_object_get_int(json_object_object_get(signal, "mnc")), 0);
    EXPECT_STREQ(json_object_get_string(json_object_object_get(status.get(), "version")),
                 daemonVersion());
    EXPECT_STREQ(json_object_get_string(json_object_object_get(status.get(), "modemFirmware")),
                 "EG91NAFBR05A05M4G");
    std::string lastUpdate = json_object_get_string(json_object_object_get(status.get(), "lastUpdate"));
    EXPECT_EQ(lastUpdate.size(), 29u);
    EXPECT_EQ(lastUpdate.substr(19), ".000-00:00");
    EXPECT_STREQ(json_object_to_json_string(json_object_object_get(status.get(), "capability")),
                 R"({ "hdRequest": true })");
    EXPECT_STREQ(json_object_to_json_string(json_object_object_get(status.get(), "batteries")), "[ 0 ]");
    EXPECT_NE(root.read("/media/sdcard/log.txt").find("INFO: status: {"), std::string::npos);
}

TEST(StatusReport, SdCardNotification) {
    RootTree root;
    struct Case {
        int card;
        const char* expected;
    } cases[] = {{0, R"([ "missing_sd_card", null ])"}, {1, "[ null ]"}, {2, R"([ "bad_sd_format", null ])"}};
    for (const Case& c : cases) {
        root.mountCard(c.card);
        JsonPtr status(buildStatusReport());
        EXPECT_STREQ(json_object_to_json_string(json_object_object_get(status.get(), "notifications")),
                     c.expected)
            << c.card;
    }
}

TEST(StatusReport, CarriesTheDspStatusFileOfThisSync) {
    RootTree root;
    root.mountCard(2);
    resetDspFiles();
    daemonConfig().powerOnTime = 0;
    root.write("/media/sdcard/STATUS.DSP",
               R"({"batteryType": "aa", "batteries": 87, "model": "TC-9", "memory": {"size": 3000, "used": 12},
                   "temperature": {"value": 71, "unit": "Fahrenheit"}, "notifications": ["low_battery", "full"]})");
    char before[32];
    formatTimestamp(time(nullptr), before, sizeof before);
    JsonPtr status(buildStatusReport());
    char after[32];
    formatTimestamp(time(nullptr), after, sizeof after);
    EXPECT_FALSE(root.exists("/media/sdcard/STATUS.DSP"));
    auto text = [&](const char* key) { return std::string(json_object_to_json_string(json_object_object_get(status.get(), key))); };
    EXPECT_EQ(text("batteryType"), R"("AA")");  // unknown text: the default type
    EXPECT_EQ(text("batteries"), "[ 87 ]");
    EXPECT_EQ(text("model"), R"("TC-9")");
    EXPECT_EQ(text("memory"), R"({ "size": 3000, "used": 12 })");
    EXPECT_EQ(text("temperature"), R"({ "value": 71, "unit": "F" })");
    EXPECT_EQ(text("notifications"), R"([ "bad_sd_format", [ "low_battery", "full" ] ])");
    // No power-on time yet: the install date is now.
    std::string installDate = json_object_get_string(json_object_object_get(status.get(), "installDate"));
    EXPECT_TRUE(installDate == before || installDate == after) << installDate;
}

}  // namespace
