// The cellular handler for days of the module's time: the real thread on a
// virtual clock against the modem simulator, with seeded random faults at
// field rates (drops every few hours, a lost event or a lost registration
// now and then, a service restart a day, hours of one bar with slow bearer
// set-ups). Prints the availability, the recovery time per kind of fault,
// the states only a reboot would have ended, and the threads and
// descriptors at the start and the end.
//
// ctest runs one day with a fixed seed; scripts/cell-week runs a week
// (TN_WEEK_DAYS, TN_WEEK_SEED).
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../modem/modem_sim_fixture.h"
#include "camera/protocol.h"
#include "cellular/cell_clock.h"
#include "cellular/cell_handler.h"
#include "cellular/cellular.h"
#include "cellular/cellular_state.h"
#include "cellular/mgmt_client.h"
#include "cellular/sim_slots.h"
#include "core/config.h"
#include "core/identity.h"

namespace {

const char* kGoodSignal = "{\"lte\":{\"rssi\":-65,\"rsrq\":-10,\"rsrp\":-97,\"snr\":12}}";
const char* kOneBar = "{\"lte\":{\"rssi\":-95,\"rsrq\":-18,\"rsrp\":-124,\"snr\":-2}}";

// ---- the faults ----

enum Kind { kDrop, kLostEvent, kRegLost, kRegLostQuiet, kManagerRestart, kMcmRestart, kOneBarSpell, kKinds };
const char* const kKindNames[kKinds] = {"call dropped",      "drop, event lost",  "registration lost",
                                        "reg. lost, no event", "manager restart",   "MCM service restart",
                                        "one-bar spell"};
// Mean hours between faults of each kind.
const double kMeanHours[kKinds] = {4, 12, 12, 24, 24, 24, 0};

struct Fault {
    long at;        // virtual second
    Kind kind;
    long duration;  // registration loss and one bar: how long
};

std::vector<Fault> schedule(unsigned seed, long horizon) {
    std::mt19937 rng(seed);
    std::vector<Fault> all;
    for (int k = 0; k < kKinds; k++) {
        if (kMeanHours[k] <= 0) continue;
        std::exponential_distribution<double> gap(1.0 / (kMeanHours[k] * 3600));
        for (double t = 600 + gap(rng); t < horizon; t += gap(rng)) {
            long duration = k == kRegLost || k == kRegLostQuiet ? 60 + static_cast<long>(rng() % 1140) : 0;
            all.push_back({static_cast<long>(t), static_cast<Kind>(k), duration});
        }
    }
    // Every kind at least once, even in a short run.
    for (int k = 0; k < kKinds; k++) {
        if (kMeanHours[k] <= 0) continue;
        bool any = std::any_of(all.begin(), all.end(), [k](const Fault& f) { return f.kind == k; });
        if (!any) all.push_back({600 + static_cast<long>(rng() % static_cast<unsigned>(horizon - 1200)),
                                 static_cast<Kind>(k), k == kRegLost || k == kRegLostQuiet ? 300 : 0});
    }
    // A spell of one bar: a day of the week (third day), or four hours of a shorter run.
    bool week = horizon >= 7 * 86400;
    all.push_back({week ? 2 * 86400 + 3600 : 43200, kOneBarSpell, week ? 86400 : horizon / 6});
    std::sort(all.begin(), all.end(), [](const Fault& a, const Fault& b) { return a.at < b.at; });
    return all;
}

int countEntries(const char* dir) {
    int n = 0;
    if (DIR* d = opendir(dir)) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') n++;
        closedir(d);
    }
    return n;
}

// One control connection kept open: a round trip per virtual second.
class Control {
public:
    explicit Control(const std::string& path) : fd_(simwire::connectUnix(path)) {}
    ~Control() {
        if (fd_ >= 0) close(fd_);
    }
    std::string ask(const std::string& line) {
        std::string l = line + "\n";
        if (fd_ < 0 || send(fd_, l.data(), l.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(l.size())) return "ERR";
        std::string reply;
        char c;
        while (read(fd_, &c, 1) == 1 && c != '\n') reply += c;
        return reply;
    }

private:
    int fd_;
};

std::atomic<long> gEventsSeen{0};
// Listed before the data-call adapter, so it runs after it: once it has
// counted an event, dataConnected already shows it.
void countEvent(int, void*, int) { gEventsSeen++; }

struct Figures {
    long connected = 0, networkThere = 0;
    std::vector<long> recovery[kKinds];
    int rebootOnly = 0;
    int unsynced = 0;
    int faults[kKinds] = {};
    int threadsAtStart = -1, fdsAtStart = -1, threadsAtEnd = -1, fdsAtEnd = -1;
};

// The week's clock: every wait moves the virtual time, applies the faults
// that came due, moves the simulator's clock and waits until the handler's
// process has seen every connection-manager event the simulator sent, so
// a run is the same run every time.
class WeekClock : public CellClock {
public:
    WeekClock(ModemSim& sim, std::vector<Fault> faults, long horizon)
        : sim_(sim), ctl_(sim.root().path("/tmp/modem_sim.ctl")), faults_(std::move(faults)), horizon_(horizon) {}

    void sleep(unsigned seconds, const std::function<bool()>&) override {
        if (done.load()) {
            for (;;) pause();  // the run is over: stay out of the way
        }
        // Up means a call the daemon believes in and the manager holds.
        bool believed = cellularState().dataConnected.load() == 1;
        bool up = believed && callState_ == 1;
        bool network = regLostUntil_ <= now_;
        if (network) fig.networkThere += seconds;
        if (up) fig.connected += seconds;
        trackStuck(believed, up, network, seconds);
        now_ += seconds;
        if (up) recovered();
        applyDue();
        std::string r = ctl_.ask("clock " + std::to_string(now_));
        long sent = 0, state = 0, at = 0;
        if (sscanf(r.c_str(), "OK %ld %ld %ld", &sent, &state, &at) == 3) {
            callState_ = state;
            awaitEvents(sent);
            if (at > 0) awaitAtReply();
        }
        // Counted here, on the handler thread between two steps, so nothing
        // of the handler's is half open.
        if (up && fig.threadsAtStart < 0) {
            fig.threadsAtStart = countEntries("/proc/self/task");
            fig.fdsAtStart = countEntries("/proc/self/fd");
        }
        // The run ends on a call that is up, or an hour past its end (a
        // state that never ends is counted above).
        if (now_ >= horizon_ && (up || now_ >= horizon_ + 3600)) {
            fig.threadsAtEnd = countEntries("/proc/self/task");
            fig.fdsAtEnd = countEntries("/proc/self/fd");
            done = true;
        }
    }

    long now() const { return now_; }
    std::atomic<bool> done{false};
    Figures fig;

private:
    void awaitEvents(long sent) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (gEventsSeen.load() < sent && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        if (gEventsSeen.load() < sent) fig.unsynced++;
    }

    // The handler waits in its AT pattern: let the reader thread take the reply.
    void awaitAtReply() {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!atResponseContains("OK") && !atResponseContains("ERROR") && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        if (!atResponseContains("OK") && !atResponseContains("ERROR")) fig.unsynced++;
    }

    // States that would last until someone reboots the camera: the thread
    // gone, a call the daemon believes in that the manager no longer holds,
    // or hours offline while the network is there.
    void trackStuck(bool believed, bool up, bool network, unsigned seconds) {
        bool lie = believed && !up;
        lieFor_ = lie ? lieFor_ + seconds : 0;
        offlineFor_ = !up && network ? offlineFor_ + seconds : 0;
        bool stuck = !cellThreadStarted() || lieFor_ > 600 || offlineFor_ > 3 * 3600;
        if (stuck && !stuck_) fig.rebootOnly++;
        stuck_ = stuck;
    }

    void recovered() {
        for (auto it = open_.begin(); it != open_.end();) {
            if (it->since > now_) {  // a registration still lost
                ++it;
                continue;
            }
            fig.recovery[it->kind].push_back(now_ - it->since);
            it = open_.erase(it);
        }
    }

    void applyDue() {
        if (regLostUntil_ != 0 && regLostUntil_ <= now_) {
            sim_.ctl("reg back");
            regLostUntil_ = 0;
            // Recovery counts from the network's return.
            for (auto& o : open_)
                if (o.kind == kRegLost || o.kind == kRegLostQuiet) o.since = now_;
        }
        if (oneBarUntil_ != 0 && oneBarUntil_ <= now_) {
            sim_.ctl(std::string("signal ") + kGoodSignal);
            sim_.ctl("set manager.bearer_max 0");
            oneBarUntil_ = 0;
        }
        while (next_ < faults_.size() && faults_[next_].at <= now_) {
            const Fault& f = faults_[next_++];
            bool wasUp = cellularState().dataConnected.load() == 1;
            fig.faults[f.kind]++;
            switch (f.kind) {
            case kDrop: sim_.ctl("drop 0x10"); break;
            case kLostEvent: sim_.ctl("drop 0x10 quiet"); break;
            case kRegLost:
            case kRegLostQuiet:
                sim_.ctl(f.kind == kRegLost ? "reg lose" : "reg lose quiet");
                regLostUntil_ = now_ + f.duration;
                break;
            case kManagerRestart: sim_.ctl("manager restart"); break;
            case kMcmRestart: sim_.ctl("mcm restart"); break;
            case kOneBarSpell:
                sim_.ctl(std::string("signal ") + kOneBar);
                sim_.ctl("set manager.bearer_max 150");
                oneBarUntil_ = now_ + f.duration;
                break;
            case kKinds: break;
            }
            // A fault that met no call has nothing to recover from, except
            // the registration: it keeps the call down for its duration.
            if (wasUp && f.kind != kOneBarSpell && f.kind != kMcmRestart) open_.push_back({f.kind, now_});
            if (f.kind == kRegLost || f.kind == kRegLostQuiet) {
                for (auto& o : open_)
                    if (o.kind == f.kind) o.since = regLostUntil_;
            }
        }
    }

    struct Open {
        Kind kind;
        long since;
    };
    ModemSim& sim_;
    Control ctl_;
    std::vector<Fault> faults_;
    size_t next_ = 0;
    long horizon_;
    long now_ = 0;
    long regLostUntil_ = 0, oneBarUntil_ = 0;
    long callState_ = 0, lieFor_ = 0, offlineFor_ = 0;
    bool stuck_ = false;
    std::vector<Open> open_;
};

long envLong(const char* name, long fallback) {
    const char* v = getenv(name);
    return v != nullptr && *v ? atol(v) : fallback;
}

long median(std::vector<long> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

TEST(Week, FixedSeedRunRecoversFromEveryFaultWithoutAReboot) {
    long days = envLong("TN_WEEK_DAYS", 1);
    unsigned seed = static_cast<unsigned>(envLong("TN_WEEK_SEED", 21));
    long horizon = days * 86400;

    char dir[] = "/tmp/cellweek.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string scenarioFile = std::string(dir) + "/scenario.json";
    {
        std::ofstream f(scenarioFile);
        f << "{\"seed\":" << seed << ",\"dm\":{\"imei\":\"866123456789012\",\"imei_delay\":20},"
          << "\"sim\":{\"card_delay\":2,\"slots\":[{\"iccid\":\"8944000000000000001\",\"imsi\":\"234500000000001\"},"
          << "{\"present\":false}]},"
          << "\"manager\":{\"require_network\":true},"
          << "\"nw\":{\"signal\":" << kGoodSignal << ",\"reg\":{\"radio_tech\":4,\"mcc\":\"302\",\"mnc\":\"720\","
          << "\"cell_id\":4660,\"lac\":0,\"tac\":4242},\"nitz\":\"26/12/07,22:15:00-20,0\"}}";
    }
    reserveZoneVariable();  // as the daemon does before its threads
    ModemSim sim(scenarioFile);
    ASSERT_TRUE(sim.ready());
    sim.ctl("clock 0");
    setCellularEnabled(true);
    openAtChannel();
    simGpioInit();
    readModemIdentity();  // at start the service has no IMEI yet
    mgmt_add_event_handler(countEvent);
    auto* clock = new WeekClock(sim, schedule(seed, horizon), horizon);  // outlives the test
    setCellClock(clock);

    cellHandlerStart();
    ASSERT_TRUE(waitFor([] { return cellularState().dataConnected.load() == 1; }, 60000));
    // Generous: a day is a few seconds of real time on an idle desk.
    ASSERT_TRUE(waitFor([&] { return clock->done.load(); }, static_cast<int>(days) * 600000))
        << "virtual time reached " << clock->now();
    const Figures& fig = clock->fig;
    int threadsAtStart = fig.threadsAtStart, fdsAtStart = fig.fdsAtStart;
    int threadsAtEnd = fig.threadsAtEnd, fdsAtEnd = fig.fdsAtEnd;
    double availability = fig.networkThere > 0 ? 100.0 * fig.connected / fig.networkThere : 0;
    printf("\nSimulated %ld day(s), seed %u\n", days, seed);
    printf("availability: %.2f %% of %ld s with the network there\n", availability, fig.networkThere);
    printf("%-22s %6s %10s %10s\n", "fault", "count", "median s", "longest s");
    for (int k = 0; k < kKinds; k++) {
        const auto& r = fig.recovery[k];
        long longest = r.empty() ? 0 : *std::max_element(r.begin(), r.end());
        printf("%-22s %6d %10ld %10ld\n", kKindNames[k], fig.faults[k], median(r), longest);
    }
    printf("states only a reboot would end: %d\n", fig.rebootOnly);
    printf("threads: %d at start, %d at end; descriptors: %d at start, %d at end\n", threadsAtStart, threadsAtEnd,
           fdsAtStart, fdsAtEnd);
    if (fig.unsynced) printf("waits for an event that timed out: %d\n", fig.unsynced);
    fflush(stdout);

    EXPECT_EQ(fig.rebootOnly, 0);
    EXPECT_EQ(threadsAtEnd, threadsAtStart);
    EXPECT_EQ(fdsAtEnd, fdsAtStart);
    EXPECT_STREQ(modemImei(), "866123456789012");
    EXPECT_GT(availability, 90.0);
    std::string rm = std::string("rm -rf ") + dir;
    EXPECT_EQ(system(rm.c_str()), 0);
}
