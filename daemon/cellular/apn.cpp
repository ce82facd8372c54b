#include "cellular/apn.h"

#include <cstring>

#include "cellular/mgmt_client.h"
#include "cellular/mgmt_msgs.h"
#include "cellular/ql_api_log.h"

namespace {

// Authentication protocol of the record -> code of the request.
constexpr uint8_t kAuthCodes[] = {255, 0, 1, 2, 3};

bool authToCode(int32_t auth, uint8_t& code) {
    if (auth < 0 || auth > 4) return false;
    code = kAuthCodes[auth];
    return true;
}

bool codeToAuth(uint8_t code, int32_t& auth) {
    for (int32_t i = 0; i < 5; ++i) {
        if (kAuthCodes[i] == code) {
            auth = i;
            return true;
        }
    }
    return false;
}

// Copies at most `bound` characters; the request was zero-filled.
void copyBounded(char* dst, const char* src, size_t bound) { memcpy(dst, src, strnlen(src, bound)); }

MgmtApnReq baseRequest(uint8_t profile) {
    MgmtApnReq r;
    memset(&r, 0, sizeof r);
    r.is_default = profile == 0 ? 1 : 0;
    r.profile = profile;
    return r;
}

}  // namespace

int QL_APN_Set(const QL_APN_Info* info) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (info == nullptr || info->profile > 24) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return -1;
    }
    if (info->pdp_type < 0 || info->pdp_type > 3) {
        QL_LOG(QL_LOG_ERROR, "Invalid pdp_type : %d", info->pdp_type);
        return -1;
    }
    uint8_t code = 0;
    if (!authToCode(info->auth, code)) {
        QL_LOG(QL_LOG_ERROR, "Invalid auto_proto : %d", info->auth);
        return -1;
    }
    MgmtApnReq r = baseRequest(info->profile);
    r.pdp_type = static_cast<uint8_t>(info->pdp_type);
    r.auth = code;
    copyBounded(r.apn, info->apn, sizeof r.apn);
    copyBounded(r.user, info->user, 127);
    copyBounded(r.password, info->password, 127);
    if (mgmt_set(MGMT_APN_PROFILE, &r, sizeof r) != 0) {
        QL_LOG(QL_LOG_ERROR, "Failed to set data call apn");
        return -1;
    }
    QL_LOG(QL_LOG_TRACE, "exit");
    return 0;
}

int QL_APN_Get(uint8_t profile, QL_APN_Info* out) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (out == nullptr || profile >= 25) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return -1;
    }
    MgmtApnReq r = baseRequest(profile);
    if (mgmt_get(MGMT_APN_PROFILE, &r, sizeof r) != 0) {
        QL_LOG(QL_LOG_ERROR, "Failed to get data call apn");
        return -1;
    }
    int32_t auth = 0;
    if (r.pdp_type > 3 || !codeToAuth(r.auth, auth)) return -1;
    memset(out, 0, sizeof *out);
    out->profile = profile;
    out->pdp_type = r.pdp_type;
    out->auth = auth;
    copyBounded(out->apn, r.apn, 149);
    copyBounded(out->user, r.user, 126);
    copyBounded(out->password, r.password, 126);
    QL_LOG(QL_LOG_TRACE, "exit");
    return 0;
}

int QL_APN_Add(const QL_APN_Info* info, uint8_t* profileOut) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (info == nullptr || profileOut == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return -1;
    }
    uint8_t code = 0;
    if (info->pdp_type < 0 || info->pdp_type > 3 || !authToCode(info->auth, code)) return -1;
    MgmtApnReq r = baseRequest(info->profile);
    r.pdp_type = static_cast<uint8_t>(info->pdp_type);
    r.auth = code;
    if (info->apn[0]) copyBounded(r.apn, info->apn, sizeof r.apn);
    if (info->user[0]) copyBounded(r.user, info->user, 127);
    if (info->password[0]) copyBounded(r.password, info->password, 127);
    if (mgmt_set(MGMT_APN_ADD, &r, sizeof r) != 0) {
        QL_LOG(QL_LOG_ERROR, "Failed to add data call apn");
        return -1;
    }
    *profileOut = r.profile;  // as the manager left it
    QL_LOG(QL_LOG_TRACE, "exit");
    return 0;
}

int QL_APN_Del(uint8_t profile) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (profile < 1 || profile > 24) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return -1;
    }
    MgmtApnReq r = baseRequest(profile);
    if (mgmt_set(MGMT_APN_DELETE, &r, sizeof r) != 0) {
        QL_LOG(QL_LOG_ERROR, "Failed to del data call apn");
        return -1;
    }
    QL_LOG(QL_LOG_TRACE, "exit");
    return 0;
}

int QL_APN_Get_Lists(QL_APN_List* list) {
    QL_LOG(QL_LOG_TRACE, "enter");
    if (list == nullptr) {
        QL_LOG(QL_LOG_ERROR, "Invalid param");
        return -1;
    }
    memset(list, 0, sizeof *list);
    uint8_t reply[kMgmtMsgSize] = {};
    if (mgmt_get(MGMT_APN_LIST, reply, sizeof reply) != 0) return 0;
    // Example: 03 01 03 05 ... = three profiles, 1, 3 and 5.
    int announced = reply[0];
    int filled = 0;
    for (int i = 0; i < announced && filled < 8; ++i) {
        if (QL_APN_Get(reply[1 + i], &list->records[filled]) != 0) {
            QL_LOG(QL_LOG_ERROR, "Failed to get apn, loop=%d", i);
            return -1;
        }
        ++filled;
    }
    list->count = filled;
    QL_LOG(QL_LOG_TRACE, "exit, ret=%d", filled);
    return filled;
}
