#pragma once
// Data profiles (APN) of the modem, through the connection manager.
#include <cstdint>

struct QL_APN_Info {
    uint8_t profile;   // 0..24
    int32_t pdp_type;  // 0..3, passed through
    int32_t auth;      // 0..4: none-as-default, none, PAP, CHAP, PAP or CHAP
    char apn[150];
    char user[127];
    char password[127];
};

struct QL_APN_List {
    int32_t count;
    QL_APN_Info records[8];
};

int QL_APN_Set(const QL_APN_Info* info);
int QL_APN_Get(uint8_t profile, QL_APN_Info* out);
int QL_APN_Add(const QL_APN_Info* info, uint8_t* profileOut);
int QL_APN_Del(uint8_t profile);
int QL_APN_Get_Lists(QL_APN_List* list);  // number of records filled
