#pragma once
// Network service wrappers: registration, signal, network time, scan,
// operator name, configuration, selection, low-power mode, cell access.
// Results: 0 success, 4 missing argument, 8 out of memory, else libmcm's
// result (GetRegStatus also fails on the answer's result, returning error).
#include <mcm_client.h>

#include <cstdint>

#include "modem/mcm_nw_msgs.h"

using nw_client_handle_type = mcm_client_handle_type;
using QL_MCM_NW_RegStatus = McmNwRegStatus;
using QL_MCM_NW_Signal = McmNwSignal;
using QL_MCM_NW_NitzTime = McmNwNitz;
using QL_MCM_NW_OperatorName = McmNwOperatorName;
using QL_MCM_NW_Selection = McmNwSelection;

struct QL_MCM_NW_Config {
    uint64_t preferred;
    uint32_t roaming;
};
struct QL_MCM_NW_ScanList {
    uint32_t count;
    McmNwScanEntry entries[kMcmNwMaxScan];
};

// Receives (client handle, event bit, data, data length, user value).
using QL_MCM_NW_EventHandler = void (*)(nw_client_handle_type h, uint32_t eventBit, void* data, uint32_t len,
                                        void* user);

int QL_MCM_NW_Client_Init(nw_client_handle_type* out);
int QL_MCM_NW_Client_Deinit(nw_client_handle_type h);
int QL_MCM_NW_AddRxMsgHandler(nw_client_handle_type h, QL_MCM_NW_EventHandler handler, void* user);

int QL_MCM_NW_SetConfig(nw_client_handle_type h, const QL_MCM_NW_Config* cfg);
int QL_MCM_NW_GetConfig(nw_client_handle_type h, QL_MCM_NW_Config* cfg);
int QL_MCM_NW_GetRegStatus(nw_client_handle_type h, QL_MCM_NW_RegStatus* reg);
int QL_MCM_NW_PerformScan(nw_client_handle_type h, QL_MCM_NW_ScanList* out);
int QL_MCM_NW_GetOperatorName(nw_client_handle_type h, QL_MCM_NW_OperatorName* out);
int QL_MCM_NW_SetLowPowerMode(nw_client_handle_type h, int on);
int QL_MCM_NW_SetSelection(nw_client_handle_type h, const QL_MCM_NW_Selection* sel);
int QL_MCM_NW_GetSignalStrength(nw_client_handle_type h, QL_MCM_NW_Signal* sig);
int QL_MCM_NW_GetCellAccessState(nw_client_handle_type h, uint32_t* state);
int QL_MCM_NW_GetNitzTimeInfo(nw_client_handle_type h, QL_MCM_NW_NitzTime* nitz);
int QL_MCM_NW_EventRegister(nw_client_handle_type h, uint32_t mask);

void nw_async_cb(mcm_client_handle_type h, uint32_t msgId, void* data, uint32_t len, void* token);
void nw_ind_cb(mcm_client_handle_type h, uint32_t msgId, void* data, uint32_t len);
