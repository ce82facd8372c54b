#pragma once
// One libmcm connection for the whole process, shared by up to 17 client
// types (one per MCM service family).
#include <cstdint>

#include <mcm_client.h>

constexpr int kMcmClientTypes = 17;

using QL_MCM_Ind_Handler = void (*)(mcm_client_handle_type h, uint32_t msgId, void* data, uint32_t len);
using QL_MCM_Async_Handler = void (*)(mcm_client_handle_type h, uint32_t msgId, void* data, uint32_t len,
                                      void* token);

// 0 or an error number (4 bad type, 9 service not ready, or libmcm's result).
int QL_MCM_Client_Init(mcm_client_handle_type* out, int clientType, QL_MCM_Ind_Handler ind,
                       QL_MCM_Async_Handler async);
int QL_MCM_Client_Deinit(mcm_client_handle_type handle, int clientType);

// The handlers given to mcm_client_init; they route by message family.
void ql_mcm_async_cb(mcm_client_handle_type h, uint32_t msgId, void* data, uint32_t len, void* token);
void ql_mcm_ind_cb(mcm_client_handle_type h, uint32_t msgId, void* data, uint32_t len);

int ql_mcm_required_service_updown(mcm_client_handle_type h, int up, uint16_t mask);
int ql_mcm_sim_reg_events();
int ql_mcm_sms_reg_events();
int ql_mcm_voice_register_indication();

mcm_client_handle_type ql_mcm_handle();  // 0 without a connection
