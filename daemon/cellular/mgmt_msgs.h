#pragma once
// Connection-manager message records (416 bytes each) and the 96-byte
// data-call event. Shared by the daemon and the modem simulator; every
// offset the daemon relies on is checked here.
#include <cstddef>
#include <cstdint>

constexpr int kMgmtMsgSize = 416;
constexpr int kDataCallEventSize = 96;

enum : int {
    MGMT_DATA_CALL_START = 0x60001,  // also the identifier of data-call events
    MGMT_DATA_CALL_STOP = 0x60002,
    MGMT_DATA_CALL_INFO = 0x60003,
    MGMT_APN_PROFILE = 0x60004,
    MGMT_APN_LIST = 0x60005,
    MGMT_APN_DELETE = 0x60006,
    MGMT_APN_ADD = 0x60007,
    MGMT_DEFAULT_PROFILE = 0x60008,
};

struct MgmtDataCallStartReq {
    uint8_t profile;
    int32_t ip_family;  // 0, 1 or 2
    uint8_t second;     // passed through from the caller
    uint8_t reserved[151];
    char user[128];
    char password[128];
};
static_assert(sizeof(MgmtDataCallStartReq) == kMgmtMsgSize, "start request");
static_assert(offsetof(MgmtDataCallStartReq, ip_family) == 4 && offsetof(MgmtDataCallStartReq, second) == 8 &&
                  offsetof(MgmtDataCallStartReq, user) == 160 &&
                  offsetof(MgmtDataCallStartReq, password) == 288,
              "start request offsets");

// Stop (0x60002) and info (0x60003) requests.
struct MgmtProfileFamilyReq {
    uint8_t profile;
    int32_t ip_family;
    uint8_t reserved[kMgmtMsgSize - 8];
};
static_assert(sizeof(MgmtProfileFamilyReq) == kMgmtMsgSize && offsetof(MgmtProfileFamilyReq, ip_family) == 4,
              "stop/info request");

// Info reply: the manager fills the record; the daemon keeps its first 200 bytes.
struct MgmtDataCallInfo {
    uint8_t profile;
    int32_t ip_family;
    char iface[16];
    int32_t state;  // 1 connected
    int32_t reason;
    uint8_t v4_address[16];
    uint8_t v4_gateway[16];
    uint8_t v4_dns[16];
    char iface2[16];
    uint8_t v6_address[64];
    uint8_t reserved[40];
};
static_assert(sizeof(MgmtDataCallInfo) == 200, "call information record");
static_assert(offsetof(MgmtDataCallInfo, iface) == 8 && offsetof(MgmtDataCallInfo, state) == 24 &&
                  offsetof(MgmtDataCallInfo, iface2) == 80,
              "call information offsets");

struct MgmtDefaultProfileReq {
    uint8_t profile;
    int32_t reserved0;
    int32_t value;  // 2
    uint8_t reserved[kMgmtMsgSize - 12];
};
static_assert(sizeof(MgmtDefaultProfileReq) == kMgmtMsgSize && offsetof(MgmtDefaultProfileReq, value) == 8,
              "default-profile request");

struct MgmtApnReq {
    uint8_t is_default;  // 1 when the profile index is 0
    uint8_t profile;
    uint8_t pdp_type;
    uint8_t auth;
    char apn[150];
    uint8_t reserved0;
    char user[127];
    char reserved1;
    char password[127];
    uint8_t reserved[6];
};
static_assert(sizeof(MgmtApnReq) == kMgmtMsgSize, "APN request");
static_assert(offsetof(MgmtApnReq, apn) == 4 && offsetof(MgmtApnReq, user) == 155 &&
                  offsetof(MgmtApnReq, password) == 283,
              "APN request offsets");

// A data-call event, as the manager sends it and as the user handler gets it.
struct QL_Data_Call_Event {
    uint8_t profile;
    char iface[16];
    int32_t ip_family;  // 0 IPv4, 1 IPv6
    int32_t state;      // 1 connected
    int32_t reason;
    uint8_t address[64];  // IPv4: first 16 bytes
};
static_assert(sizeof(QL_Data_Call_Event) == kDataCallEventSize, "data-call event");
static_assert(offsetof(QL_Data_Call_Event, iface) == 1 && offsetof(QL_Data_Call_Event, ip_family) == 20 &&
                  offsetof(QL_Data_Call_Event, state) == 24 && offsetof(QL_Data_Call_Event, reason) == 28 &&
                  offsetof(QL_Data_Call_Event, address) == 32,
              "data-call event offsets");
