#include "cellular/data_call.h"

#include <errno.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>

#include "cellular/cellular_state.h"
#include "cellular/mgmt_client.h"
#include "cellular/ql_api_log.h"
#include "core/log.h"
#include "core/rootpath.h"

namespace {

constexpr uint8_t kMaxProfile = 24;
constexpr int kMaxFamily = 2;
constexpr uint8_t kDaemonProfile = 3;

std::atomic<QL_Data_Call_Handler> gUserHandler{nullptr};

// Turns a manager event into the record the user handler gets.
void dataCallAdapter(int eventId, void* data, int len) {
    if (data == nullptr || len != kDataCallEventSize || eventId != MGMT_DATA_CALL_START) return;
    QL_Data_Call_Handler user = gUserHandler.load();
    if (user == nullptr) return;
    QL_Data_Call_Event in;
    memcpy(&in, data, sizeof in);
    QL_Data_Call_Event out;
    memset(&out, 0, sizeof out);
    out.profile = in.profile;
    out.reason = in.reason;
    out.ip_family = in.ip_family == 0 ? 0 : 1;
    if (in.state == 1) {
        out.state = 1;
        // The peer's name may lack its terminator: copy at most 15 characters.
        memcpy(out.iface, in.iface, strnlen(in.iface, sizeof out.iface - 1));
        memcpy(out.address, in.address, in.ip_family == 0 ? 16 : 64);
    }
    user(&out);
}

int familyOf(int ipFamily) { return ipFamily == 1 || ipFamily == 2 ? ipFamily : 0; }

}  // namespace

int QL_Data_Call_Init_Precondition() {
    QL_LOG(QL_LOG_TRACE, "enter");
    std::string path = rootPath("/tmp/.ql_manager_server.lock");
    FILE* f = fopen(path.c_str(), "r");
    if (f == nullptr) {
        QL_LOG(QL_LOG_INFO, "open /tmp/.ql_manager_server.lock failure: %s", strerror(errno));
        return -1;
    }
    char line[12] = {};
    bool ok = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    if (!ok || strncmp(line, "success", 7) != 0) return -1;
    QL_LOG(QL_LOG_INFO, "the ql_manager_server init success");
    QL_LOG(QL_LOG_TRACE, "exit");
    return 0;
}

int QL_Data_Call_Init(QL_Data_Call_Handler handler) {
    QL_LOG(QL_LOG_TRACE, "enter");
    mgmt_add_event_handler(dataCallAdapter);
    QL_Data_Call_Handler none = nullptr;
    if (handler != nullptr) gUserHandler.compare_exchange_strong(none, handler);
    QL_LOG(QL_LOG_TRACE, "exit");
    return 0;
}

int QL_Data_Call_Destroy() {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (gUserHandler.load() != nullptr) {
        mgmt_remove_event_handler(dataCallAdapter);
        gUserHandler.store(nullptr);
    }
    QL_LOG(QL_LOG_TRACE, "exit");
    return 0;
}

int QL_Data_Call_Start(const QL_Data_Call_Start_Info* info, int* error) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (info == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return -1;
    }
    if (info->profile > kMaxProfile || info->ip_family < 0 || info->ip_family > kMaxFamily) {
        if (error) *error = 1;
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return -1;
    }
    MgmtDataCallStartReq req;
    memset(&req, 0, sizeof req);
    req.profile = info->profile;
    req.ip_family = familyOf(info->ip_family);
    req.second = info->second;
    memcpy(req.user, info->user, strnlen(info->user, 127));
    memcpy(req.password, info->password, strnlen(info->password, 127));
    if (mgmt_set(MGMT_DATA_CALL_START, &req, sizeof req) != 0) {
        QL_LOG(QL_LOG_ERROR, "Failed to start data call up");
        return -1;
    }
    QL_LOG(QL_LOG_TRACE, "exit");
    return 0;
}

int QL_Data_Call_Stop(uint8_t profile, int ip_family, int* /*error: not written*/) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (profile > kMaxProfile || ip_family < 0 || ip_family > kMaxFamily) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return -1;
    }
    MgmtProfileFamilyReq req;
    memset(&req, 0, sizeof req);
    req.profile = profile;
    req.ip_family = familyOf(ip_family);
    if (mgmt_set(MGMT_DATA_CALL_STOP, &req, sizeof req) != 0) {
        QL_LOG(QL_LOG_ERROR, "Failed to set data call down");
        return -1;
    }
    QL_LOG(QL_LOG_TRACE, "exit");
    return 0;
}

int QL_Data_Call_Info_Get(uint8_t profile, int ip_family, QL_Data_Call_Info* info, int* /*error*/) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (info == nullptr || ip_family < 0 || ip_family >= 3 || profile >= 25) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return -1;
    }
    uint8_t msg[kMgmtMsgSize];
    MgmtProfileFamilyReq req;
    memset(&req, 0, sizeof req);
    req.profile = profile;
    req.ip_family = familyOf(ip_family);
    memcpy(msg, &req, sizeof msg);
    if (mgmt_get(MGMT_DATA_CALL_INFO, msg, sizeof msg) != 0) {
        QL_LOG(QL_LOG_ERROR, "Failed to mgmt_client_get");
        return -1;
    }
    memcpy(info, msg, sizeof *info);
    QL_LOG(QL_LOG_TRACE, "exit");
    return 0;
}

int QL_Data_Call_Set_Default_Profile(const uint8_t* profile) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (profile == nullptr || *profile > kMaxProfile) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return -1;
    }
    MgmtDefaultProfileReq req;
    memset(&req, 0, sizeof req);
    req.profile = *profile;
    req.value = 2;
    if (mgmt_set(MGMT_DEFAULT_PROFILE, &req, sizeof req) != 0) {
        QL_LOG(QL_LOG_ERROR, "Failed to set data call default profile");
        return -1;
    }
    QL_LOG(QL_LOG_TRACE, "exit");
    return 0;
}

int QL_Data_Call_Get_Default_Profile(uint8_t* profile) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (profile == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return -1;
    }
    uint8_t msg[kMgmtMsgSize] = {};
    if (mgmt_get(MGMT_DEFAULT_PROFILE, msg, sizeof msg) != 0) {
        QL_LOG(QL_LOG_ERROR, "Failed to mgmt_client_get");
        return -1;
    }
    *profile = msg[0];
    QL_LOG(QL_LOG_TRACE, "exit");
    return 0;
}

// ---- the daemon's data call ----

void dataCallEvent(const QL_Data_Call_Event* event) {
    if (event == nullptr) return;
    if (event->state == 1) {
        cellularState().dataConnected = 1;
        logMessage("Data", LOG_INFO, "Data activated");
    } else {
        cellularCallLost(cellularState());
        logMessage("Data", LOG_WARNING, "Data is disconnected: 0x%x", static_cast<unsigned>(event->reason));
    }
}

int dataCallOpen() {
    int warnings = 0;
    while (QL_Data_Call_Init_Precondition() != 0) {
        logMessage("Data", LOG_WARNING, "The connection manager service is not initialized, try again.");
        usleep(500 * 1000);
        if (++warnings == 10) {
            logMessage("Data", LOG_ERROR, "Data call failure");
            return -1;
        }
    }
    if (QL_Data_Call_Init(dataCallEvent) != 0) {
        logMessage("Data", LOG_ERROR, "Initialization data call failure");
        return -1;
    }
    QL_Data_Call_Info info;
    memset(&info, 0, sizeof info);
    int error = 0;
    if (QL_Data_Call_Info_Get(kDaemonProfile, 0, &info, &error) != 0) {
        logMessage("Data", LOG_ERROR, "Get profile index %d information failure: errno 0x%x", kDaemonProfile,
                   static_cast<unsigned>(error));
        return 0;
    }
    if (info.state == 1) {
        logMessage("Data", LOG_WARNING, "Profile index %d is already connected, don't up", kDaemonProfile);
        return 0;
    }
    QL_Data_Call_Start_Info start;
    memset(&start, 0, sizeof start);
    start.profile = kDaemonProfile;
    start.second = 1;
    start.ip_family = 0;
    if (QL_Data_Call_Start(&start, &error) != 0)
        logMessage("Data", LOG_ERROR, "Profile index %d start data call failure: 0x%x", kDaemonProfile,
                   static_cast<unsigned>(error));
    else
        logMessage("Data", LOG_INFO, "Profile index %d start data call success", kDaemonProfile);
    return 0;
}

int dataCallCheck() {
    CellularState& cell = cellularState();
    if (cell.dataConnected.load() != 1) return -1;
    QL_Data_Call_Info info;
    memset(&info, 0, sizeof info);
    int error = 0;
    int ret = QL_Data_Call_Info_Get(kDaemonProfile, 0, &info, &error);
    if (ret == 0 && info.state == 1) return 0;
    // An event that says the call came up again may have raced the query.
    if (cellularCallLost(cell))
        logMessage("Data", LOG_WARNING, "Profile index %d is no longer connected (ret %d, state %d)", kDaemonProfile,
                   ret, static_cast<int>(info.state));
    return -1;
}
