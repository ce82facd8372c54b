#include "cellular/ql_mcm_client.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "cellular/power.h"
#include "cellular/ql_api_log.h"
#include "core/rootpath.h"
#include "modem/mcm_msgs.h"

namespace {

struct ClientEntry {
    std::atomic<uint16_t> mask{0};
    std::atomic<QL_MCM_Ind_Handler> ind{nullptr};
    std::atomic<QL_MCM_Async_Handler> async{nullptr};
    std::atomic<int32_t> inited{0};
};

// Written by the thread that initialises or releases a type, read by the
// library's callback thread: every field is one atomic word, handlers are
// set before the flag and cleared first.
ClientEntry gClients[kMcmClientTypes];
std::atomic<mcm_client_handle_type> gHandle{0};

struct RequiredService {
    int type;
    uint16_t mask;
    const char* flag;
};
constexpr RequiredService kRequired[] = {
    {1, 0x10, "/tmp//mcm_data_service_ready.flag"},
    {3, 0x40, "/tmp/mcm_loc_service_ready.flag"},
    {4, 0x80, "/tmp/mcm_mobileap_service_ready.flag"},
    {6, 0x20, "/tmp/mcm_atcop_service_ready.flag"},
    {11, 0x08, "/tmp/mcm_sim_service_ready.flag"},
};

const RequiredService* requiredFor(int type) {
    for (const auto& r : kRequired)
        if (r.type == type) return &r;
    return nullptr;
}

// About ten seconds: 1000 checks, 10 ms apart.
bool waitForFile(const char* absPath) {
    std::string p = rootPath(absPath);
    for (int i = 0; i < 1000; ++i) {
        if (file_missing(p.c_str()) == 0) return true;
        usleep(10 * 1000);
    }
    return false;
}

void callInd(int type, mcm_client_handle_type h, uint32_t msgId, void* data, uint32_t len) {
    QL_MCM_Ind_Handler fn = gClients[type].ind.load();
    if (fn) fn(h, msgId, data, len);
}

// Sends an event registration: 8-byte answer, result and error code.
int registerEvents(const char* func, uint32_t msgId, const void* req, uint32_t reqLen, const char* notInited,
                   const char* failure) {
    mcm_client_handle_type h = gHandle.load();
    if (h == 0) {
        ql_api_log(func, __LINE__, QL_LOG_ERROR, "%s", notInited);
        return 9;
    }
    McmAnswerHeader ans;
    memset(&ans, 0, sizeof ans);
    uint32_t rc = mcm_client_execute_command_sync(h, msgId, const_cast<void*>(req), reqLen, &ans, sizeof ans);
    if (rc != 0 || ans.result != 0) {
        ql_api_log(func, __LINE__, QL_LOG_ERROR, failure, static_cast<int>(rc), ans.result, ans.error);
        return rc != 0 ? static_cast<int>(rc) : 9;
    }
    return 0;
}

}  // namespace

mcm_client_handle_type ql_mcm_handle() { return gHandle.load(); }

int QL_MCM_Client_Init(mcm_client_handle_type* out, int clientType, QL_MCM_Ind_Handler ind,
                       QL_MCM_Async_Handler async) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (clientType < 0 || clientType >= kMcmClientTypes) {
        QL_LOG(QL_LOG_ERROR, "Invalid client_type %d", clientType);
        return 4;
    }
    ClientEntry& e = gClients[clientType];
    if (e.inited.load()) {
        QL_LOG(QL_LOG_INFO, "Client %d is already inited", clientType);
        return 0;
    }
    if (gHandle.load() == 0) {
        if (shell_run("pidof -s mcm_ril_service") != 0)
            shell_run("%s start", rootPath("/etc/init.d/start_mcm_ril_srv_le").c_str());
        if (!waitForFile("/tmp/mcm_service_ready.flag")) {
            QL_LOG(QL_LOG_ERROR, "Failed to bootup mcm service, waiting timeout");
            return 9;
        }
        mcm_client_handle_type h = 0;
        uint32_t rc = mcm_client_init(&h, ql_mcm_ind_cb, ql_mcm_async_cb);
        if (rc > 1) {
            gHandle.store(0);
            QL_LOG(QL_LOG_ERROR, "Failed to mcm_client_init, ret=%d", static_cast<int>(rc));
            return static_cast<int>(rc);
        }
        gHandle.store(h);
        QL_LOG(QL_LOG_INFO, "Init mcm client succeed");
    }
    const RequiredService* req = requiredFor(clientType);
    uint16_t mask = req ? req->mask : 0;
    if (req != nullptr) {
        QL_LOG(QL_LOG_INFO, " mcm_client_init start up required service!");
        int rc = ql_mcm_required_service_updown(gHandle.load(), 1, mask);
        if (rc != 0) {
            QL_LOG(QL_LOG_ERROR, "Failed to requre service %08X, ret=%d", mask, rc);
            return rc;
        }
        if (file_missing(rootPath(req->flag).c_str()) != 0) {
            QL_LOG(QL_LOG_ERROR, "mcm service %d is not ready", mask);
            return 9;
        }
    }
    e.ind.store(ind);
    e.async.store(async);
    e.mask.store(mask);
    if (out) *out = gHandle.load();
    e.inited.store(1);
    QL_LOG(QL_LOG_TRACE, "exit");
    return 0;
}

int QL_MCM_Client_Deinit(mcm_client_handle_type handle, int clientType) {
    QL_LOG(QL_LOG_TRACE, "deinit mcm client, h_mcm=%d, client_type=%d", static_cast<int>(handle), clientType);
    if (clientType < 0 || clientType >= kMcmClientTypes) {
        QL_LOG(QL_LOG_ERROR, "Invalid mcm client type %d", clientType);
        return 4;
    }
    ClientEntry& e = gClients[clientType];
    if (!e.inited.load()) QL_LOG(QL_LOG_INFO, "mcm client type %d is not valid\n", clientType);
    e.ind.store(nullptr);
    e.async.store(nullptr);
    e.inited.store(0);
    mcm_client_handle_type h = gHandle.load();
    if (h == 0) {
        QL_LOG(QL_LOG_ERROR, "mcm client is not valid");
        return 0;
    }
    for (const auto& c : gClients) {
        if (c.inited.load()) {
            QL_LOG(QL_LOG_WARN, "mcm client is still alive, reference count : %d", 1);
            return 0;
        }
    }
    uint32_t rc = mcm_client_release(h);
    if (rc != 0) QL_LOG(QL_LOG_ERROR, "mcm_client_release failed with error %d", static_cast<int>(rc));
    QL_LOG(QL_LOG_INFO, "mcm client %d is released", static_cast<int>(h));
    gHandle.store(0);
    return static_cast<int>(rc);
}

void ql_mcm_async_cb(mcm_client_handle_type h, uint32_t msgId, void* data, uint32_t len, void* token) {
    QL_LOG(QL_LOG_TRACE, "Recv async cb, h_mcm=%d msg_id=0x%x", static_cast<int>(h), msgId);
    uint32_t family = mcmFamily(msgId);
    if (family >= static_cast<uint32_t>(kMcmClientTypes)) return;
    QL_MCM_Async_Handler fn = gClients[family].async.load();
    if (fn) fn(h, msgId, data, len, token);
}

void ql_mcm_ind_cb(mcm_client_handle_type h, uint32_t msgId, void* data, uint32_t len) {
    QL_LOG(QL_LOG_TRACE, "Recv ind cb, h_mcm=%d, msg_id=%08X", static_cast<int>(h), msgId);
    if (msgId == 0x10C) {
        callInd(1, h, msgId, data, len);
    } else if (msgId == 0x204) {
        callInd(2, h, msgId, data, len);
    } else if (msgId >= 0x30E && msgId <= 0x317) {
        callInd(3, h, msgId, data, len);
    } else if (msgId >= 0x50B && msgId <= 0x50F) {
        callInd(5, h, msgId, data, len);
    } else if (msgId >= 0x707 && msgId <= 0x70A) {
        callInd(7, h, msgId, data, len);
        if (msgId <= 0x709) callInd(6, h, msgId, data, len);
    } else if (msgId == 0xB10 || msgId == 0xB11) {
        callInd(11, h, msgId, data, len);
        if (msgId == 0xB10) callInd(6, h, msgId, data, len);
    } else if (msgId == 0x1017 || msgId == 0x1018 || msgId == 0x101C) {
        callInd(16, h, msgId, data, len);
        if (msgId == 0x1017) callInd(6, h, msgId, data, len);
    } else if (msgId != 0x427) {
        QL_LOG(QL_LOG_INFO, "uhandled MSG : 0x%x", msgId);
    }
}

int ql_mcm_required_service_updown(mcm_client_handle_type h, int up, uint16_t mask) {
    QL_LOG(QL_LOG_INFO, "start to %s  service %08X", up ? "require" : "not require", mask);
    if (up == 0) {
        QL_LOG(QL_LOG_INFO, "Donot support not requre service");
        return -18;
    }
    if (up != 1) return 3;
    std::unique_ptr<McmAnswerHeader> ans(new (std::nothrow) McmAnswerHeader{});
    if (!ans) {
        QL_LOG(QL_LOG_ERROR, "Failed to malloc");
        return 5;
    }
    McmRequireServiceRequest req{mask};
    uint32_t rc = mcm_client_execute_command_sync(h, MCM_CLIENT_REQUIRE_SERVICE, &req, sizeof req, ans.get(),
                                                  sizeof *ans);
    if (rc != 0 || ans->result != 0) {
        QL_LOG(QL_LOG_ERROR, "Failed to require service %08X, ret_val=%d, result=%d error_code=%d", mask,
               static_cast<int>(rc), ans->result, ans->error);
        return 9;
    }
    QL_LOG(QL_LOG_INFO, "Succeed to require servie %08X", mask);
    return 0;
}

int ql_mcm_sim_reg_events() {
    McmSimEventRegisterRequest req{{1, 1, 1, 1}};
    return registerEvents(__func__, MCM_SIM_EVENT_REGISTER, &req, sizeof req, "mcm client is not inited",
                          "Failed to register sim event, ret_val=%d, resp_code= %d, error_code=%d");
}

int ql_mcm_sms_reg_events() {
    McmSmsEventRegisterRequest req{{1, 1}};
    return registerEvents(__func__, MCM_SMS_EVENT_REGISTER, &req, sizeof req, "Error, mcm client is not inited",
                          "Failed to register sms event, ret_val=%d, resp_code= %d, error_code=%d");
}

int ql_mcm_voice_register_indication() {
    McmVoiceEventRegisterRequest req{};
    for (int i = 0; i < 8; ++i) req.flags[i] = 1;
    return registerEvents(__func__, MCM_VOICE_EVENT_REGISTER, &req, sizeof req, "Error, mcm client is not inited",
                          "Failed to register voice event, ret_val=%d, resp_code= %d, error_code=%d");
}
