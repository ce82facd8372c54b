// The cellular handler thread against the modem simulator, in the test
// process, on a virtual clock: slot choice, PIN, reset, drop and recovery,
// long signal loss, no SIM, network time. Every wait of the thread ends as
// soon as what it waits for holds, so minutes of the module's time pass in
// milliseconds.
//
// The thread runs for the life of the process and the cellular records are
// process-wide: each test runs in a process of its own (ctest runs every
// discovered test separately).
#include "handler_fixture.h"

TEST_F(Handler, PreferredCardInSlotZeroConnectsWithoutProbingSlotOne) {
    cards(card("8912302760000000001F", "302760000000001"), card("8944000000000000001", "234100000000001"));
    cellHandlerStart();
    ASSERT_TRUE(waitFor([] { return connected() && cellularState().timeSet.load() == 1; }, 30000));
    CellularState& cell = cellularState();
    EXPECT_EQ(slotInUse(), 0);
    EXPECT_EQ(simSlot(1).presence, SIM_SLOT_UNPROBED);
    EXPECT_STREQ(simSlotIccid(cell.currentSlot), "8912302760000000001");
    EXPECT_STREQ(simSlotImsi(cell.currentSlot), "302760000000001");
    EXPECT_EQ(sim.get("manager.apns.3.apn"), "\"m2m.telus.iot\"");
    EXPECT_STREQ(cell.mcc, "302");
    EXPECT_STREQ(cell.mnc, "720");
    EXPECT_STREQ(cell.radioType, "LTE");
    EXPECT_EQ(cell.cellId, 4660);
    EXPECT_EQ(cell.areaCode, 4242);  // the tracking area when the location area is 0
    // NITZ -20 (five hours west).
    ASSERT_NE(getenv("TZ"), nullptr);
    EXPECT_STREQ(getenv("TZ"), "UTC+05:00");
    // RSRP -97 counts as -82.
    EXPECT_EQ(signalBars(), 4);
    // A second start does nothing.
    cellHandlerStart();
    EXPECT_TRUE(waitLog("WARNING: cell: Cellular handler thread already created"));
}

TEST_F(Handler, PriorityTwoBeatsNinetyNineAndIsSwitchedBackTo) {
    cards(card("8944000000000000001", "234500000000001"), card("8930000000000000002", "302610000000002"));
    cellHandlerStart();
    ASSERT_TRUE(waitFor(connected, 30000));
    EXPECT_EQ(slotInUse(), 0);
    EXPECT_EQ(simSlot(0).presence, SIM_SLOT_PRESENT);
    EXPECT_EQ(simSlot(1).presence, SIM_SLOT_PRESENT);
    EXPECT_EQ(simSlot(1).carrier, 3);
    EXPECT_EQ(selectLine(), "0");
    EXPECT_EQ(sim.get("sim.active_slot"), "0");
    EXPECT_EQ(sim.get("manager.apns.3.apn"), "\"jtm2m\"");
    // Slot 1 was probed (4 s + 4 s) and slot 0 switched back to (4 s + 4 s).
    EXPECT_GE(clock->now(), 16);
}

TEST_F(Handler, PriorityOneInSlotOneWinsWithoutSwitchingBack) {
    cards(card("8930000000000000002", "302610000000002"), card("8911000000000000003", "311480000000003"));
    cellHandlerStart();
    ASSERT_TRUE(waitFor(connected, 30000));
    EXPECT_EQ(slotInUse(), 1);
    EXPECT_EQ(selectLine(), "1");
    EXPECT_EQ(sim.get("manager.apns.3.apn"), "\"VZWINTERNET\"");
    EXPECT_EQ(count("INFO: sim: Sim pin - OK"), 0u);
}

TEST_F(Handler, EmptySlotAndACardWhosePinMustBeVerified) {
    cards(kNoCard, card("8944000000000000001", "234500000000001",
                        ",\"pin_state\":\"locked\",\"pin\":\"61830572\""));
    cellHandlerStart();
    ASSERT_TRUE(waitFor(connected, 30000));
    EXPECT_EQ(slotInUse(), 1);
    EXPECT_EQ(simSlot(0).presence, SIM_SLOT_EMPTY);
    EXPECT_TRUE(waitLog("INFO: cellular: Slot #0 empty (b01)"));
    EXPECT_TRUE(waitLog("INFO: sim: Sim pin - OK"));
}

TEST_F(Handler, ResetStaysOnTheOnlyCardAndProbesAnUnknownSlot) {
    cards(card("8944000000000000001", "234500000000001"), kNoCard);
    SimSlot& zero = simSlot(0);
    cellularState().currentSlot = &zero;
    zero.presence = SIM_SLOT_PRESENT;
    simSlot(1).presence = SIM_SLOT_EMPTY;
    cellularState().signalFound = 1;
    strcpy(cellularState().mcc, "234");
    sim.root().write("/sys/class/gpio/gpio7/value", "untouched");
    cellReset();
    EXPECT_EQ(selectLine(), "untouched");
    EXPECT_EQ(count("Switch sim card slot"), 0u);
    EXPECT_EQ(slotInUse(), 0);
    EXPECT_EQ(cellularState().signalFound.load(), 0);
    EXPECT_STREQ(cellularState().mcc, "");

    // Not yet probed: switched to, found empty, and switched back from.
    simSlot(1).presence = SIM_SLOT_UNPROBED;
    cellReset();
    EXPECT_EQ(simSlot(1).presence, SIM_SLOT_EMPTY);
    EXPECT_EQ(slotInUse(), 0);
    EXPECT_EQ(selectLine(), "0");
    EXPECT_EQ(count("WARNING: sim: Switch sim card slot: 1"), 1u);
    EXPECT_EQ(count("WARNING: sim: No sim card on slot: 1"), 1u);
    EXPECT_EQ(count("WARNING: sim: Switch sim card slot: 0"), 1u);
}

TEST_F(Handler, DroppedCallReconnectsThenMovesToTheOtherCard) {
    cards(card("8944000000000000001", "234500000000001"), card("8931000000000000002", "204040000000002"));
    cellHandlerStart();
    ASSERT_TRUE(waitFor(connected, 30000));
    ASSERT_EQ(slotInUse(), 0);
    // First drop: the cycle's second attempt reopens on the same card.
    sim.ctl("drop 0x10");
    ASSERT_TRUE(waitFor([&] { return count("INFO: Data: Data activated") >= 2; }, 20000));
    ASSERT_TRUE(waitFor(connected, 20000));
    EXPECT_EQ(slotInUse(), 0);
    // Second drop: the cycle ends, the reset moves to the other card.
    sim.ctl("drop 0x10");
    ASSERT_TRUE(waitFor([&] { return count("INFO: Data: Data activated") >= 3; }, 30000));
    ASSERT_TRUE(waitFor(connected, 20000));
    EXPECT_EQ(slotInUse(), 1);
    EXPECT_EQ(sim.get("sim.active_slot"), "1");
    EXPECT_EQ(sim.get("manager.apns.3.apn"), "\"iot.truphone.com\"");
    EXPECT_EQ(count("WARNING: sim: Switch sim card slot: 1"), 1u);
}

TEST_F(Handler, LongSignalLossEndsConnectedAgain) {
    cards(card("8944000000000000001", "234500000000001"), kNoCard);
    cellHandlerStart();
    ASSERT_TRUE(waitFor(connected, 30000));
    // The network goes away: no signal, no data call.
    sim.ctl("signal {}");
    sim.ctl("set manager.connect false");
    sim.ctl("drop 0x10");
    // Second attempt fails, the reset stays on the only card, and minutes
    // pass without a stable signal.
    ASSERT_TRUE(waitLog("ERROR: cell: Can't get stable signal", 30000)) << sim.daemonLog().substr(sim.daemonLog().size() > 3000 ? sim.daemonLog().size() - 3000 : 0);
    long lostAt = clock->now();
    EXPECT_GE(lostAt, 179);
    sim.ctl(std::string("signal ") + kGoodSignal);
    sim.ctl("set manager.connect true");
    ASSERT_TRUE(waitFor(connected, 30000));
    EXPECT_EQ(slotInUse(), 0);
    EXPECT_EQ(count("Switch sim card slot"), 0u);
    // The time was set once for the thread run.
    EXPECT_EQ(count("Failed to get nitz"), 0u);
}

TEST_F(Handler, NoSimAtAllEndsTheThreadWithSimError) {
    cards(kNoCard, kNoCard);
    cellHandlerStart();
    ASSERT_TRUE(waitLog("ERROR: cellular: Modem initialization error - -1"));
    ASSERT_TRUE(waitFor([] { return !cellThreadStarted(); }));
    EXPECT_EQ(cellularState().simError.load(), 1);
    EXPECT_EQ(count("ERROR: cellular: Sim error (slot #1): e_card_state 2817"), 2u);
    EXPECT_EQ(signalBars(), -1);
    EXPECT_EQ(signalRead(), 1);
    EXPECT_TRUE(waitLog("ERROR: signal: No SIM card"));
}

TEST_F(Handler, NetworkTimeUnavailableLeavesTheZoneAndSetsTimeSet) {
    setenv("TZ", "UTC-01:00", 1);
    sim.ctl("fault 0x509 short");
    cards(card("8944000000000000001", "302720000000001"), kNoCard);
    cellHandlerStart();
    ASSERT_TRUE(waitFor([] { return cellularState().timeSet.load() == 1; }, 30000));
    EXPECT_EQ(count("ERROR: Datetime: Failed to get nitz:"), 12u);
    EXPECT_STREQ(getenv("TZ"), "UTC-01:00");
    EXPECT_EQ(sim.get("manager.apns.3.apn"), "\"m2minternet.apn\"");
}

TEST_F(Handler, DisabledCellularProbesThenStops) {
    setCellularEnabled(false);
    cards(card("8944000000000000001", "234500000000001"), kNoCard);
    cellHandlerStart();
    ASSERT_TRUE(waitLog("INFO: cell: Cellular signal research deactivated"));
    ASSERT_TRUE(waitFor([] { return cellularOff(); }));
    EXPECT_TRUE(cellThreadStarted());
    EXPECT_EQ(simSlot(0).presence, SIM_SLOT_PRESENT);
    EXPECT_EQ(signalBars(), 5);
    cellHandlerStart();
    EXPECT_TRUE(waitLog("WARNING: cell: Cellular handler thread already created"));
    EXPECT_EQ(cellularState().dataConnected.load(), 0);
}

// ---- the written procedure, step by step ----

TEST_F(Handler, AtPatternResendsOnErrorAndTheRadioCommandsTakeFivePassesMore) {
    cards(card("8944000000000000001", "234500000000001"), kNoCard);
    // The radio-off command never answers: 1 + 5 passes of 9 tests each.
    sim.ctl("set at.replies {\"AT+CFUN=0\":\"SILENT\",\"AT+QMBNCFG=\\\"DEACTIVATE\\\"\":\"ERROR\"}");
    long before = clock->now();
    simSelectSlot(simSlot(0), 0);
    EXPECT_EQ(count("INFO: AT: AT+CFUN=0"), 6u);
    EXPECT_GE(clock->now() - before, 54);
    // The plain form: an ERROR is logged and the command sent again, within
    // one pass of 9 tests.
    size_t sends = count("INFO: AT: AT+QMBNCFG=\"deactivate\"");
    EXPECT_GE(sends, 2u);
    EXPECT_LE(sends, 10u);
    EXPECT_GE(count("ERROR: AT: \r\nERROR"), sends - 1);
    // Neither stops the procedure: the forbidden-networks clean-up still ran.
    EXPECT_EQ(count("INFO: AT: AT+CRSM=214,28539"), 1u);
}

TEST_F(Handler, APinThatFailsIsTriedFourTimesAndTheProcedureGoesOn) {
    cards(card("8944000000000000001", "234500000000001", ",\"pin_state\":\"locked\",\"pin\":\"1234\""), kNoCard);
    cellHandlerStart();
    ASSERT_TRUE(waitFor(connected, 30000));
    size_t failures = count("ERROR: sim: Unable to validate sim pin - ");
    EXPECT_GE(failures, 4u);
    EXPECT_EQ(failures % 4, 0u);  // four attempts per switch
    EXPECT_EQ(count("Sim pin - OK"), 0u);
}

TEST_F(Handler, OpenFailingTwiceResetsThreeTimesAndBeginsAgain) {
    cards(card("8944000000000000001", "234500000000001"), card("8931000000000000002", "204040000000002"));
    // The manager answers but its lock file says it is not ready: dataCallOpen
    // gives up after ten checks (half a second each, on the real clock).
    unlink(sim.root().path("/tmp/.ql_manager_server.lock").c_str());
    cellHandlerStart();
    ASSERT_TRUE(waitFor([&] { return count("ERROR: cell: Open data context failed") >= 2; }, 60000)) << logTail();
    // First failure: one reset (to slot 1); second: two more (0, then 1).
    ASSERT_TRUE(waitFor([&] { return count("WARNING: sim: Switch sim card slot:") >= 3; }, 30000));
    EXPECT_EQ(count("ERROR: Data: Data call failure"), 2u);
    sim.root().write("/tmp/.ql_manager_server.lock", "success\n");
    ASSERT_TRUE(waitFor(connected, 60000)) << logTail();
    EXPECT_EQ(count("WARNING: sim: Switch sim card slot: 1"), 2u);
    EXPECT_EQ(count("WARNING: sim: Switch sim card slot: 0"), 1u);
}

TEST_F(Handler, LteWithoutRsrpTakesTheServingCellLevelFromTheAtChannel) {
    cards(card("8944000000000000001", "234500000000001"), kNoCard);
    sim.ctl("signal {\"lte\":{\"rssi\":-65,\"rsrq\":-10,\"rsrp\":0,\"snr\":12}}");
    sim.ctl("set at.servingcell \"+QENG: \\\"servingcell\\\",\\\"NOCONN\\\",\\\"LTE\\\",\\\"FDD\\\",234,50,"
            "A1B2C03,123,5110,12,5,5,2B1F,-101,-10,-65,12,40\"");
    cellHandlerStart();
    ASSERT_TRUE(waitFor(connected, 30000)) << logTail();
    EXPECT_GE(count("INFO: AT: at+qeng=\"servingcell\""), 2u);  // the readings of the stable-signal wait
    EXPECT_EQ(signalRead(), -101);
    EXPECT_EQ(signalBars(), 3);  // -101 + 15
}

TEST_F(Handler, ASecondCellAfterTheThreadEndedStartsItAgain) {
    cards(kNoCard, kNoCard);
    cellHandlerStart();
    ASSERT_TRUE(waitFor([] { return !cellThreadStarted(); }, 30000));
    ASSERT_EQ(cellularState().simError.load(), 1);
    sim.ctl("set sim.slots.0 " + card("8944000000000000001", "234500000000001"));
    cellHandlerStart();
    ASSERT_TRUE(waitFor(connected, 30000)) << logTail();
    EXPECT_EQ(slotInUse(), 0);
    EXPECT_EQ(cellularState().simError.load(), 0);
    EXPECT_EQ(count("INFO: cell: Cellular handler thread created successfully"), 2u);
}

// Network-time requests in the API log.
size_t nitzRequests(const ModemSim& sim) {
    std::string api = sim.apiLog();
    size_t n = 0;
    for (size_t at = api.find("[QL_MCM_NW_GetNitzTimeInfo_"); at != std::string::npos;
         at = api.find("[QL_MCM_NW_GetNitzTimeInfo_", at + 1))
        n++;
    return n;
}

TEST_F(Handler, TheZoneIsSetOnceAndNotAgainOnALaterConnection) {
    cards(card("8944000000000000001", "302720000000001"), kNoCard);
    cellHandlerStart();
    ASSERT_TRUE(waitFor([] { return connected() && cellularState().timeSet.load() == 1; }, 30000));
    ASSERT_STREQ(getenv("TZ"), "UTC+05:00");
    size_t asked = nitzRequests(sim);
    ASSERT_GE(asked, 1u);
    // The network now says eight hours west; a second connection must not apply it.
    sim.ctl("set nw.nitz \"26/12/07,22:15:00+32,0\"");
    sim.ctl("drop 0x10");
    ASSERT_TRUE(waitFor([&] { return count("INFO: Data: Data activated") >= 2 && connected(); }, 30000));
    EXPECT_STREQ(getenv("TZ"), "UTC+05:00");
    EXPECT_EQ(nitzRequests(sim), asked);
}
