// Pure pieces of the cellular side: carrier mapping, slot choice, ICCID,
// signal selection and bars, the serving-cell answer, the stability rule and
// the time-zone texts, the network's date and what the clock takes from it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cellular/cell_handler.h"
#include "cellular/cellular.h"
#include "cellular/signal.h"
#include "cellular/sim_slots.h"
#include "cellular/wall_clock.h"

TEST(Carrier, ImsiCodesMapToTheirRows) {
    struct Case {
        const char* imsi;
        int row;
    } cases[] = {
        {"302720123456789", 5},  // six-digit code
        {"302721123456789", 7},  // 30272 followed by another digit
        {"234101234567890", 1},  // 23410 although other MCC 234 codes are row 0
        {"234501234567890", 0},  {"234031234567890", 0}, {"901170000000001", 0},
        {"302760000000001", 2},  {"302610000000001", 3}, {"302690000000001", 4},
        {"311480000000001", 6},  {"454000000000001", 1}, {"310410123456789", 7},
        {"", 7},                 {"3027", 7},
    };
    for (const Case& c : cases) EXPECT_EQ(carrierForImsi(c.imsi), c.row) << c.imsi;
    EXPECT_EQ(carrierForImsi(nullptr), 7);
}

TEST(Carrier, TableHasAnApnAndPriorityForEveryRow) {
    for (const CarrierProfile& p : carrierTable) {
        ASSERT_NE(p.apn, nullptr);
        EXPECT_GT(strlen(p.apn), 0u) << p.name;
        EXPECT_LT(strlen(p.apn), 150u) << p.name;  // fits the modem's profile record
    }
    EXPECT_STREQ(carrierTable[0].apn, "jtm2m");
    EXPECT_STREQ(carrierTable[6].apn, "VZWINTERNET");
    EXPECT_EQ(carrierTable[2].priority, 1);
    EXPECT_EQ(carrierTable[6].priority, 1);
}

TEST(Slots, IccidIsCutAtItsFiller) {
    char iccid[23] = "8901410321111851072F";
    iccidCut(iccid);
    EXPECT_STREQ(iccid, "8901410321111851072");
    char plain[23] = "89014103211118510720";
    iccidCut(plain);
    EXPECT_STREQ(plain, "89014103211118510720");
}

TEST(Slots, ChoiceFollowsPresenceThenPriority) {
    auto slot = [](uint8_t n, int32_t presence, int32_t carrier) {
        SimSlot s{};
        s.number = n;
        s.presence = presence;
        s.carrier = carrier;
        return s;
    };
    // 2 (JT) in slot 0 against 99 (BELL) in slot 1.
    EXPECT_EQ(chooseSlot(slot(0, 1, 0), slot(1, 1, 3)), 0);
    // 99 against 1 (KORE).
    EXPECT_EQ(chooseSlot(slot(0, 1, 3), slot(1, 1, 6)), 1);
    // Equal priorities: slot 0.
    EXPECT_EQ(chooseSlot(slot(0, 1, 3), slot(1, 1, 5)), 0);
    // Only one present (the other empty or never probed).
    EXPECT_EQ(chooseSlot(slot(0, 0, 0), slot(1, 1, 3)), 1);
    EXPECT_EQ(chooseSlot(slot(0, 1, 3), slot(1, 2, 6)), 0);
    EXPECT_EQ(chooseSlot(slot(0, 0, 0), slot(1, 0, 0)), -1);
    // A carrier index outside the table does not read past it.
    EXPECT_EQ(chooseSlot(slot(0, 1, 1234), slot(1, 1, 0)), 1);
}

TEST(Signal, FirstValidPartWins) {
    QL_MCM_NW_Signal s{};
    int value = 0;
    bool lte = false;
    EXPECT_EQ(signalFromRecord(s, &value, &lte), SIGNAL_NONE);

    s.gsm_valid = 1;
    s.gsm_rssi = -80;
    s.lte_valid = 1;
    s.lte_rsrp = -97;
    EXPECT_EQ(signalFromRecord(s, &value, &lte), SIGNAL_VALUE);
    EXPECT_EQ(value, -80);
    EXPECT_FALSE(lte);

    s.gsm_valid = 0;
    EXPECT_EQ(signalFromRecord(s, &value, &lte), SIGNAL_VALUE);
    EXPECT_EQ(value, -97);
    EXPECT_TRUE(lte);

    // LTE without a negative RSRP asks the serving cell.
    s.lte_rsrp = 0;
    EXPECT_EQ(signalFromRecord(s, &value, &lte), SIGNAL_SERVING_CELL);
    EXPECT_TRUE(lte);

    QL_MCM_NW_Signal h{};
    h.hdr_valid = 1;
    h.hdr_rssi = -90;
    EXPECT_EQ(signalFromRecord(h, &value, &lte), SIGNAL_VALUE);
    EXPECT_EQ(value, -90);
}

TEST(Signal, BarsTableWithTheLteCorrection) {
    struct Case {
        int reading;
        int bars;
    } cases[] = {
        {-1, 5},   {-73, 5},  {-74, 4},  {-82, 4},  {-83, 3},  {-92, 3}, {-93, 2},
        {-101, 2}, {-102, 1}, {-110, 1}, {-111, 0}, {-140, 0}, {0, 0},   {12, 0},
    };
    for (const Case& c : cases) EXPECT_EQ(barsForReading(c.reading), c.bars) << c.reading;
    // An LTE RSRP of -97 counts as -82: 4 bars; -101 as -86: 3 bars.
    EXPECT_EQ(barsForReading(-97 + 15), 4);
    EXPECT_EQ(barsForReading(-101 + 15), 3);
}

TEST(Signal, ServingCellFields) {
    struct Case {
        const char* name;
        const char* answer;
        int level;
    } cases[] = {
        {"lte", "\r\n+QENG: \"servingcell\",\"NOCONN\",\"LTE\",\"FDD\",310,410,A1B2C03,123,5110,12,5,5,2B1F,-95,"
                "-10,-65,12,40\r\n\r\nOK\r\n",
         -95},
        {"wcdma rscp", "\r\n+QENG: \"servingcell\",\"NOCONN\",\"WCDMA\",302,720,5A1,4B3C1,10713,85,1,-101,-6,"
                       "1,2,3\r\n\r\nOK\r\n",
         -101},
        {"no answer line", "\r\nOK\r\n", 0},
        {"too few fields", "+QENG: \"servingcell\",\"SEARCH\"\r\nOK\r\n", 0},
        {"empty", "", 0},
        {"long field is cut", "+QENG: \"servingcell\",1,2,3,4,5,6,7,8,9,-1234567,x\r\n", -123},
    };
    for (const Case& c : cases) EXPECT_EQ(servingCellLevelFromText(c.answer), c.level) << c.name;
    EXPECT_EQ(servingCellLevelFromText(nullptr), 0);
}

TEST(Handler, StabilityRule) {
    // The reading before the first counts as 0.
    EXPECT_TRUE(signalStable(0, 1));
    EXPECT_TRUE(signalStable(0, 2));
    EXPECT_TRUE(signalStable(0, -2));
    EXPECT_FALSE(signalStable(0, -3));
    EXPECT_FALSE(signalStable(0, -80));
    EXPECT_TRUE(signalStable(-80, -82));
    EXPECT_TRUE(signalStable(-82, -80));
    EXPECT_FALSE(signalStable(-80, -83));
    // 0 is never stable, so 0/value alternation never is.
    EXPECT_FALSE(signalStable(0, 0));
    EXPECT_FALSE(signalStable(-80, 0));
    EXPECT_FALSE(signalStable(1, 0));
}

TEST(Handler, ZoneTexts) {
    EXPECT_EQ(zoneHoursForMcc(234), 0);
    EXPECT_EQ(zoneHoursForMcc(208), 1);
    EXPECT_EQ(zoneHoursForMcc(286), 3);
    EXPECT_EQ(zoneHoursForMcc(302), -1);
    EXPECT_EQ(zoneHoursForMcc(0), -1);

    struct Case {
        const char* nitz;
        int q;
        const char* zone;
    } cases[] = {
        {"26/12/07,22:15:00-20,0", 20, "+05:00"},
        {"26/12/07,22:15:00+22,0", 22, "-05:30"},
        {"26/12/07,22:15:00+32,0", 32, "-08:00"},
        {"26/12/07,22:15:00+00,0", 0, "-00:00"},
    };
    for (const Case& c : cases) {
        char zone[16] = {};
        EXPECT_EQ(zoneFromNitz(c.nitz, zone, sizeof zone), c.q) << c.nitz;
        EXPECT_STREQ(zone, c.zone) << c.nitz;
    }
    char zone[16];
    for (const char* bad : {"", "26/12/07,22:15:00", "26/12/07,22:15:00*20,0", "26/12/07,22:15:00+2x,0"})
        EXPECT_EQ(zoneFromNitz(bad, zone, sizeof zone), -1) << bad;
    EXPECT_EQ(zoneFromNitz(nullptr, zone, sizeof zone), -1);
}

// The handler sets TZ while other threads read the environment: the
// variable is put in before they start, with the zone it already means, so
// that setting it moves nothing they might be reading.
TEST(Handler, TheZoneVariableIsReservedBeforeTheThreads) {
    unsetenv("TZ");
    tzset();
    time_t t = 1765000000;
    struct tm unset {}, reserved {};
    localtime_r(&t, &unset);
    reserveZoneVariable();
    tzset();
    localtime_r(&t, &reserved);
    EXPECT_STREQ(getenv("TZ"), ":/etc/localtime");
    EXPECT_EQ(mktime(&unset), mktime(&reserved));
    EXPECT_EQ(unset.tm_hour, reserved.tm_hour);

    char** environment = environ;
    applyZone("+05:00");
    EXPECT_EQ(environ, environment);
    EXPECT_STREQ(getenv("TZ"), "UTC+05:00");
    reserveZoneVariable();  // a zone already there is kept
    EXPECT_STREQ(getenv("TZ"), "UTC+05:00");
}

TEST(Clock, NetworkTimeDates) {
    struct Case {
        const char* nitz;
        time_t utc;  // -1: no date
    } cases[] = {
        {"26/12/07,22:15:00-20,0", 1796681700},  // universal time: the zone does not move it
        {"26/12/07,22:15:00+32,0", 1796681700},
        {"00/01/01,00:00:00+00,0", 946684800},
        {"24/02/29,12:00:00+04,1", 1709208000},   // a leap day
        {"23/02/29,12:00:00+04,0", -1},           // not one
        {"26/13/07,22:15:00-20,0", -1},
        {"26/12/07,24:15:00-20,0", -1},
        {"26/12/07 22:15:00-20,0", -1},
        {"26/12/07,22:15", -1},
        {"", -1},
    };
    for (const Case& c : cases) EXPECT_EQ(utcFromNitz(c.nitz), c.utc) << c.nitz;
    EXPECT_EQ(utcFromNitz(nullptr), -1);
}

TEST(Clock, WhatTheNetworkTimeMayDoToTheClock) {
    const time_t floor = 1796000000;  // the build's date
    struct Case {
        time_t offered, now;
        ClockVerdict verdict;
    } cases[] = {
        {floor + 100, 30, CLOCK_TAKE},                    // 1970: anything after the build
        {floor - 1, 30, CLOCK_REFUSE_EARLY},              // ...but nothing before it
        {floor + 500, floor + 100, CLOCK_TAKE},           // a clock behind is moved forward
        {floor + 101, floor + 100, CLOCK_KEEP},           // a second is the text's own slack
        {floor + 100, floor + 500, CLOCK_KEEP},           // never set back
        {floor - 100, floor + 500, CLOCK_REFUSE_EARLY},
    };
    for (const Case& c : cases)
        EXPECT_EQ(judgeNetworkTime(c.offered, c.now, floor), c.verdict) << c.offered << " at " << c.now;
    char text[24];
    formatUtc(1796681700, text, sizeof text);
    EXPECT_STREQ(text, "2026/12/07 22:15:00");
    EXPECT_GT(clockFloor(), 1700000000);  // a real build's date
}

TEST(Handler, RadioTypeNames) {
    EXPECT_STREQ(radioTypeName(0), "unknown");
    EXPECT_STREQ(radioTypeName(4), "LTE");
    EXPECT_STREQ(radioTypeName(18), "NONE");
    EXPECT_STREQ(radioTypeName(19), "unknown");  // outside the table
    EXPECT_STREQ(radioTypeName(0xFFFFFFFFu), "unknown");
}
