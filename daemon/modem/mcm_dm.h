#pragma once
// Device-management wrappers: serial numbers, firmware revision, radio mode.
#include <mcm_client.h>

#include <cstdint>

#include "modem/mcm_msgs.h"

using dm_client_handle_type = mcm_client_handle_type;
using QL_MCM_DM_SerialNumbers = McmDmSerialNumbers;

// Called with the client handle, event 0 and a pointer to the new radio mode.
using QL_MCM_DM_EventHandler = void (*)(dm_client_handle_type h, int event, void* data, void* user);

int QL_MCM_DM_Client_Init(dm_client_handle_type* out);
int QL_MCM_DM_Client_Deinit(dm_client_handle_type h);
int QL_MCM_DM_GetSerialNumbers(dm_client_handle_type h, QL_MCM_DM_SerialNumbers* sn);
int QL_MCM_DM_GetFirmware(dm_client_handle_type h, char* revision /* 257 bytes */);
int QL_MCM_DM_GetAirplaneMode(dm_client_handle_type h, int32_t* mode);
int QL_MCM_DM_SetAirplaneMode(dm_client_handle_type h, int32_t mode);
int QL_MCM_DM_SetAirplaneModeChgInd(dm_client_handle_type h, int onoff);

void mcm_dm_async_cb(mcm_client_handle_type h, uint32_t msgId, void* data, uint32_t len, void* token);
void mcm_dm_ind_cb(mcm_client_handle_type h, uint32_t msgId, void* data, uint32_t len);

// Test seam: nothing in the daemon registers a DM event handler.
void mcmDmSetEventHandler(QL_MCM_DM_EventHandler handler, void* user);
