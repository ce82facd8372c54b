#include "modem/mcm_sim.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>

#include "cellular/ql_api_log.h"
#include "cellular/ql_mcm_client.h"

namespace {

constexpr int kSimClientType = 11;
enum Test { kTestResult, kTestError };

struct SimEventHandler {
    std::atomic<QL_MCM_SIM_EventHandler> fn{nullptr};
    std::atomic<void*> user{nullptr};
};
SimEventHandler gSimHandler;

// One request: 0 when the answer passed the member's failure test, else the
// member's error number (the answer's error when non-zero, else libmcm's result).
int simRequest(const char* func, int line, mcm_client_handle_type h, uint32_t msg, const void* req, uint32_t reqLen,
               void* ans, uint32_t ansLen, Test test, const char* failText) {
    memset(ans, 0, ansLen);
    uint32_t rc = mcm_client_execute_command_sync(h, msg, const_cast<void*>(req), reqLen, ans, ansLen);
    McmAnswerHeader hdr;
    memcpy(&hdr, ans, sizeof hdr);
    bool failed = rc != 0 || (test == kTestResult ? hdr.result != 0 : hdr.error != 0);
    if (!failed) return 0;
    ql_api_log(func, line, QL_LOG_ERROR, failText, static_cast<int>(rc), hdr.result, hdr.error);
    int ret = hdr.error != 0 ? hdr.error : static_cast<int>(rc);
    // A failed answer must never read as success.
    return ret != 0 ? ret : hdr.result;
}

// Copies a text part when the buffer has room for it and its terminator.
template <size_t N>
int copyTextPart(const char* func, int line, const McmSimTextAnswer<N>& a, char* buf, int bufSize,
                 const char* missing) {
    if (!a.valid) {
        ql_api_log(func, line, QL_LOG_ERROR, "%s", missing);
        return 3;
    }
    // The length comes from the service: never past the answer's text.
    uint32_t len = a.length < N ? a.length : static_cast<uint32_t>(N);
    if (static_cast<uint32_t>(bufSize) > len) {
        memcpy(buf, a.text, len);
        return 0;
    }
    ql_api_log(func, line, QL_LOG_ERROR, "Error ocurred, Buffer not enough");
    return 5;
}

#define SIM_REQ(msg, req, reqLen, ans, ansLen, test, text) \
    simRequest(__func__, __LINE__, h, msg, req, reqLen, ans, ansLen, test, text)

int statusOnly(const char* func, int line, mcm_client_handle_type h, uint32_t msg, const void* req, uint32_t reqLen,
               Test test, const char* failText) {
    ql_api_log(func, line, QL_LOG_TRACE, "enter");
    if (req == nullptr) {
        ql_api_log(func, line, QL_LOG_ERROR, "Invalid param");
        return 4;
    }
    McmSimStatusAnswer a;
    int ret = simRequest(func, line, h, msg, req, reqLen, &a, sizeof a, test, failText);
    ql_api_log(func, line, QL_LOG_TRACE, "exit, ret=%d", ret);
    return ret;
}

// Item limits per personalisation feature (0xB01..0xB08).
struct PersoLimit {
    uint32_t feature;
    uint32_t maxItems;
    uint32_t itemSize;
};
constexpr PersoLimit kPersoLimits[] = {
    {0xB01, 85, 12}, {0xB02, 64, 16}, {0xB03, 64, 16}, {0xB04, 51, 16},
    {0xB05, 32, 28}, {0xB06, 85, 12}, {0xB07, 128, 4}, {0xB08, 32, 28},
};

}  // namespace

int QL_MCM_SIM_Client_Init(sim_client_handle_type* out) {
    QL_LOG(QL_LOG_TRACE, "enter");
    int ret = QL_MCM_Client_Init(out, kSimClientType, sim_ind_cb, sim_async_cb);
    QL_LOG(QL_LOG_TRACE, "exit, ret=%d", ret);
    return ret;
}

int QL_MCM_SIM_Client_Deinit(sim_client_handle_type h) {
    QL_LOG(QL_LOG_TRACE, "enter");
    int ret = QL_MCM_Client_Deinit(h, kSimClientType);
    QL_LOG(QL_LOG_TRACE, "exit, ret=%d", ret);
    return ret;
}

int QL_MCM_SIM_AddRxIndMsgHandler(QL_MCM_SIM_EventHandler handler, void* user) {
    QL_LOG(QL_LOG_TRACE, "enter");
    gSimHandler.user.store(user);
    gSimHandler.fn.store(handler);
    int ret = ql_mcm_sim_reg_events();
    QL_LOG(QL_LOG_TRACE, "exit, ret=%d", ret);
    return ret;
}

int QL_MCM_SIM_GetIMSI(sim_client_handle_type h, const QL_MCM_SIM_AppRecord* app, char* buf, int bufSize) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (app == nullptr || buf == nullptr || bufSize <= 0) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return 4;
    }
    McmSimImsiAnswer a;
    int ret = SIM_REQ(MCM_SIM_GET_IMSI, app, sizeof *app, &a, sizeof a, kTestResult,
                      "Failed to get sim subscriber, ret_val=%d, resp_code= %d, error_code=%d");
    if (ret != 0) return ret;
    return copyTextPart(__func__, __LINE__, a, buf, bufSize, "Cannot get IMSI");
}

int QL_MCM_SIM_GetICCID(sim_client_handle_type h, uint32_t slot, char* buf, int bufSize) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (buf == nullptr || bufSize <= 0) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return 4;
    }
    McmSimIccidAnswer a;
    int ret = SIM_REQ(MCM_SIM_GET_ICCID, &slot, sizeof slot, &a, sizeof a, kTestResult,
                      "Failed to get card id, ret_val=%d, resp_code= %d, error_code=%d\n");
    if (ret == 0) ret = copyTextPart(__func__, __LINE__, a, buf, bufSize, "Cannot get ICCID");
    QL_LOG(QL_LOG_TRACE, "exit, ret=%d", ret);
    return ret;
}

int QL_MCM_SIM_GetPhoneNumber(sim_client_handle_type h, const QL_MCM_SIM_AppRecord* app, char* buf, int bufSize) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (app == nullptr || buf == nullptr || bufSize <= 0) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return 4;
    }
    McmSimPhoneAnswer a;
    int ret = SIM_REQ(MCM_SIM_GET_PHONE_NUMBER, app, sizeof *app, &a, sizeof a, kTestError,
                      "Failed to get device phone number , ret_val=%d, resp_code= %d, error_code=%d");
    if (ret != 0) return ret;
    return copyTextPart(__func__, __LINE__, a, buf, bufSize, "Cannot get phone number");
}

int QL_MCM_SIM_GetOperatorPlmnList(sim_client_handle_type h, uint32_t slot, QL_MCM_SIM_PlmnList* out) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (out == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return 4;
    }
    McmSimPlmnListAnswer a;
    int ret = SIM_REQ(MCM_SIM_GET_OPERATOR_PLMN_LIST, &slot, sizeof slot, &a, sizeof a, kTestError,
                      "Failed to get pref operator list, ret_val=%d, resp_code= %d, error_code=%d");
    if (ret == 0 && !a.valid) {
        QL_LOG(QL_LOG_ERROR, "Cannot get operator list !\n");
        ret = 3;
    }
    if (ret == 0) {
        uint32_t n = a.count < static_cast<uint32_t>(kMcmSimMaxPlmn) ? a.count : kMcmSimMaxPlmn;
        out->count = n;
        memcpy(out->entries, a.entries, n * 12);
    }
    QL_LOG(QL_LOG_TRACE, "exit, ret=%d", ret);
    return ret;
}

int QL_MCM_SIM_ReadFile(sim_client_handle_type h, const QL_MCM_SIM_FileRecord* file, QL_MCM_SIM_FileData* out) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (file == nullptr || out == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return 4;
    }
    std::unique_ptr<McmSimReadFileAnswer> a(new (std::nothrow) McmSimReadFileAnswer);
    if (!a) {
        QL_LOG(QL_LOG_ERROR, "Failed to malloc");
        return 8;
    }
    int ret = SIM_REQ(MCM_SIM_READ_FILE, file, sizeof *file, a.get(), sizeof *a, kTestError,
                      "Failed to read file, ret_val=%d, resp_code= %d, error_code=%d");
    if (ret == 0 && (!a->valid || a->length > kMcmSimMaxFileData)) {
        QL_LOG(QL_LOG_ERROR, "Read file data error !");
        ret = 3;
    }
    if (ret == 0) {
        out->length = a->length;
        memcpy(out->data, a->data, a->length);
    }
    QL_LOG(QL_LOG_TRACE, "exit, ret=%d", ret);
    return ret;
}

int QL_MCM_SIM_WriteFile(sim_client_handle_type h, const QL_MCM_SIM_WriteRecord* rec) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (rec == nullptr || rec->length > kMcmSimMaxFileData) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return 4;
    }
    std::unique_ptr<McmSimWriteFileRequest> req(new (std::nothrow) McmSimWriteFileRequest);
    if (!req) {
        QL_LOG(QL_LOG_ERROR, "Failed to malloc");
        return 8;
    }
    memcpy(req.get(), rec, sizeof *req);
    McmSimStatusAnswer a;
    int ret = SIM_REQ(MCM_SIM_WRITE_FILE, req.get(), sizeof *req, &a, sizeof a, kTestError,
                      "Failed to write file, ret_val=%d, resp_code= %d, error_code=%d");
    QL_LOG(QL_LOG_TRACE, "exit, ret=%d", ret);
    return ret;
}

int QL_MCM_SIM_GetFileSize(sim_client_handle_type h, const QL_MCM_SIM_FileId* file, QL_MCM_SIM_FileSize* out) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (file == nullptr || out == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return 4;
    }
    McmSimFileSizeAnswer a;
    int ret = SIM_REQ(MCM_SIM_GET_FILE_SIZE, file, sizeof *file, &a, sizeof a, kTestError,
                      "Failed to get file size, ret_val=%d, resp_code= %d, error_code=%d");
    if (ret == 0 && !a.valid) {
        QL_LOG(QL_LOG_ERROR, "Cannot get file info");
        ret = 3;
    }
    if (ret == 0) {
        out->size = a.size;
        out->record_size = a.record_size;
        out->record_count = a.record_count;
        out->file_type = a.file_type;
    }
    QL_LOG(QL_LOG_TRACE, "exit, ret=%d", ret);
    return ret;
}

int QL_MCM_SIM_VerifyPIN(sim_client_handle_type h, const QL_MCM_SIM_PinRecord* pin) {
    if (pin && pin->pin_len > 8) pin = nullptr;  // a PIN has at most 8 digits
    return statusOnly(__func__, __LINE__, h, MCM_SIM_VERIFY_PIN, pin, sizeof *pin, kTestResult,
                      "Failed to verify pin, ret_val=%d, resp_code= %d, error_code=%d");
}

int QL_MCM_SIM_ChangePin(sim_client_handle_type h, const QL_MCM_SIM_ChangePinRecord* rec) {
    if (rec && (rec->old_len > 8 || rec->new_len > 8)) rec = nullptr;
    return statusOnly(__func__, __LINE__, h, MCM_SIM_CHANGE_PIN, rec, sizeof *rec, kTestResult,
                      "Failed to change pin, ret_val=%d, resp_code= %d, error_code=%d");
}

int QL_MCM_SIM_UnblockPIN(sim_client_handle_type h, const QL_MCM_SIM_ChangePinRecord* rec) {
    if (rec && (rec->old_len > 8 || rec->new_len > 8)) rec = nullptr;
    return statusOnly(__func__, __LINE__, h, MCM_SIM_UNBLOCK_PIN, rec, sizeof *rec, kTestResult,
                      "Failed to unblock pin, ret_val=%d, resp_code= %d, error_code=%d");
}

int QL_MCM_SIM_EnablePIN(sim_client_handle_type h, const QL_MCM_SIM_PinRecord* pin) {
    if (pin && pin->pin_len > 8) pin = nullptr;
    return statusOnly(__func__, __LINE__, h, MCM_SIM_ENABLE_PIN, pin, sizeof *pin, kTestResult,
                      "Failed to enable pin, ret_val=%d, resp_code= %d, error_code=%d");
}

int QL_MCM_SIM_DisablePIN(sim_client_handle_type h, const QL_MCM_SIM_PinRecord* pin) {
    if (pin && pin->pin_len > 8) pin = nullptr;
    return statusOnly(__func__, __LINE__, h, MCM_SIM_DISABLE_PIN, pin, sizeof *pin, kTestError,
                      "Failed to disable pin, ret_val=%d, resp_code= %d, error_code=%d");
}

int QL_MCM_SIM_GetCardStatus(sim_client_handle_type h, uint32_t slot, QL_MCM_SIM_CardStatus* out) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (out == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return 4;
    }
    McmSimCardStatusAnswer a;
    int ret = SIM_REQ(MCM_SIM_GET_CARD_STATUS, &slot, sizeof slot, &a, sizeof a, kTestError,
                      "Failed to get card status, ret_val=%d, resp_code= %d, error_code=%d");
    if (ret == 0 && !a.valid) {
        QL_LOG(QL_LOG_ERROR, "Cannot get card info");
        ret = 3;
    }
    if (ret == 0) memcpy(out, &a.info, sizeof *out);
    QL_LOG(QL_LOG_TRACE, "exit, ret=%d", ret);
    return ret;
}

int QL_MCM_SIM_Depersonalization(sim_client_handle_type h, const QL_MCM_SIM_DepersoRecord* rec) {
    return statusOnly(__func__, __LINE__, h, MCM_SIM_DEPERSONALIZATION, rec, sizeof *rec, kTestError,
                      "Failed to depersonalization, ret_val=%d, resp_code= %d, error_code=%d");
}

int QL_MCM_SIM_Personalization(sim_client_handle_type h, const QL_MCM_SIM_PersoRecord* rec) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (rec == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return 4;
    }
    const PersoLimit* limit = nullptr;
    for (const auto& l : kPersoLimits)
        if (l.feature == rec->feature) limit = &l;
    if (limit == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid feature type!\n");
        return 52;
    }
    if (rec->count > limit->maxItems) return 4;
    std::unique_ptr<McmSimPersoRecord> req(new (std::nothrow) McmSimPersoRecord);
    if (!req) {
        QL_LOG(QL_LOG_ERROR, "Failed to malloc");
        return 8;
    }
    memcpy(req.get(), rec, sizeof *req);
    McmSimStatusAnswer a;
    int ret = SIM_REQ(MCM_SIM_PERSONALIZATION, req.get(), sizeof *req, &a, sizeof a, kTestError,
                      "Failed to personalization, ret_val=%d, resp_code= %d, error_code=%d");
    QL_LOG(QL_LOG_TRACE, "exit, ret=%d", ret);
    return ret;
}

void sim_async_cb(mcm_client_handle_type h, uint32_t msgId, void*, uint32_t, void*) {
    QL_LOG(QL_LOG_TRACE, "h_sim=%d  msg_id=%08X", static_cast<int>(h), msgId);
}

void sim_ind_cb(mcm_client_handle_type h, uint32_t msgId, void* data, uint32_t len) {
    QL_LOG(QL_LOG_TRACE, "Recv ind, h_sim=%d  msg_id=%08X", static_cast<int>(h), msgId);
    QL_MCM_SIM_EventHandler fn = gSimHandler.fn.load();
    if (msgId == MCM_SIM_CARD_STATUS_IND) {
        // A short indication is not read past its end.
        if (data == nullptr || len < sizeof(McmSimCardStatusInd) || fn == nullptr) return;
        McmSimCardStatusInd ind;
        memcpy(&ind, data, sizeof ind);
        if (!ind.valid) return;
        McmSimCardStatus status;
        memcpy(&status, &ind.word0, 4);
        memcpy(reinterpret_cast<uint8_t*>(&status) + 4, &ind.word1, 4);
        memcpy(reinterpret_cast<uint8_t*>(&status) + 8, ind.rest, 96);
        fn(h, 0xB01, &status, gSimHandler.user.load());
    } else if (msgId == MCM_SIM_REFRESH_IND) {
        if (data == nullptr || len < 1 || fn == nullptr) return;
        if (static_cast<const uint8_t*>(data)[0]) fn(h, 0xB00, nullptr, gSimHandler.user.load());
    } else if (msgId == MCM_UIM_SERVICE_DOWN_IND) {
        QL_LOG(QL_LOG_TRACE, "===== UIM Service DOWN ! =========");
    } else if (msgId == MCM_UIM_SERVICE_UP_IND) {
        QL_LOG(QL_LOG_TRACE, " ===== UIM Service UP ! =========");
    }
}
