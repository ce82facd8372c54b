#pragma once
// The data call on the connection manager, and the daemon's use of it.
#include <cstdint>

#include "cellular/mgmt_msgs.h"

// The caller's start record.
struct QL_Data_Call_Start_Info {
    uint8_t profile;    // 0..24
    uint8_t second;     // passed through unchanged (the daemon sets 1)
    int32_t ip_family;  // 0..2
    char user[127];
    char password[127];
};

// Call information as the manager reports it; the daemon reads `state`.
using QL_Data_Call_Info = MgmtDataCallInfo;

using QL_Data_Call_Handler = void (*)(const QL_Data_Call_Event* event);

int QL_Data_Call_Init_Precondition();
int QL_Data_Call_Init(QL_Data_Call_Handler handler);
int QL_Data_Call_Destroy();
int QL_Data_Call_Start(const QL_Data_Call_Start_Info* info, int* error);
int QL_Data_Call_Stop(uint8_t profile, int ip_family, int* error);
int QL_Data_Call_Info_Get(uint8_t profile, int ip_family, QL_Data_Call_Info* info, int* error);
int QL_Data_Call_Set_Default_Profile(const uint8_t* profile);
int QL_Data_Call_Get_Default_Profile(uint8_t* profile);

// Opens the data call on profile 3: 0 opened or already up, -1 no manager.
int dataCallOpen();
void dataCallEvent(const QL_Data_Call_Event* event);
// While dataConnected is 1, asks the manager whether the call still exists:
// an event can be lost and a restarted manager sends none, so a call it no
// longer knows (or a manager that cannot answer) counts as dropped and
// clears dataConnected. 0 while the call is up.
int dataCallCheck();
