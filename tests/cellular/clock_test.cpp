// The clock at the first connection, on a clock of the test's own: a module
// that starts in 1970 takes the network time outside Europe and NTP (or, when
// that fails, the network time) in Europe; a clock that is right is never set
// back by a worse source; GETDATETIME answers the true date. The
// handler against the modem simulator on a virtual clock, as in handler_test.
//
// Each test runs in a process of its own (the handler runs once per process).
#include <sys/stat.h>

#include "cellular/wall_clock.h"
#include "handler_fixture.h"

namespace {

// The daemon's wall clock: the desk's time moved by an offset kept in a
// file, so the ntpd stand-in (a shell script) can set it too. Nothing here
// touches the desk's clock.
class FileClock : public WallClock {
public:
    explicit FileClock(std::string path) : path_(std::move(path)) {}
    time_t now() override { return time(nullptr) + offset(); }
    int set(time_t t) override {
        sets++;
        write(static_cast<long long>(t) - time(nullptr));
        return 0;
    }
    void at(time_t t) { write(static_cast<long long>(t) - time(nullptr)); }
    std::atomic<int> sets{0};

private:
    long long offset() {
        FILE* f = fopen(path_.c_str(), "r");
        long long o = 0;
        if (f != nullptr) {
            if (fscanf(f, "%lld", &o) != 1) o = 0;
            fclose(f);
        }
        return o;
    }
    void write(long long o) {
        std::string tmp = path_ + ".new";
        FILE* f = fopen(tmp.c_str(), "w");
        if (f == nullptr) return;
        fprintf(f, "%lld\n", o);
        fclose(f);
        rename(tmp.c_str(), path_.c_str());
    }
    std::string path_;
};

const time_t kIn1970 = 30;

class Clock : public Handler {
protected:
    void SetUp() override {
        Handler::SetUp();
        // The network's time is the desk's true one unless a test says otherwise.
        sim.ctl("set nw.nitz null");
        setWallClock(&wall);
        sim.root().mkdirs("/stubs");
        setenv("PATH", (sim.root().path("/stubs") + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin")).c_str(),
               1);
        cards(card("8944000000000000001", "302720000000001"), kNoCard);
    }
    void europe() {
        sim.ctl("set nw.reg {\"radio_tech\":4,\"mcc\":\"234\",\"mnc\":\"50\",\"cell_id\":4660,\"lac\":0,\"tac\":4242}");
    }
    // The ntpd on PATH: sets the clock to `epoch` seconds (none: fails).
    void ntpd(long long epoch, int status) {
        std::string body = "#!/bin/sh\necho \"ntpd $*\" >> " + sim.root().path("/ntpd.calls") + "\n";
        if (epoch >= 0)
            body += "echo $((" + std::to_string(epoch) + " - $(date +%s))) > " + sim.root().path("/clock.offset") + "\n";
        body += "exit " + std::to_string(status) + "\n";
        sim.root().write("/stubs/ntpd", body);
        chmod(sim.root().path("/stubs/ntpd").c_str(), 0755);
    }
    void run() {
        cellHandlerStart();
        ASSERT_TRUE(waitFor([] { return cellularState().timeSet.load() == 1; }, 60000)) << logTail();
    }
    // What GETDATETIME logged (the camera's side is not open here).
    std::string dateTimeLog() {
        executeCommand("GETDATETIME");
        std::string log = sim.daemonLog();
        size_t at = log.rfind("getdatetime: ");
        return at == std::string::npos ? "" : log.substr(at, log.find('\r', at) - at);
    }
    bool nearNow(time_t t) { return t >= time(nullptr) - 5 && t <= time(nullptr) + 5; }

    // Never freed: the handler thread outlives the test.
    FileClock& wall = *new FileClock(sim.root().path("/clock.offset"));
};

}  // namespace

TEST_F(Clock, OutsideEuropeA1970StartTakesTheNetworkTimeOnce) {
    wall.at(kIn1970);
    ASSERT_FALSE(clockKnownTrue());
    ASSERT_NO_FATAL_FAILURE(run());
    EXPECT_TRUE(nearNow(wall.now()));
    EXPECT_EQ(wall.sets.load(), 1);
    EXPECT_EQ(clockSource(), CLOCK_SOURCE_NETWORK);
    EXPECT_STREQ(getenv("TZ"), "UTC+05:00");
    EXPECT_EQ(count("INFO: clock: Set from the network time: "), 1u);
    EXPECT_EQ(count("(was 1970/01/01 00:00:"), 1u);
    time_t now = wall.now();
    struct tm local {};
    localtime_r(&now, &local);
    std::string year = std::to_string(1900 + local.tm_year) + " ";
    EXPECT_EQ(dateTimeLog().rfind("getdatetime: " + year, 0), 0u) << dateTimeLog();
}

// A simulator whose own clock is not true (inside a booted image) is given
// the date its network carries.
TEST_F(Clock, TheNetworkTimeCanCarryADateOfItsOwn) {
    wall.at(kIn1970);
    time_t given = time(nullptr) + 3600;
    sim.ctl("set nw.time {\"epoch\":" + std::to_string(given) + ",\"zone\":-20}");
    ASSERT_NO_FATAL_FAILURE(run());
    EXPECT_GE(wall.now(), given);
    EXPECT_LE(wall.now(), given + 10);
    EXPECT_EQ(clockSource(), CLOCK_SOURCE_NETWORK);
}

TEST_F(Clock, InEuropeA1970StartTakesNtpAndAsksNoNetworkTime) {
    europe();
    wall.at(kIn1970);
    ntpd(time(nullptr), 0);
    ASSERT_NO_FATAL_FAILURE(run());
    EXPECT_TRUE(nearNow(wall.now()));
    EXPECT_EQ(wall.sets.load(), 0);  // ntpd set it
    EXPECT_EQ(clockSource(), CLOCK_SOURCE_NTP);
    EXPECT_STREQ(getenv("TZ"), "UTC-00:00");
    EXPECT_EQ(count("INFO: clock: Set by NTP from europe.pool.ntp.org: "), 1u);
    EXPECT_EQ(sim.root().read("/ntpd.calls"), "ntpd -nNqp europe.pool.ntp.org\n");
    EXPECT_EQ(sim.apiLog().find("QL_MCM_NW_GetNitzTimeInfo"), std::string::npos);
}

TEST_F(Clock, InEuropeNtpFailingLeavesTheDateToTheNetwork) {
    europe();
    wall.at(kIn1970);
    ntpd(-1, 1);
    ASSERT_NO_FATAL_FAILURE(run());
    EXPECT_TRUE(nearNow(wall.now()));
    EXPECT_EQ(clockSource(), CLOCK_SOURCE_NETWORK);
    EXPECT_STREQ(getenv("TZ"), "UTC-00:00");  // the zone still from the table
    EXPECT_EQ(count("WARNING: clock: NTP failed (ntpd exit 1): the clock reads 1970/01/01 "), 1u);
    EXPECT_EQ(count("INFO: clock: Set from the network time: "), 1u);
}

// ---- a right clock and worse sources ----

TEST_F(Clock, ANetworkTimeOlderThanARightClockIsNotTaken) {
    // The clock a day ahead of the network's (both after the build's date).
    time_t ahead = time(nullptr) + 86400;
    wall.at(ahead);
    ASSERT_NO_FATAL_FAILURE(run());
    EXPECT_EQ(wall.sets.load(), 0);
    EXPECT_GE(wall.now(), ahead);
    EXPECT_EQ(count("INFO: clock: Kept at "), 1u);
    EXPECT_EQ(clockSource(), CLOCK_SOURCE_NONE);
    EXPECT_TRUE(clockKnownTrue());
}

TEST_F(Clock, ANetworkTimeBeforeTheBuildIsRefusedEvenInA1970Start) {
    wall.at(kIn1970);
    sim.ctl("set nw.nitz \"20/01/01,00:00:00-20,0\"");
    ASSERT_NO_FATAL_FAILURE(run());
    EXPECT_EQ(wall.sets.load(), 0);
    EXPECT_EQ(count("WARNING: clock: Network time 2020/01/01 00:00:00 refused: before the build's date "), 1u);
    EXPECT_EQ(count("ERROR: clock: No true date: "), 1u);
    EXPECT_FALSE(clockKnownTrue());
    EXPECT_STREQ(getenv("TZ"), "UTC+05:00");  // the zone is still the network's
}

TEST_F(Clock, NtpGivingADateBeforeTheBuildIsUndone) {
    europe();
    ntpd(946684800, 0);  // 2000-01-01
    time_t before = wall.now();
    ASSERT_NO_FATAL_FAILURE(run());
    EXPECT_GE(wall.now(), before);
    EXPECT_TRUE(nearNow(wall.now()));
    EXPECT_EQ(count("WARNING: clock: NTP gave 2000/01/01 "), 1u);
    EXPECT_TRUE(clockKnownTrue());
}
