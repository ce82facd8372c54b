// A module whose clock starts in 1970 (its battery was changed): the real
// trailnetd on a clock of its own (libfaketime; `date -u -s` moves only that
// clock), with the modem, cloud and NTP simulators. The camera gets its
// pictures up and a true date at its first wake, outside Europe from the
// network time and in Europe from NTP; with no source at all it gets no date
// rather than a false one.
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <time.h>

#include <cstdio>
#include <memory>
#include <string>

#include "../modem/modem_sim_fixture.h"
#include "../support/cloudsim.h"
#include "../support/daemon_harness.h"
#include "../support/emulation.h"
#include "../support/ntpsim.h"

using harness::DaemonHarness;
using harness::Ms;

namespace {

const std::string kOk = "SP+OK\n";
const Ms kCellTimeout{90000};
const time_t kIn1970 = 30;  // 1970-01-01 00:00:30 UTC

std::string scenario(const std::string& mcc, const std::string& time) {
    return "{\"dm\":{\"imei\":\"861234567890123\"},"
           "\"sim\":{\"slots\":[{\"iccid\":\"8944500000000000001\",\"imsi\":\"" + mcc + "500000000001\"},"
           "{\"present\":false}]},"
           "\"nw\":{\"signal\":{\"lte\":{\"rssi\":-65,\"rsrq\":-10,\"rsrp\":-95,\"snr\":12}},"
           "\"reg\":{\"radio_tech\":4,\"mcc\":\"" + mcc + "\",\"mnc\":\"50\",\"cell_id\":10627843,\"lac\":0,"
           "\"tac\":11039},\"time\":" + time + "}}";
}

struct Rig {
    DaemonHarness d{1, false};
    std::unique_ptr<ModemSim> modem;
    std::unique_ptr<CloudSim> cloud;
    std::string oldPath = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";

    explicit Rig(const std::string& modemScenario) {
        d.root().mkdirs("/sys/power");
        d.root().mkdirs("/usrdata");
        d.root().write("/scenario.json", modemScenario);
        modem = std::make_unique<ModemSim>(d.root(), d.root().path("/scenario.json"));
        cloud = std::make_unique<CloudSim>(d.root().path("/usrdata/cacert.pem"));
        cloud->setScenario("{\"answer\":{\"uploads\":\"auto\"}}");
        d.root().write("/media/sdcard/CONFIG.REQ",
                       "{\"config\":{\"cellular\":true,\"transmitUser\":true,\"transmitAuto\":true,"
                       "\"ssl\":{\"host\":\"" + cloud->hostPort() + "\"}}}\n");
        d.root().mkdirs("/media/sdcard/TRANSMIT");
        d.root().write("/media/sdcard/TRANSMIT/PICT0001.JPG", "\xff\xd8" + std::string(2000, 'x'));
        d.root().write("/media/sdcard/TRANSMIT/PICT0002.JPG", "\xff\xd8" + std::string(3000, 'y'));
        setenv("PATH", (d.root().path("/sim/bin") + ":" + oldPath).c_str(), 1);
    }
    ~Rig() { setenv("PATH", oldPath.c_str(), 1); }

    size_t count(const std::string& text) {
        std::string log = d.log();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) n++;
        return n;
    }
    // GETDATETIME's date read as UTC minus the desk's true time: the zone's
    // offset east; "none" when no date came.
    std::string dateTimeOffset(std::string* reply = nullptr) {
        std::string r = d.command("SP+GETDATETIME", kOk, Ms(60000));
        if (getenv("TN_CLOCK_SHOW") != nullptr) printf("SP+GETDATETIME -> %s\n", harness::visible(r).c_str());
        if (reply) *reply = r;
        struct tm t = {};
        if (sscanf(r.c_str(), "%d %d %d %d %d %d", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour, &t.tm_min,
                   &t.tm_sec) != 6)
            return "none";
        t.tm_year -= 1900;
        t.tm_mon -= 1;
        long off = static_cast<long>(timegm(&t) - time(nullptr));
        // Whole quarter hours, within the few seconds the answer took.
        long q = (off + (off >= 0 ? 450 : -450)) / 900;
        return std::labs(off - q * 900) <= 10 ? std::to_string(q * 15) + " min" : "off by " + std::to_string(off) + " s";
    }
    // TN_CLOCK_SHOW=1 prints the daemon's log after the test, for a look at
    // what a 1970 start writes.
    void show() {
        if (getenv("TN_CLOCK_SHOW") != nullptr) printf("---- log.txt ----\n%s", d.log().c_str());
    }
    void requireFakeClock() {
        if (!d.fakeClock(kIn1970)) GTEST_SKIP() << "libfaketime is not installed (scripts/setup installs faketime)";
    }
    bool picturesGone() {
        return !d.root().exists("/media/sdcard/TRANSMIT/PICT0001.JPG") &&
               !d.root().exists("/media/sdcard/TRANSMIT/PICT0002.JPG");
    }
};

}  // namespace

TEST(ClockE2E, OutsideEuropeA1970StartTakesTheNetworkTimeAndSyncs) {
    TN_SKIP_IF_EMULATED("libfaketime is preloaded into the host's daemon only");
    Rig rig(scenario("310", "{\"zone\":-20}"));
    ASSERT_NO_FATAL_FAILURE(rig.requireFakeClock());
    if (IsSkipped()) return;
    ASSERT_TRUE(rig.modem->ready());
    ASSERT_TRUE(rig.d.startAndWaitReady());
    EXPECT_LT(rig.d.daemonNow(), 3600);
    ASSERT_EQ(rig.d.command("SP+CELL", kOk, kCellTimeout), kOk);
    ASSERT_NE(rig.d.command("SP+SYNC", kOk, Ms(120000)).find(kOk), std::string::npos) << rig.d.log();
    EXPECT_TRUE(rig.picturesGone());
    std::string reply;
    EXPECT_EQ(rig.dateTimeOffset(&reply), "-300 min") << reply;
    EXPECT_EQ(rig.count("INFO: clock: Set from the network time: "), 1u) << rig.d.log();
    EXPECT_EQ(rig.count("not yet valid"), 0u);
    EXPECT_EQ(rig.count("ERROR: token:"), 0u);
    EXPECT_NE(rig.d.calls().find("date -u -s "), std::string::npos);
    rig.show();
}

TEST(ClockE2E, InEuropeA1970StartTakesTheClockFromTheDeskNtpServer) {
    TN_SKIP_IF_EMULATED("libfaketime is preloaded into the host's daemon only");
    // Two requests unanswered: the clock comes seconds after the data call,
    // and the SYNC sent at once waits for it.
    NtpSim ntp({"drop_first=2"});
    ASSERT_TRUE(ntp.ready()) << ntp.error();
    Rig rig(scenario("234", "{\"zone\":32}"));
    ASSERT_NO_FATAL_FAILURE(rig.requireFakeClock());
    if (IsSkipped()) return;
    rig.d.addStandIn("ntpd", std::string("LD_PRELOAD= exec python3 ") + TN_NTPD_DESK_PY + " \"$@\" >> " +
                                 rig.d.root().path("/ntpd.out") + " 2>&1");
    setenv("TN_NTP_SERVER", ntp.hostPort().c_str(), 1);
    ASSERT_TRUE(rig.modem->ready());
    ASSERT_TRUE(rig.d.startAndWaitReady());
    ASSERT_EQ(rig.d.command("SP+CELL", kOk, kCellTimeout), kOk);
    ASSERT_NE(rig.d.command("SP+SYNC", kOk, Ms(120000)).find(kOk), std::string::npos) << rig.d.log();
    EXPECT_TRUE(rig.picturesGone());
    std::string reply;
    EXPECT_EQ(rig.dateTimeOffset(&reply), "0 min") << reply;  // UTC-00:00 from the table, not the network's +32
    EXPECT_EQ(rig.count("INFO: clock: Set by NTP from europe.pool.ntp.org: "), 1u)
        << rig.d.calls() << rig.d.root().read("/ntpd.out") << rig.d.log();
    EXPECT_EQ(rig.count("ERROR: token:"), 0u);
    EXPECT_EQ(rig.count("Failed to get nitz"), 0u);
    unsetenv("TN_NTP_SERVER");
    rig.show();
}

TEST(ClockE2E, NoTimeFromAnywhereGivesTheCameraNoDate) {
    TN_SKIP_IF_EMULATED("libfaketime is preloaded into the host's daemon only");
    Rig rig(scenario("310", "false"));
    ASSERT_NO_FATAL_FAILURE(rig.requireFakeClock());
    if (IsSkipped()) return;
    ASSERT_TRUE(rig.modem->ready());
    ASSERT_TRUE(rig.d.startAndWaitReady());
    ASSERT_EQ(rig.d.command("SP+CELL", kOk, kCellTimeout), kOk);
    // Twelve network-time requests 5 s apart, then the handler gives up.
    ASSERT_TRUE(rig.d.waitForLog("ERROR: clock: No true date: ", Ms(120000))) << rig.d.log();
    std::string reply;
    EXPECT_EQ(rig.dateTimeOffset(&reply), "none");
    EXPECT_EQ(reply, kOk);
    EXPECT_EQ(rig.count("WARNING: getdatetime: Date time is not known: the clock reads 1970/01/01 "), 1u)
        << rig.d.log();
    rig.show();
}
