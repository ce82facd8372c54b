#include "modem/mcm_nw.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "cellular/ql_api_log.h"
#include "cellular/ql_mcm_client.h"

namespace {

constexpr int kNwClientType = 5;
constexpr uint32_t kScanTimeoutMs = 20000;

struct NwEventHandler {
    std::atomic<QL_MCM_NW_EventHandler> fn{nullptr};
    std::atomic<void*> user{nullptr};
};
NwEventHandler gNwHandler;

McmAnswerHeader headerOf(const void* ans) {
    McmAnswerHeader h;
    memcpy(&h, ans, sizeof h);
    return h;
}

// One request whose only failure test is libmcm's result.
int nwRequest(const char* func, int line, mcm_client_handle_type h, uint32_t msg, const void* req, uint32_t reqLen,
              void* ans, uint32_t ansLen, const char* failText) {
    memset(ans, 0, ansLen);
    uint32_t rc = mcm_client_execute_command_sync(h, msg, const_cast<void*>(req), reqLen, ans, ansLen);
    if (rc != 0) {
        McmAnswerHeader hdr = headerOf(ans);
        ql_api_log(func, line, QL_LOG_ERROR, failText, static_cast<int>(rc), hdr.result, hdr.error);
    }
    return static_cast<int>(rc);
}

#define NW_REQ(msg, req, reqLen, ans, ansLen, text) nwRequest(__func__, __LINE__, h, msg, req, reqLen, ans, ansLen, text)

// Copies the families whose validity byte is set; the rest stays as the caller left it.
void copySignal(const McmNwSignal& in, McmNwSignal& out) {
    if (in.gsm_valid) {
        out.gsm_valid = 1;
        out.gsm_rssi = in.gsm_rssi;
    }
    if (in.wcdma_valid) {
        out.wcdma_valid = 1;
        out.wcdma_rssi = in.wcdma_rssi;
        out.wcdma_ecio = in.wcdma_ecio;
    }
    if (in.tdscdma_valid) {
        out.tdscdma_valid = 1;
        out.tdscdma_rssi = in.tdscdma_rssi;
        out.tdscdma_rscp = in.tdscdma_rscp;
        out.tdscdma_ecio = in.tdscdma_ecio;
        out.tdscdma_sinr = in.tdscdma_sinr;
    }
    if (in.lte_valid) {
        out.lte_valid = 1;
        out.lte_rssi = in.lte_rssi;
        out.lte_rsrq = in.lte_rsrq;
        out.lte_rsrp = in.lte_rsrp;
        out.lte_snr = in.lte_snr;
    }
    if (in.cdma_valid) {
        out.cdma_valid = 1;
        out.cdma_rssi = in.cdma_rssi;
        out.cdma_ecio = in.cdma_ecio;
    }
    if (in.hdr_valid) {
        out.hdr_valid = 1;
        out.hdr_rssi = in.hdr_rssi;
        out.hdr_ecio = in.hdr_ecio;
        out.hdr_sinr = in.hdr_sinr;
        out.hdr_io = in.hdr_io;
    }
}

template <class Part>
void copyPart(const Part& in, Part& out) {
    if (!in.valid) return;
    out = in;
    out.valid = 1;
}

}  // namespace

int QL_MCM_NW_Client_Init(nw_client_handle_type* out) {
    QL_LOG(QL_LOG_TRACE, "enter");
    int ret = QL_MCM_Client_Init(out, kNwClientType, nw_ind_cb, nw_async_cb);
    QL_LOG(QL_LOG_TRACE, "exit, ret=%d", ret);
    return ret;
}

int QL_MCM_NW_Client_Deinit(nw_client_handle_type h) {
    QL_LOG(QL_LOG_TRACE, "enter");
    int ret = QL_MCM_Client_Deinit(h, kNwClientType);
    QL_LOG(QL_LOG_TRACE, "exit, ret=%d", ret);
    return ret;
}

int QL_MCM_NW_AddRxMsgHandler(nw_client_handle_type, QL_MCM_NW_EventHandler handler, void* user) {
    gNwHandler.user.store(user);
    gNwHandler.fn.store(handler);
    return 0;
}

int QL_MCM_NW_SetConfig(nw_client_handle_type h, const QL_MCM_NW_Config* cfg) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (cfg == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param, pt_info is null");
        return 4;
    }
    McmNwConfigRequest req;
    memset(&req, 0, sizeof req);
    req.pref_valid = 1;
    req.preferred = cfg->preferred;
    req.roaming_valid = 1;
    req.roaming = cfg->roaming;
    McmAnswerHeader ans;
    int ret = NW_REQ(MCM_NW_SET_CONFIG, &req, sizeof req, &ans, sizeof ans,
                     "Failed to set config, ret_val=%d, resp_code= %d, error_code=%d");
    QL_LOG(QL_LOG_TRACE, "exit");
    return ret;
}

int QL_MCM_NW_GetConfig(nw_client_handle_type h, QL_MCM_NW_Config* cfg) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (cfg == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param, pt_info is null");
        return 4;
    }
    uint8_t req = 0;
    McmNwConfigAnswer ans;
    int ret = NW_REQ(MCM_NW_GET_CONFIG, &req, 1, &ans, sizeof ans,
                     "Failed to get config, ret_val=%d, resp_code= %d, error_code=%d");
    if (ret == 0) {
        cfg->preferred = ans.pref_valid ? ans.preferred : 0;
        if (ans.roaming_valid) cfg->roaming = ans.roaming;
    }
    QL_LOG(QL_LOG_TRACE, "exit");
    return ret;
}

int QL_MCM_NW_GetRegStatus(nw_client_handle_type h, QL_MCM_NW_RegStatus* reg) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (reg == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param, pt_info is null");
        return 4;
    }
    std::unique_ptr<McmNwRegStatusAnswer> ans(new (std::nothrow) McmNwRegStatusAnswer);
    if (!ans) {
        QL_LOG(QL_LOG_ERROR, "Failed to malloc");
        return 8;
    }
    uint8_t req = 0;
    int ret = NW_REQ(MCM_NW_GET_REG_STATUS, &req, 1, ans.get(), sizeof *ans,
                     "Failed to get reg status, ret_val=%d, resp_code= %d, error_code=%d");
    if (ret == 0 && ans->hdr.result != 0) {
        QL_LOG(QL_LOG_ERROR, "Failed to get reg status, ret_val=%d, resp_code= %d, error_code=%d", ret,
               ans->hdr.result, ans->hdr.error);
        // A failed answer must not read as success.
        ret = ans->hdr.error != 0 ? ans->hdr.error : ans->hdr.result;
    }
    if (ret == 0) {
        const McmNwRegStatus& in = ans->reg;
        copyPart(in.voice, reg->voice);
        copyPart(in.data, reg->data);
        copyPart(in.voice_3gpp, reg->voice_3gpp);
        copyPart(in.data_3gpp, reg->data_3gpp);
        copyPart(in.voice_3gpp2, reg->voice_3gpp2);
        copyPart(in.data_3gpp2, reg->data_3gpp2);
    }
    QL_LOG(QL_LOG_TRACE, "exit");
    return ret;
}

int QL_MCM_NW_PerformScan(nw_client_handle_type h, QL_MCM_NW_ScanList* out) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (out == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param, pt_info is null");
        return 4;
    }
    std::unique_ptr<McmNwScanAnswer> ans(new (std::nothrow) McmNwScanAnswer);
    if (!ans) {
        QL_LOG(QL_LOG_ERROR, "Failed to malloc");
        return 8;
    }
    memset(ans.get(), 0, sizeof *ans);
    uint8_t req = 0;
    // A scan takes long: the only request with a time-out of its own.
    uint32_t rc = mcm_client_execute_command_sync_ex(h, MCM_NW_SCAN, &req, 1, ans.get(), sizeof *ans, kScanTimeoutMs);
    int ret = static_cast<int>(rc);
    if (rc != 0) {
        QL_LOG(QL_LOG_ERROR, "Failed to NW scan, ret_val=%d, resp_code= %d, error_code=%d\n", ret, ans->hdr.result,
               ans->hdr.error);
    } else if (ans->valid) {
        uint32_t n = ans->count < kMcmNwMaxScan ? ans->count : kMcmNwMaxScan;  // bounded by the answer
        out->count = n;
        memcpy(out->entries, ans->entries, n * sizeof(McmNwScanEntry));
    }
    QL_LOG(QL_LOG_TRACE, "exit");
    return ret;
}

int QL_MCM_NW_GetOperatorName(nw_client_handle_type h, QL_MCM_NW_OperatorName* out) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (out == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param, pt_info is null");
        return 4;
    }
    memset(out, 0, sizeof *out);
    uint8_t req = 0;
    std::unique_ptr<McmNwOperatorNameAnswer> ans(new (std::nothrow) McmNwOperatorNameAnswer);
    if (!ans) {
        QL_LOG(QL_LOG_ERROR, "Failed to malloc");
        return 8;
    }
    int ret = NW_REQ(MCM_NW_GET_OPERATOR_NAME, &req, 1, ans.get(), sizeof *ans,
                     "Failed to get operator name, ret_val=%d, resp_code= %d, error_code=%d");
    if (ret == 0 && ans->valid) {
        memcpy(out->long_name, ans->long_name, strnlen(ans->long_name, 512));
        memcpy(out->short_name, ans->short_name, strnlen(ans->short_name, 512));
        out->mcc = ans->mcc;
        out->mcc_digits = ans->mcc_digits;
        out->mnc = ans->mnc;
        out->mnc_digits = ans->mnc_digits;
    }
    QL_LOG(QL_LOG_TRACE, "exit");
    return ret;
}

int QL_MCM_NW_SetLowPowerMode(nw_client_handle_type h, int on) {
    QL_LOG(QL_LOG_TRACE, "enter, low_power_mode_on=%d", on);
    uint8_t req = on != 0 ? 1 : 0;
    McmAnswerHeader ans;
    int ret = NW_REQ(MCM_NW_SET_LOW_POWER, &req, 1, &ans, sizeof ans,
                     "Failed to set screenoff, ret_val=%d, resp_code= %d, error_code=%d\n");
    QL_LOG(QL_LOG_TRACE, "exit");
    return ret;
}

int QL_MCM_NW_SetSelection(nw_client_handle_type h, const QL_MCM_NW_Selection* sel) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (sel == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param, pt_info is null");
        return 4;
    }
    McmAnswerHeader ans;
    int ret = NW_REQ(MCM_NW_SET_SELECTION, sel, sizeof *sel, &ans, sizeof ans,
                     "Failed to set selection, ret_val=%d, resp_code= %d, error_code=%d\n");
    QL_LOG(QL_LOG_TRACE, "exit");
    return ret;
}

int QL_MCM_NW_GetSignalStrength(nw_client_handle_type h, QL_MCM_NW_Signal* sig) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (sig == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param, pt_info is null");
        return 4;
    }
    uint8_t req = 0;
    McmNwSignalAnswer ans;
    int ret = NW_REQ(MCM_NW_GET_SIGNAL_STRENGTH, &req, 1, &ans, sizeof ans,
                     "Failed to get signal strength, ret_val=%d, resp_code= %d, error_code=%d");
    if (ret == 0) copySignal(ans.sig, *sig);
    QL_LOG(QL_LOG_TRACE, "exit");
    return ret;
}

int QL_MCM_NW_GetCellAccessState(nw_client_handle_type h, uint32_t* state) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (state == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param, pe_state is null");
        return 4;
    }
    uint8_t req = 0;
    McmNwCellAccessAnswer ans;
    int ret = NW_REQ(MCM_NW_GET_CELL_ACCESS_STATE, &req, 1, &ans, sizeof ans,
                     "Failed to get cell access state, ret_val=%d, resp_code= %d, error_code=%d\n");
    if (ret == 0) *state = ans.valid ? ans.state : 0;
    QL_LOG(QL_LOG_TRACE, "exit");
    return ret;
}

int QL_MCM_NW_GetNitzTimeInfo(nw_client_handle_type h, QL_MCM_NW_NitzTime* nitz) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (nitz == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param, pt_info is null");
        return 4;
    }
    uint8_t req = 0;
    McmNwNitzAnswer ans;
    int ret = NW_REQ(MCM_NW_GET_NITZ_TIME_INFO, &req, 1, &ans, sizeof ans,
                     "Failed to get NITZ time, ret_val=%d, resp_code= %d, error_code=%d");
    if (ret == 0) {
        if (ans.time_valid == 1) memcpy(nitz->time, ans.time, sizeof nitz->time);
        if (ans.abs_valid == 1) nitz->abs_time = ans.abs_time;
        if (ans.leap_valid == 1) nitz->leap_sec = ans.leap_sec;
    }
    QL_LOG(QL_LOG_TRACE, "exit");
    return ret;
}

int QL_MCM_NW_EventRegister(nw_client_handle_type h, uint32_t mask) {
    QL_LOG(QL_LOG_TRACE, "enter, bitmask=%08X", mask);
    McmNwEventRegisterRequest req;
    for (int n = 0; n < 5; ++n) {
        req.pairs[n][0] = 1;
        req.pairs[n][1] = (mask >> n) & 1;
    }
    McmAnswerHeader ans;
    memset(&ans, 0, sizeof ans);
    uint32_t rc = mcm_client_execute_command_sync(h, MCM_NW_EVENT_REGISTER, &req, sizeof req, &ans, sizeof ans);
    if (rc != 0)
        QL_LOG(QL_LOG_TRACE, "Failed to register events, ret_val=%d, resp_code= %d, error_code=%d\n",
               static_cast<int>(rc), ans.result, ans.error);
    QL_LOG(QL_LOG_TRACE, "exit");
    return static_cast<int>(rc);
}

void nw_async_cb(mcm_client_handle_type, uint32_t msgId, void*, uint32_t, void*) {
    QL_LOG(QL_LOG_WARN, "Recv async cb, msg_id=%08X", msgId);
}

void nw_ind_cb(mcm_client_handle_type h, uint32_t msgId, void* data, uint32_t len) {
    QL_LOG(QL_LOG_TRACE, "Recv ind, msg_id=%08X", msgId);
    QL_MCM_NW_EventHandler fn = gNwHandler.fn.load();
    if (fn == nullptr || data == nullptr) return;
    void* user = gNwHandler.user.load();
    // Records are built from what arrived; a short indication fills only its part.
    auto take = [&](void* dst, size_t n) { memcpy(dst, data, len < n ? len : n); };
    switch (msgId) {
    case MCM_NW_VOICE_REG_IND:
    case MCM_NW_DATA_REG_IND: {
        std::unique_ptr<uint8_t[]> rec(new (std::nothrow) uint8_t[100]());
        if (!rec) {
            QL_LOG(7, "Failed to malloc");
            return;
        }
        take(rec.get(), 100);
        fn(h, msgId == MCM_NW_VOICE_REG_IND ? 1 : 2, rec.get(), 100, user);
        break;
    }
    case MCM_NW_SIGNAL_IND: {
        McmNwSignalAnswer in;
        memset(&in, 0, sizeof in);
        take(&in, sizeof in);
        McmNwSignal out;
        memset(&out, 0, sizeof out);
        copySignal(in.sig, out);
        fn(h, 4, &out, sizeof out, user);
        break;
    }
    case MCM_NW_CELL_ACCESS_IND: {
        uint8_t v[4] = {};
        take(v, 4);
        fn(h, 8, v, 4, user);
        break;
    }
    case MCM_NW_NITZ_IND: {
        uint8_t rec[48] = {};
        take(rec, 48);
        fn(h, 16, rec, 48, user);
        break;
    }
    default: break;
    }
}
