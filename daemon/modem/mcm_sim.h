#pragma once
// SIM service wrappers: card status, PINs, ICCID, IMSI, card files,
// personalisation. Results: 0 success, 3 missing part, 4 missing argument,
// 5 buffer too small, 8 out of memory, 52 unsupported feature, else the
// answer's error number or libmcm's result.
#include <mcm_client.h>

#include <cstdint>

#include "modem/mcm_msgs.h"

using sim_client_handle_type = mcm_client_handle_type;
using QL_MCM_SIM_CardStatus = McmSimCardStatus;
using QL_MCM_SIM_AppRecord = McmSimAppRecord;
using QL_MCM_SIM_PinRecord = McmSimPinRecord;
using QL_MCM_SIM_ChangePinRecord = McmSimChangePinRecord;
using QL_MCM_SIM_FileId = McmSimFileId;
using QL_MCM_SIM_FileRecord = McmSimFileRecord;
using QL_MCM_SIM_WriteRecord = McmSimWriteFileRequest;
using QL_MCM_SIM_DepersoRecord = McmSimDepersoRecord;
using QL_MCM_SIM_PersoRecord = McmSimPersoRecord;

struct QL_MCM_SIM_PlmnList {
    uint32_t count;
    uint8_t entries[kMcmSimMaxPlmn][12];
};
struct QL_MCM_SIM_FileData {
    uint32_t length;
    uint8_t data[kMcmSimMaxFileData];
};
struct QL_MCM_SIM_FileSize {
    uint32_t size;
    uint16_t record_size;
    uint16_t record_count;
    uint16_t file_type;
};

// Receives (client handle, event 0xB01 card status / 0xB00 refresh, data or null, user value).
using QL_MCM_SIM_EventHandler = void (*)(sim_client_handle_type h, uint32_t event, void* data, void* user);

int QL_MCM_SIM_Client_Init(sim_client_handle_type* out);
int QL_MCM_SIM_Client_Deinit(sim_client_handle_type h);
int QL_MCM_SIM_AddRxIndMsgHandler(QL_MCM_SIM_EventHandler handler, void* user);

int QL_MCM_SIM_GetIMSI(sim_client_handle_type h, const QL_MCM_SIM_AppRecord* app, char* buf, int bufSize);
int QL_MCM_SIM_GetICCID(sim_client_handle_type h, uint32_t slot, char* buf, int bufSize);
int QL_MCM_SIM_GetPhoneNumber(sim_client_handle_type h, const QL_MCM_SIM_AppRecord* app, char* buf, int bufSize);
int QL_MCM_SIM_GetOperatorPlmnList(sim_client_handle_type h, uint32_t slot, QL_MCM_SIM_PlmnList* out);
int QL_MCM_SIM_ReadFile(sim_client_handle_type h, const QL_MCM_SIM_FileRecord* file, QL_MCM_SIM_FileData* out);
int QL_MCM_SIM_WriteFile(sim_client_handle_type h, const QL_MCM_SIM_WriteRecord* rec);
int QL_MCM_SIM_GetFileSize(sim_client_handle_type h, const QL_MCM_SIM_FileId* file, QL_MCM_SIM_FileSize* out);
int QL_MCM_SIM_VerifyPIN(sim_client_handle_type h, const QL_MCM_SIM_PinRecord* pin);
int QL_MCM_SIM_ChangePin(sim_client_handle_type h, const QL_MCM_SIM_ChangePinRecord* rec);
int QL_MCM_SIM_UnblockPIN(sim_client_handle_type h, const QL_MCM_SIM_ChangePinRecord* rec);
int QL_MCM_SIM_EnablePIN(sim_client_handle_type h, const QL_MCM_SIM_PinRecord* pin);
int QL_MCM_SIM_DisablePIN(sim_client_handle_type h, const QL_MCM_SIM_PinRecord* pin);
int QL_MCM_SIM_GetCardStatus(sim_client_handle_type h, uint32_t slot, QL_MCM_SIM_CardStatus* out);
int QL_MCM_SIM_Depersonalization(sim_client_handle_type h, const QL_MCM_SIM_DepersoRecord* rec);
int QL_MCM_SIM_Personalization(sim_client_handle_type h, const QL_MCM_SIM_PersoRecord* rec);

void sim_async_cb(mcm_client_handle_type h, uint32_t msgId, void* data, uint32_t len, void* token);
void sim_ind_cb(mcm_client_handle_type h, uint32_t msgId, void* data, uint32_t len);
