#include "modem/mcm_dm.h"

#include <atomic>
#include <cstring>

#include "cellular/ql_api_log.h"
#include "cellular/ql_mcm_client.h"

namespace {
constexpr int kDmClientType = 2;

struct DmEventHandler {
    std::atomic<QL_MCM_DM_EventHandler> fn{nullptr};
    std::atomic<void*> user{nullptr};
};
DmEventHandler gDmHandler;
}  // namespace

void mcmDmSetEventHandler(QL_MCM_DM_EventHandler handler, void* user) {
    gDmHandler.user.store(user);
    gDmHandler.fn.store(handler);
}

int QL_MCM_DM_Client_Init(dm_client_handle_type* out) {
    QL_LOG(QL_LOG_TRACE, "enter");
    int ret = QL_MCM_Client_Init(out, kDmClientType, mcm_dm_ind_cb, mcm_dm_async_cb);
    QL_LOG(QL_LOG_TRACE, "exit, ret=%d", ret);
    return ret;
}

int QL_MCM_DM_Client_Deinit(dm_client_handle_type h) {
    QL_LOG(QL_LOG_TRACE, "enter");
    int ret = QL_MCM_Client_Deinit(h, kDmClientType);
    QL_LOG(QL_LOG_TRACE, "exit, ret=%d", ret);
    return ret;
}

int QL_MCM_DM_GetSerialNumbers(dm_client_handle_type h, QL_MCM_DM_SerialNumbers* sn) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (sn == nullptr || h == 0) {
        QL_LOG(QL_LOG_ERROR, "Parameter invalid.\th_dm:%d,  serial_numbers:%p", static_cast<int>(h),
               static_cast<void*>(sn));
        return -1;
    }
    uint8_t req = 0;
    McmDmSerialNumbersAnswer ans;
    memset(&ans, 0, sizeof ans);
    uint32_t rc = mcm_client_execute_command_sync(h, MCM_DM_GET_SERIAL_NUMBERS, &req, 1, &ans, sizeof ans);
    if (rc != 0 || ans.hdr.result != 0) {
        QL_LOG(QL_LOG_ERROR, "Failed to get device sn, rc=%d, error=%d", static_cast<int>(rc), ans.hdr.error);
        return -19;
    }
    if (ans.sn.imei_valid) {
        sn->imei_valid = 1;
        memcpy(sn->imei, ans.sn.imei, sizeof sn->imei);
    }
    if (ans.sn.meid_valid) {
        sn->meid_valid = 1;
        memcpy(sn->meid, ans.sn.meid, sizeof sn->meid);
    }
    QL_LOG(QL_LOG_TRACE, "exit");
    return 0;
}

int QL_MCM_DM_GetFirmware(dm_client_handle_type h, char* revision) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (revision == nullptr || h == 0) {
        QL_LOG(QL_LOG_ERROR, "Parameter invalid. h_dm:%d,  hardware_rev:%p", static_cast<int>(h),
               static_cast<void*>(revision));
        return -1;
    }
    uint8_t req = 0;
    McmDmRevisionAnswer ans;
    memset(&ans, 0, sizeof ans);
    uint32_t rc = mcm_client_execute_command_sync(h, MCM_DM_GET_DEVICE_REV_ID, &req, 1, &ans, sizeof ans);
    if (rc != 0 || ans.hdr.result != 0) {
        QL_LOG(QL_LOG_ERROR, "Failed to get device revid, rc=%d, error=%d", static_cast<int>(rc), ans.hdr.error);
        return -19;
    }
    memcpy(revision, ans.revision, sizeof ans.revision);
    QL_LOG(QL_LOG_TRACE, "exit");
    return 0;
}

int QL_MCM_DM_GetAirplaneMode(dm_client_handle_type h, int32_t* mode) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (mode == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return 4;
    }
    uint8_t req = 0;
    McmDmRadioModeAnswer ans;
    memset(&ans, 0, sizeof ans);
    uint32_t rc = mcm_client_execute_command_sync(h, MCM_DM_GET_RADIO_MODE, &req, 1, &ans, sizeof ans);
    if (rc != 0 && ans.hdr.result == 0) {
        QL_LOG(QL_LOG_ERROR, "Failed to get radio mode, ret_val=%d, resp_code= %d, error_code=%d",
               static_cast<int>(rc), ans.hdr.result, ans.hdr.error);
        return static_cast<int>(rc);
    }
    if (ans.mode_valid == 1) {
        *mode = ans.mode;
    } else {
        QL_LOG(QL_LOG_ERROR, "Failed to get radio mode");
        *mode = 3;
    }
    QL_LOG(QL_LOG_TRACE, "exit, ret=%d", static_cast<int>(rc));
    return static_cast<int>(rc);
}

int QL_MCM_DM_SetAirplaneMode(dm_client_handle_type h, int32_t mode) {
    QL_LOG(QL_LOG_TRACE, "enter, e_airplane_mode=%d", mode);
    McmDmSetRadioModeRequest req{mode};
    McmDmSetRadioModeAnswer ans;
    memset(&ans, 0, sizeof ans);
    uint32_t rc = mcm_client_execute_command_sync(h, MCM_DM_SET_RADIO_MODE, &req, sizeof req, &ans, sizeof ans);
    if (rc != 0 || ans.hdr.result != 0)
        QL_LOG(QL_LOG_ERROR, "Failed to set radio mode, ret_val=%d, resp_code= %d, error_code=%d",
               static_cast<int>(rc), ans.hdr.result, ans.hdr.error);
    QL_LOG(QL_LOG_TRACE, "exit, ret=%d", static_cast<int>(rc));
    return static_cast<int>(rc);
}

int QL_MCM_DM_SetAirplaneModeChgInd(dm_client_handle_type h, int onoff) {
    QL_LOG(QL_LOG_TRACE, "enter, ind_onoff=%d", onoff);
    McmDmEventRegisterRequest req{1, static_cast<uint8_t>(onoff != 0 ? 1 : 0)};
    McmAnswerHeader ans;
    memset(&ans, 0, sizeof ans);
    uint32_t rc = mcm_client_execute_command_sync(h, MCM_DM_EVENT_REGISTER, &req, sizeof req, &ans, sizeof ans);
    if (rc != 0 || ans.result != 0)
        QL_LOG(QL_LOG_ERROR, "Failed to register event, ret_val=%d, resp_code= %d, error_code=%d",
               static_cast<int>(rc), ans.result, ans.error);
    QL_LOG(QL_LOG_TRACE, "exit, ret=%d", static_cast<int>(rc));
    return static_cast<int>(rc);
}

void mcm_dm_async_cb(mcm_client_handle_type h, uint32_t msgId, void* /*data*/, uint32_t /*len*/, void* token) {
    QL_LOG(QL_LOG_TRACE, "Recv async cb, h_dm=%d  msg_id=0%08X, token_id=%d", static_cast<int>(h), msgId,
           static_cast<int>(reinterpret_cast<intptr_t>(token)));
}

void mcm_dm_ind_cb(mcm_client_handle_type h, uint32_t msgId, void* data, uint32_t len) {
    QL_LOG(QL_LOG_TRACE, "Recv ind cb, msg_id=%08X", msgId);
    if (msgId == MCM_UIM_SERVICE_DOWN_IND) {
        QL_LOG(QL_LOG_WARN, "===== UIM Service DOWN ! =========");
    } else if (msgId == MCM_UIM_SERVICE_UP_IND) {
        QL_LOG(QL_LOG_WARN, "===== UIM Service UP ! =========");
    } else if (msgId == MCM_DM_RADIO_MODE_CHANGED_IND) {
        // A short indication from the service must not be read past its end.
        if (data == nullptr || len < sizeof(McmDmRadioModeInd)) return;
        McmDmRadioModeInd ind;
        memcpy(&ind, data, sizeof ind);
        if (!ind.mode_valid) return;
        QL_LOG(QL_LOG_WARN, "Radio mode changed to %d", ind.mode);
        QL_MCM_DM_EventHandler fn = gDmHandler.fn.load();
        if (fn) fn(h, 0, &ind.mode, gDmHandler.user.load());
    }
}
