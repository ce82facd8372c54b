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

// --- SIM (family 0x0B) ---
enum : uint32_t {
    MCM_SIM_GET_IMSI = 0xB00,
    MCM_SIM_GET_ICCID = 0xB01,
    MCM_SIM_GET_PHONE_NUMBER = 0xB02,
    MCM_SIM_GET_OPERATOR_PLMN_LIST = 0xB03,
    MCM_SIM_READ_FILE = 0xB04,
    MCM_SIM_WRITE_FILE = 0xB05,
    MCM_SIM_GET_FILE_SIZE = 0xB06,
    MCM_SIM_VERIFY_PIN = 0xB07,
    MCM_SIM_CHANGE_PIN = 0xB08,
    MCM_SIM_UNBLOCK_PIN = 0xB09,
    MCM_SIM_ENABLE_PIN = 0xB0A,
    MCM_SIM_DISABLE_PIN = 0xB0B,
    MCM_SIM_GET_CARD_STATUS = 0xB0C,
    MCM_SIM_DEPERSONALIZATION = 0xB0D,
    MCM_SIM_PERSONALIZATION = 0xB0E,
    MCM_SIM_CARD_STATUS_IND = 0xB10,
    MCM_SIM_REFRESH_IND = 0xB11,
};

// Identifiers the daemon passes (slot 1, the USIM application, PIN 1).
constexpr uint32_t MCM_SIM_SLOT_ID_1 = 0xB01;
constexpr uint32_t MCM_SIM_APP_TYPE_3GPP = 0xB01;
constexpr uint32_t MCM_SIM_PIN_ID_1 = 0xB01;
constexpr uint32_t MCM_SIM_CARD_STATE_PRESENT = 0xB03;
constexpr uint32_t MCM_SIM_PIN_STATE_ENABLED_NOT_VERIFIED = 0xB02;

struct McmSimAppRecord {
    uint32_t slot;
    uint32_t app_type;
};
static_assert(sizeof(McmSimAppRecord) == 8, "application record");

// A text part: validity byte, length word, text.
template <size_t N>
struct McmSimTextAnswer {
    McmAnswerHeader hdr;
    uint8_t valid;
    uint32_t length;
    char text[N];
};
using McmSimImsiAnswer = McmSimTextAnswer<16>;
using McmSimIccidAnswer = McmSimTextAnswer<20>;
using McmSimPhoneAnswer = McmSimTextAnswer<84>;
static_assert(sizeof(McmSimImsiAnswer) == 32 && sizeof(McmSimIccidAnswer) == 36 && sizeof(McmSimPhoneAnswer) == 100,
              "text answers");
static_assert(offsetof(McmSimIccidAnswer, valid) == 8 && offsetof(McmSimIccidAnswer, length) == 12 &&
                  offsetof(McmSimIccidAnswer, text) == 16,
              "text answer offsets");

constexpr int kMcmSimMaxPlmn = 24;
struct McmSimPlmnListAnswer {
    McmAnswerHeader hdr;
    uint8_t valid;
    uint32_t count;
    uint8_t entries[kMcmSimMaxPlmn][12];
};
static_assert(sizeof(McmSimPlmnListAnswer) == 304 && offsetof(McmSimPlmnListAnswer, entries) == 16, "PLMN list");

struct McmSimFileId {  // file size request
    uint32_t slot;
    uint32_t app_type;
    uint32_t path_len;
    char path[20];
};
struct McmSimFileRecord {  // read request and the head of a write
    McmSimFileId id;
    uint32_t offset;
};
static_assert(sizeof(McmSimFileId) == 32 && sizeof(McmSimFileRecord) == 36, "file records");

constexpr uint32_t kMcmSimMaxFileData = 4096;
struct McmSimReadFileAnswer {
    McmAnswerHeader hdr;
    uint8_t valid;
    uint32_t length;
    uint8_t data[kMcmSimMaxFileData];
};
static_assert(sizeof(McmSimReadFileAnswer) == 4112 && offsetof(McmSimReadFileAnswer, data) == 16, "read answer");

struct McmSimWriteFileRequest {
    McmSimFileRecord file;
    uint32_t length;
    uint8_t data[kMcmSimMaxFileData];
};
static_assert(sizeof(McmSimWriteFileRequest) == 4136, "write request");

struct McmSimFileSizeAnswer {
    McmAnswerHeader hdr;
    uint8_t valid;
    uint32_t size;
    uint16_t record_size;
    uint16_t record_count;
    uint16_t file_type;
};
static_assert(sizeof(McmSimFileSizeAnswer) == 24 && offsetof(McmSimFileSizeAnswer, size) == 12 &&
                  offsetof(McmSimFileSizeAnswer, file_type) == 20,
              "file size answer");

struct McmSimPinRecord {
    uint32_t slot;
    uint32_t app_type;
    uint32_t pin_id;
    uint32_t pin_len;
    char pin[8];
};
struct McmSimChangePinRecord {  // also unblock: PUK then new PIN
    uint32_t slot;
    uint32_t app_type;
    uint32_t pin_id;
    uint32_t old_len;
    char old_pin[8];
    uint32_t new_len;
    char new_pin[8];
};
static_assert(sizeof(McmSimPinRecord) == 24 && sizeof(McmSimChangePinRecord) == 36, "PIN records");

struct McmSimStatusAnswer {  // PIN, write and personalisation answers
    McmAnswerHeader hdr;
    uint32_t retries;
};
static_assert(sizeof(McmSimStatusAnswer) == 12, "status answer");

struct McmSimCardStatus {
    uint32_t card_state;  // 0xB03 present
    uint32_t card_type;
    uint32_t app_count;
    uint32_t pin_state;  // 0xB02 must be verified
    uint8_t rest[88];
};
static_assert(sizeof(McmSimCardStatus) == 104 && offsetof(McmSimCardStatus, pin_state) == 12, "card status");

struct McmSimCardStatusAnswer {
    McmAnswerHeader hdr;
    uint8_t valid;
    McmSimCardStatus info;
};
static_assert(sizeof(McmSimCardStatusAnswer) == 116 && offsetof(McmSimCardStatusAnswer, info) == 12,
              "card status answer");

// Card-status indication: the card information split as words 12, 16 and 96 bytes from 20.
struct McmSimCardStatusInd {
    McmAnswerHeader hdr;
    uint8_t valid;
    uint32_t word0;
    uint32_t word1;
    uint8_t rest[96];
};
static_assert(sizeof(McmSimCardStatusInd) == 116 && offsetof(McmSimCardStatusInd, word1) == 16 &&
                  offsetof(McmSimCardStatusInd, rest) == 20,
              "card status indication");

struct McmSimDepersoRecord {
    uint32_t feature;
    uint32_t operation;
    uint32_t key_len;
    char key[16];
};
static_assert(sizeof(McmSimDepersoRecord) == 28, "depersonalisation record");

struct McmSimPersoRecord {
    uint32_t key_len;
    char key[16];
    uint32_t feature;
    uint32_t count;
    uint8_t items[7264];
};
static_assert(sizeof(McmSimPersoRecord) == 7292, "personalisation record");
