#pragma once
// The cellular handler thread against the modem simulator, in the test
// process, on a virtual clock. Every wait of the thread ends as soon as what
// it waits for holds, so minutes of the module's time pass in milliseconds.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "../modem/modem_sim_fixture.h"
#include "camera/protocol.h"
#include "cellular/cell_clock.h"
#include "cellular/cell_handler.h"
#include "cellular/cellular.h"
#include "cellular/cellular_state.h"
#include "cellular/signal.h"
#include "cellular/sim_slots.h"
#include "cellular/wall_clock.h"
#include "core/config.h"

namespace {

// Virtual seconds. A wait with a condition also gives the peer up to a
// quarter of a real second per virtual second to make it hold (the
// simulator answers in well under a millisecond), so a wait for something
// that never comes costs little.
class TestClock : public CellClock {
public:
    void sleep(unsigned seconds, const std::function<bool()>& next) override {
        // Parked: the test is over, or wants the handler held where it is.
        while (parked.load()) {
            standing = true;
            pause();
        }
        long now = now_.fetch_add(seconds) + seconds;
        {
            std::lock_guard<std::mutex> lock(hookMutex_);
            if (hook_) hook_(now);
        }
        if (!next) return;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs.load());
        while (!next() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    long now() const { return now_.load(); }
    // Runs after every wait with the virtual time (on the handler thread).
    void onSleep(std::function<void(long)> hook) {
        std::lock_guard<std::mutex> lock(hookMutex_);
        hook_ = std::move(hook);
    }
    std::atomic<bool> parked{false};
    std::atomic<bool> standing{false};  // the handler has stopped at the parking
    // Real time a conditional wait gives the peer per virtual second.
    std::atomic<int> graceMs{250};

private:
    std::atomic<long> now_{0};
    std::mutex hookMutex_;
    std::function<void(long)> hook_;
};

// The handler may set the wall clock: in a test it never sets the desk's.
class DeskClock : public WallClock {
public:
    time_t now() override { return time(nullptr); }
    int set(time_t) override { return -1; }
};
DeskClock gDeskClock;  // no state: it may outlive the test as the handler does

const char* kGoodSignal = "{\"lte\":{\"rssi\":-65,\"rsrq\":-10,\"rsrp\":-97,\"snr\":12}}";

std::string card(const std::string& iccid, const std::string& imsi, const std::string& extra = "") {
    return "{\"iccid\":\"" + iccid + "\",\"imsi\":\"" + imsi + "\"" + extra + "}";
}
const std::string kNoCard = "{\"present\":false}";

class Handler : public ::testing::Test {
protected:
    void SetUp() override {
        reserveZoneVariable();  // as the daemon does before its threads
        ASSERT_TRUE(sim.ready());
        sim.ctl(std::string("signal ") + kGoodSignal);
        sim.ctl("set nw.reg {\"radio_tech\":4,\"mcc\":\"302\",\"mnc\":\"720\",\"cell_id\":4660,\"lac\":0,"
                "\"tac\":4242}");
        sim.ctl("set nw.nitz \"26/12/07,22:15:00-20,0\"");
        setCellularEnabled(true);
        openAtChannel();
        simGpioInit();
        setCellClock(clock);
        setWallClock(&gDeskClock);
    }
    void TearDown() override {
        clock->parked = true;
        // A hook already running holds the lock: once this returns, the
        // handler thread no longer reaches into this test's simulator.
        clock->onSleep(nullptr);
    }

    void cards(const std::string& slot0, const std::string& slot1) {
        sim.ctl("set sim {\"active_slot\":0,\"slots\":[" + slot0 + "," + slot1 + "]}");
    }
    static bool connected() { return cellularState().dataConnected.load() == 1; }
    bool waitLog(const std::string& text, int timeoutMs = 20000) {
        return waitFor([&] { return sim.daemonLog().find(text) != std::string::npos; }, timeoutMs);
    }
    size_t count(const std::string& text) {
        std::string log = sim.daemonLog();
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) n++;
        return n;
    }
    int slotInUse() {
        const SimSlot* s = cellularState().currentSlot;
        return s != nullptr ? s->number : -1;
    }
    std::string selectLine() { return sim.root().read("/sys/class/gpio/gpio7/value"); }
    // The simulator's timers (bearer set-up, card and IMEI delays) follow
    // the handler's virtual time.
    void shareClock() {
        sim.ctl("clock 0");
        clock->onSleep([this](long now) { sim.ctl("clock " + std::to_string(now)); });
    }
    std::string logTail(size_t n = 3000) {
        std::string log = sim.daemonLog();
        return log.size() > n ? log.substr(log.size() - n) : log;
    }

    ModemSim sim;
    TestClock* clock = new TestClock;  // never freed: the thread outlives the test
};

}  // namespace
