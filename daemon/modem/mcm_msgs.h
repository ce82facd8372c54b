#pragma once
// Wire records of the MCM service families: little-endian, 32-bit words.
// The wrappers and the modem simulator both use these, so the two cannot
// drift apart; every size and offset the daemon relies on is checked here.
#include <cstddef>
#include <cstdint>

// Message identifiers: the high byte names the family (client type).
enum : uint32_t {
    MCM_CLIENT_REQUIRE_SERVICE = 0x800,
    MCM_DM_GET_RADIO_MODE = 0x201,
    MCM_DM_SET_RADIO_MODE = 0x202,
    MCM_DM_EVENT_REGISTER = 0x203,
    MCM_DM_RADIO_MODE_CHANGED_IND = 0x204,
    MCM_DM_GET_SERIAL_NUMBERS = 0x2A0,
    MCM_DM_GET_DEVICE_REV_ID = 0x2A1,
    MCM_SMS_EVENT_REGISTER = 0x706,
    MCM_SIM_EVENT_REGISTER = 0xB0F,
    MCM_VOICE_EVENT_REGISTER = 0x100B,
    MCM_UIM_SERVICE_DOWN_IND = 0x87654320,
    MCM_UIM_SERVICE_UP_IND = 0x87654321,
};

inline constexpr uint32_t mcmFamily(uint32_t msgId) { return (msgId >> 8) & 0xFF; }

// Every answer starts with these two words.
struct McmAnswerHeader {
    int32_t result;  // 0 success
    int32_t error;   // MCM error number, 0 none
};
static_assert(sizeof(McmAnswerHeader) == 8, "answer header");

// --- client service ---
struct McmRequireServiceRequest {
    uint16_t mask;
};
static_assert(sizeof(McmRequireServiceRequest) == 2, "require-service request");

struct McmSimEventRegisterRequest {
    uint8_t flags[4];
};
struct McmSmsEventRegisterRequest {
    uint8_t flags[2];
};
struct McmVoiceEventRegisterRequest {
    uint8_t flags[14];  // first 8 set
};
static_assert(sizeof(McmSimEventRegisterRequest) == 4 && sizeof(McmSmsEventRegisterRequest) == 2 &&
                  sizeof(McmVoiceEventRegisterRequest) == 14,
              "event registration requests");

// --- device management (family 0x02) ---
struct McmDmSerialNumbers {  // output of QL_MCM_DM_GetSerialNumbers
    uint8_t imei_valid;
    char imei[33];
    uint8_t meid_valid;
    char meid[33];
};
static_assert(sizeof(McmDmSerialNumbers) == 68, "serial-number record");
static_assert(offsetof(McmDmSerialNumbers, imei) == 1 && offsetof(McmDmSerialNumbers, meid_valid) == 34 &&
                  offsetof(McmDmSerialNumbers, meid) == 35,
              "serial-number record offsets");

struct McmDmSerialNumbersAnswer {
    McmAnswerHeader hdr;
    McmDmSerialNumbers sn;
};
static_assert(sizeof(McmDmSerialNumbersAnswer) == 76, "serial-number answer");
static_assert(offsetof(McmDmSerialNumbersAnswer, sn.imei_valid) == 8 &&
                  offsetof(McmDmSerialNumbersAnswer, sn.imei) == 9 &&
                  offsetof(McmDmSerialNumbersAnswer, sn.meid_valid) == 42 &&
                  offsetof(McmDmSerialNumbersAnswer, sn.meid) == 43,
              "serial-number answer offsets");

struct McmDmRevisionAnswer {
    McmAnswerHeader hdr;
    char revision[257];
};
static_assert(sizeof(McmDmRevisionAnswer) == 268, "firmware answer");
static_assert(offsetof(McmDmRevisionAnswer, revision) == 8, "firmware answer offset");

struct McmDmRadioModeAnswer {
    McmAnswerHeader hdr;
    uint8_t mode_valid;
    int32_t mode;
};
static_assert(sizeof(McmDmRadioModeAnswer) == 16, "radio mode answer");
static_assert(offsetof(McmDmRadioModeAnswer, mode_valid) == 8 && offsetof(McmDmRadioModeAnswer, mode) == 12,
              "radio mode answer offsets");

struct McmDmSetRadioModeRequest {
    int32_t mode;
};
struct McmDmSetRadioModeAnswer {
    McmAnswerHeader hdr;
    uint8_t reserved[4];
};
static_assert(sizeof(McmDmSetRadioModeRequest) == 4 && sizeof(McmDmSetRadioModeAnswer) == 12,
              "set radio mode");

struct McmDmEventRegisterRequest {
    uint8_t radio_mode_valid;  // 1
    uint8_t radio_mode_on;
};
static_assert(sizeof(McmDmEventRegisterRequest) == 2, "DM event registration");

struct McmDmRadioModeInd {
    uint8_t mode_valid;
    int32_t mode;
};
static_assert(sizeof(McmDmRadioModeInd) == 8 && offsetof(McmDmRadioModeInd, mode) == 4,
              "radio mode indication");
