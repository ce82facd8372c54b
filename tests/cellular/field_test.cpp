// The handler against the modem as it behaves at the edge of a cell: lost
// events, restarted services, slow cards, a late IMEI, a refused profile.
// Each case is a path on which the camera used to stay offline until
// someone rebooted it.
#include "cellular/data_call.h"
#include "core/identity.h"
#include "handler_fixture.h"

namespace {
const std::string kCard0 = card("8944000000000000001", "234500000000001");
const std::string kCard1 = card("8931000000000000002", "204040000000002");

class Field : public Handler {
protected:
    void SetUp() override {
        Handler::SetUp();
        clock->graceMs = 60;  // connection waits that fail on purpose stay short
    }
};
}  // namespace

// ---- the data call disappears without the event saying so ----

TEST_F(Field, ALostDisconnectEventIsFoundByTheCallCheck) {
    cards(kCard0, kNoCard);
    cellHandlerStart();
    ASSERT_TRUE(waitFor(connected, 30000));
    long upAt = clock->now();
    sim.ctl("drop quiet");
    ASSERT_TRUE(waitLog("WARNING: Data: Profile index 3 is no longer connected", 30000)) << logTail();
    EXPECT_LE(clock->now() - upAt, 61);  // within a check period or two
    // The cycle goes on as after a drop: the call is opened again.
    ASSERT_TRUE(waitFor([&] { return count("INFO: Data: Data activated") >= 2 && connected(); }, 30000)) << logTail();
    // A manager that sends no disconnect event at all: the same check finds it.
    sim.ctl("set manager.drop_events false");
    sim.ctl("drop 0x10");
    ASSERT_TRUE(waitFor([&] { return count("is no longer connected") >= 2; }, 30000)) << logTail();
    ASSERT_TRUE(waitFor([&] { return count("INFO: Data: Data activated") >= 3 && connected(); }, 30000)) << logTail();
}

TEST_F(Field, ConnectionManagerRestartWhileConnectedIsADrop) {
    cards(kCard0, kNoCard);
    cellHandlerStart();
    ASSERT_TRUE(waitFor(connected, 30000));
    sim.ctl("manager restart");
    EXPECT_EQ(sim.get("manager.call.state"), "0");
    ASSERT_TRUE(waitLog("WARNING: Data: Profile index 3 is no longer connected", 30000)) << logTail();
    ASSERT_TRUE(waitFor([&] { return count("INFO: Data: Data activated") >= 2 && connected(); }, 30000)) << logTail();
    EXPECT_EQ(sim.get("manager.call.state"), "1");
}

TEST_F(Field, RegistrationLostWithAndWithoutEventEndsConnectedAgain) {
    cards(kCard0, kNoCard);
    sim.ctl("set manager.require_network true");
    cellHandlerStart();
    ASSERT_TRUE(waitFor(connected, 30000));
    // With its event: seen at once; while unregistered every start is refused.
    sim.ctl("reg lose");
    ASSERT_TRUE(waitFor([] { return !connected(); }, 10000));
    ASSERT_TRUE(waitLog("ERROR: Data: Profile index 3 start data call failure", 30000)) << logTail();
    sim.ctl("reg back");
    ASSERT_TRUE(waitFor([&] { return count("INFO: Data: Data activated") >= 2 && connected(); }, 30000)) << logTail();
    // Without: only the call check finds it.
    sim.ctl("reg lose quiet");
    ASSERT_TRUE(waitLog("WARNING: Data: Profile index 3 is no longer connected", 30000)) << logTail();
    sim.ctl("reg back");
    ASSERT_TRUE(waitFor([&] { return count("INFO: Data: Data activated") >= 3 && connected(); }, 30000)) << logTail();
}

TEST_F(Field, ASyncFindsACallTheManagerNoLongerHolds) {
    cards(kCard0, kNoCard);
    cellHandlerStart();
    ASSERT_TRUE(waitFor(connected, 30000));
    // The handler stays where it is, so only the sync's check can see the
    // drop; a handler still inside its last wait would see it too, and
    // reopen the call.
    clock->parked = true;
    ASSERT_TRUE(waitFor([&] { return clock->standing.load(); }, 30000));
    sim.ctl("drop quiet");
    EXPECT_EQ(dataCallCheck(), -1);
    EXPECT_EQ(cellularState().dataConnected.load(), 0);
}

// ---- cards ----

TEST_F(Field, ASlowCardInTheOnlySlotIsFound) {
    shareClock();
    cards(kCard0, kNoCard);
    sim.ctl("set sim.card_delay 3");
    cellHandlerStart();
    ASSERT_TRUE(waitFor(connected, 30000)) << logTail();
    EXPECT_EQ(slotInUse(), 0);
    EXPECT_EQ(simSlot(0).presence, SIM_SLOT_PRESENT);
    EXPECT_EQ(cellularState().simError.load(), 0);
    EXPECT_EQ(count("Slot #0 empty"), 0u);
}

TEST_F(Field, ACardInsertedLaterInTheEmptySlotIsFound) {
    cards(kCard0, kNoCard);
    sim.ctl("signal {}");  // slot 0's card never finds a network
    cellHandlerStart();
    ASSERT_TRUE(waitLog("INFO: cellular: Slot #1 empty", 30000));
    ASSERT_TRUE(waitLog("ERROR: cell: Can't get stable signal", 30000)) << logTail();
    sim.ctl("set sim.slots.1 " + kCard1);
    ASSERT_TRUE(waitLog("WARNING: sim: Switch sim card slot: 1", 30000)) << logTail();
    sim.ctl(std::string("signal ") + kGoodSignal);
    ASSERT_TRUE(waitFor(connected, 30000)) << logTail();
    EXPECT_EQ(simSlot(1).presence, SIM_SLOT_PRESENT);
    EXPECT_STREQ(simSlotImsi(&simSlot(1)), "204040000000002");
}

// ---- modem services ----

TEST_F(Field, AnImeiMissingAtStartIsReadBeforeTheCallOpens) {
    shareClock();
    sim.ctl("set dm.imei \"866123456789012\"");
    sim.ctl("set dm.imei_delay 10");
    readModemIdentity();
    ASSERT_STREQ(modemImei(), "");
    cards(kCard0, kNoCard);  // the probe of slot 1 takes longer than the delay
    cellHandlerStart();
    ASSERT_TRUE(waitFor(connected, 30000)) << logTail();
    EXPECT_STREQ(modemImei(), "866123456789012");
}

TEST_F(Field, ARefusedProfileEndsTheCycleUntilItIsTaken) {
    cards(kCard0, kNoCard);
    sim.ctl("set errors.0x60004 {\"result\":1}");
    cellHandlerStart();
    ASSERT_TRUE(waitLog("ERROR: cell: APN profile 3 setup failed (jtm2m)", 30000)) << logTail();
    ASSERT_TRUE(waitFor([&] { return count("APN profile 3 setup failed") >= 2; }, 30000));
    // No call is started on a profile that does not hold the carrier's APN.
    EXPECT_EQ(sim.get("last_request.0x60001"), "null");
    sim.ctl("set errors.0x60004 null");
    ASSERT_TRUE(waitFor(connected, 30000)) << logTail();
    EXPECT_EQ(sim.get("manager.apns.3.apn"), "\"jtm2m\"");
}

TEST_F(Field, McmServiceRestartWhileConnectedIsShownAndSurvived) {
    cards(kCard0, kNoCard);
    cellHandlerStart();
    ASSERT_TRUE(waitFor(connected, 30000));
    ASSERT_NE(signalRead(), 0);
    sim.ctl("mcm restart");
    // The library tells its caller the service went away ...
    ASSERT_TRUE(waitFor([&] { return sim.apiLog().find("uhandled MSG : 0x87654320") != std::string::npos; }))
        << sim.apiLog();
    // ... and the next request opens a new link.
    EXPECT_NE(signalRead(), 0);
    EXPECT_TRUE(waitFor([&] { return sim.apiLog().find("uhandled MSG : 0x87654321") != std::string::npos; }));
    EXPECT_TRUE(connected());  // the data call is the manager's, not the MCM service's
}

TEST_F(Field, ASlowBearerWithinTheConnectionWaitComesUp) {
    shareClock();
    sim.ctl("set manager.bearer_seconds 20");
    cards(kCard0, kNoCard);
    cellHandlerStart();
    ASSERT_TRUE(waitLog("INFO: Data: Profile index 3 start data call success", 30000));
    EXPECT_EQ(sim.get("manager.call.state"), "0");  // still setting up
    ASSERT_TRUE(waitFor(connected, 30000)) << logTail();
    // The flag is up a moment before its log line.
    ASSERT_TRUE(waitLog("INFO: Data: Data activated", 30000)) << logTail();
    EXPECT_EQ(count("INFO: Data: Data activated"), 1u);
}

TEST_F(Field, ABearerSlowerThanTheConnectionWaitIsStoppedAndTriedAgain) {
    shareClock();
    sim.ctl("set manager.bearer_seconds 45");
    cards(kCard0, kNoCard);
    cellHandlerStart();
    // The wait gives up after 30 s and the call is started again ...
    ASSERT_TRUE(waitFor([&] { return count("INFO: Data: Profile index 3 start data call success") >= 2; }, 30000))
        << logTail();
    EXPECT_FALSE(connected());
    // ... until a bearer fits in the wait; the stopped one never comes up behind it.
    sim.ctl("set manager.bearer_seconds 5");
    ASSERT_TRUE(waitFor(connected, 30000)) << logTail();
    ASSERT_TRUE(waitLog("INFO: Data: Data activated", 30000)) << logTail();
    EXPECT_EQ(count("INFO: Data: Data activated"), 1u);
    EXPECT_EQ(sim.get("manager.call.state"), "1");
}
