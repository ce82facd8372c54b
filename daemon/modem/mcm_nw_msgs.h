#pragma once
// Wire records of the network family (0x05) of the MCM service.
#include <cstddef>
#include <cstdint>

#include "modem/mcm_msgs.h"

enum : uint32_t {
    MCM_NW_SET_CONFIG = 0x500,
    MCM_NW_GET_CONFIG = 0x501,
    MCM_NW_GET_REG_STATUS = 0x502,
    MCM_NW_SCAN = 0x503,
    MCM_NW_GET_OPERATOR_NAME = 0x504,
    MCM_NW_SET_LOW_POWER = 0x505,
    MCM_NW_SET_SELECTION = 0x506,
    MCM_NW_GET_SIGNAL_STRENGTH = 0x507,
    MCM_NW_GET_CELL_ACCESS_STATE = 0x508,
    MCM_NW_GET_NITZ_TIME_INFO = 0x509,
    MCM_NW_EVENT_REGISTER = 0x50A,
    MCM_NW_VOICE_REG_IND = 0x50B,
    MCM_NW_DATA_REG_IND = 0x50C,
    MCM_NW_SIGNAL_IND = 0x50D,
    MCM_NW_CELL_ACCESS_IND = 0x50E,
    MCM_NW_NITZ_IND = 0x50F,
};

struct McmNwConfigRequest {
    uint8_t pref_valid;  // 1
    uint64_t preferred;
    uint8_t roaming_valid;  // 1
    uint32_t roaming;
};
static_assert(sizeof(McmNwConfigRequest) == 24 && offsetof(McmNwConfigRequest, preferred) == 8 &&
                  offsetof(McmNwConfigRequest, roaming_valid) == 16 && offsetof(McmNwConfigRequest, roaming) == 20,
              "config request");

struct McmNwConfigAnswer {
    McmAnswerHeader hdr;
    uint8_t pref_valid;
    uint64_t preferred;
    uint8_t roaming_valid;
    uint32_t roaming;
};
static_assert(sizeof(McmNwConfigAnswer) == 32 && offsetof(McmNwConfigAnswer, preferred) == 16 &&
                  offsetof(McmNwConfigAnswer, roaming_valid) == 24 && offsetof(McmNwConfigAnswer, roaming) == 28,
              "config answer");

struct McmNwCommonReg {
    uint8_t valid;
    uint32_t values[5];
};
struct McmNw3gppPart {
    uint32_t tech_domain;
    uint32_t radio_tech;
    char mcc[4];
    char mnc[4];
    uint32_t roaming;
    uint8_t forbidden;
    uint32_t cell_id;
    uint16_t lac;
    uint16_t psc;
    uint16_t tac;
};
struct McmNw3gppReg {
    uint8_t valid;
    McmNw3gppPart part;
};
struct McmNw3gpp2Part {
    uint32_t tech_domain;
    uint32_t radio_tech;
    char mcc[4];
    char mnc[4];
    uint8_t rest[16];
};
struct McmNw3gpp2Reg {
    uint8_t valid;
    McmNw3gpp2Part part;
};
static_assert(sizeof(McmNw3gppPart) == 36 && offsetof(McmNw3gppPart, mcc) == 8 && offsetof(McmNw3gppPart, mnc) == 12 &&
                  offsetof(McmNw3gppPart, cell_id) == 24 && offsetof(McmNw3gppPart, lac) == 28 &&
                  offsetof(McmNw3gppPart, tac) == 32,
              "3GPP part");
static_assert(sizeof(McmNw3gpp2Part) == 32 && sizeof(McmNwCommonReg) == 24, "registration parts");

struct McmNwRegStatus {  // output of QL_MCM_NW_GetRegStatus
    McmNwCommonReg voice;
    McmNwCommonReg data;
    McmNw3gppReg voice_3gpp;
    McmNw3gppReg data_3gpp;
    McmNw3gpp2Reg voice_3gpp2;
    McmNw3gpp2Reg data_3gpp2;
};
static_assert(sizeof(McmNwRegStatus) == 200, "registration record");
static_assert(offsetof(McmNwRegStatus, data) == 24 && offsetof(McmNwRegStatus, voice_3gpp) == 48 &&
                  offsetof(McmNwRegStatus, voice_3gpp.part) == 52 && offsetof(McmNwRegStatus, data_3gpp) == 88 &&
                  offsetof(McmNwRegStatus, voice_3gpp2) == 128 && offsetof(McmNwRegStatus, voice_3gpp2.part) == 132 &&
                  offsetof(McmNwRegStatus, data_3gpp2) == 164 && offsetof(McmNwRegStatus, data_3gpp2.part) == 168,
              "registration record offsets");

struct McmNwRegStatusAnswer {
    McmAnswerHeader hdr;
    McmNwRegStatus reg;
};
static_assert(sizeof(McmNwRegStatusAnswer) == 208 && offsetof(McmNwRegStatusAnswer, reg.data) == 32 &&
                  offsetof(McmNwRegStatusAnswer, reg.voice_3gpp) == 56 &&
                  offsetof(McmNwRegStatusAnswer, reg.data_3gpp) == 96 &&
                  offsetof(McmNwRegStatusAnswer, reg.voice_3gpp2) == 136 &&
                  offsetof(McmNwRegStatusAnswer, reg.data_3gpp2) == 172,
              "registration answer offsets");

struct McmNwSignal {  // output of QL_MCM_NW_GetSignalStrength
    uint8_t gsm_valid;
    int8_t gsm_rssi;
    uint8_t wcdma_valid;
    uint8_t pad0;
    int8_t wcdma_rssi;
    uint8_t pad1;
    int16_t wcdma_ecio;
    uint8_t tdscdma_valid;
    uint8_t pad2;
    int8_t tdscdma_rssi;
    int8_t tdscdma_rscp;
    int16_t tdscdma_ecio;
    int8_t tdscdma_sinr;
    uint8_t pad3;
    uint8_t lte_valid;
    uint8_t pad4;
    int8_t lte_rssi;
    int8_t lte_rsrq;
    int16_t lte_rsrp;
    int16_t lte_snr;
    uint8_t cdma_valid;
    uint8_t pad5;
    int8_t cdma_rssi;
    uint8_t pad6;
    int16_t cdma_ecio;
    uint8_t hdr_valid;
    uint8_t pad7;
    int8_t hdr_rssi;
    uint8_t pad8;
    int16_t hdr_ecio;
    int8_t hdr_sinr;
    uint8_t pad9[3];
    int32_t hdr_io;
};
static_assert(sizeof(McmNwSignal) == 44, "signal record");
static_assert(offsetof(McmNwSignal, wcdma_rssi) == 4 && offsetof(McmNwSignal, wcdma_ecio) == 6 &&
                  offsetof(McmNwSignal, tdscdma_rssi) == 10 && offsetof(McmNwSignal, tdscdma_sinr) == 14 &&
                  offsetof(McmNwSignal, lte_valid) == 16 && offsetof(McmNwSignal, lte_rssi) == 18 &&
                  offsetof(McmNwSignal, lte_rsrp) == 20 && offsetof(McmNwSignal, lte_snr) == 22 &&
                  offsetof(McmNwSignal, cdma_valid) == 24 && offsetof(McmNwSignal, cdma_ecio) == 28 &&
                  offsetof(McmNwSignal, hdr_valid) == 30 && offsetof(McmNwSignal, hdr_rssi) == 32 &&
                  offsetof(McmNwSignal, hdr_sinr) == 36 && offsetof(McmNwSignal, hdr_io) == 40,
              "signal record offsets");

struct McmNwSignalAnswer {
    McmAnswerHeader hdr;
    McmNwSignal sig;
};
static_assert(sizeof(McmNwSignalAnswer) == 52 && offsetof(McmNwSignalAnswer, sig.lte_rsrp) == 28 &&
                  offsetof(McmNwSignalAnswer, sig.hdr_io) == 48,
              "signal answer");

#pragma pack(push, 4)
struct McmNwNitz {  // output of QL_MCM_NW_GetNitzTimeInfo
    char time[30];  // "yy/mm/dd,hh:mm:ss+zz,dst"
    uint64_t abs_time;
    int8_t leap_sec;
};
#pragma pack(pop)
static_assert(sizeof(McmNwNitz) == 44 && offsetof(McmNwNitz, abs_time) == 32 && offsetof(McmNwNitz, leap_sec) == 40,
              "network-time record");

struct McmNwNitzAnswer {
    McmAnswerHeader hdr;
    uint8_t time_valid;
    char time[30];
    uint8_t pad0;
    uint8_t abs_valid;
    uint64_t abs_time;
    uint8_t leap_valid;
    int8_t leap_sec;
};
static_assert(sizeof(McmNwNitzAnswer) == 64 && offsetof(McmNwNitzAnswer, time) == 9 &&
                  offsetof(McmNwNitzAnswer, abs_valid) == 40 && offsetof(McmNwNitzAnswer, abs_time) == 48 &&
                  offsetof(McmNwNitzAnswer, leap_valid) == 56 && offsetof(McmNwNitzAnswer, leap_sec) == 57,
              "network-time answer");

constexpr uint32_t kMcmNwMaxScan = 40;
struct McmNwScanEntry {
    uint8_t bytes[1044];
};
struct McmNwScanAnswer {
    McmAnswerHeader hdr;
    uint8_t valid;
    uint32_t count;
    McmNwScanEntry entries[kMcmNwMaxScan];
};
static_assert(sizeof(McmNwScanAnswer) == 41776 && offsetof(McmNwScanAnswer, entries) == 16, "scan answer");

struct McmNwOperatorName {  // output of QL_MCM_NW_GetOperatorName
    char long_name[513];
    char short_name[513];
    uint16_t mcc;
    uint8_t mcc_digits;
    uint16_t mnc;
    uint8_t mnc_digits;
};
static_assert(offsetof(McmNwOperatorName, short_name) == 513 && offsetof(McmNwOperatorName, mcc) == 1026,
              "operator name record");

struct McmNwOperatorNameAnswer {
    McmAnswerHeader hdr;
    uint8_t valid;
    char long_name[513];
    char short_name[513];
    uint16_t mcc;
    uint8_t mcc_digits;
    uint16_t mnc;
    uint8_t mnc_digits;
};
static_assert(sizeof(McmNwOperatorNameAnswer) == 1044 && offsetof(McmNwOperatorNameAnswer, long_name) == 9 &&
                  offsetof(McmNwOperatorNameAnswer, short_name) == 522,
              "operator name answer");

struct McmNwSelection {
    uint32_t mode;
    uint32_t radio_tech;
    char mcc[4];
    char mnc[4];
};
static_assert(sizeof(McmNwSelection) == 16, "selection record");

struct McmNwCellAccessAnswer {
    McmAnswerHeader hdr;
    uint8_t valid;
    uint32_t state;
};
static_assert(sizeof(McmNwCellAccessAnswer) == 16 && offsetof(McmNwCellAccessAnswer, state) == 12,
              "cell access answer");

struct McmNwEventRegisterRequest {
    uint8_t pairs[5][2];  // (1, bit n of the mask)
};
static_assert(sizeof(McmNwEventRegisterRequest) == 10, "event registration");
