#include "cloud/sync.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "camera/dsp_files.h"
#include "camera/protocol.h"
#include "cellular/cell_handler.h"
#include "cellular/cellular_state.h"
#include "cellular/data_call.h"
#include "cellular/wall_clock.h"
#include "cloud/camapi.h"
#include "core/jsonutil.h"
#include "cloud/requests.h"
#include "cloud/status.h"
#include "cloud/sync_clock.h"
#include "cloud/uploads.h"
#include "core/config.h"
#include "core/identity.h"
#include "core/log.h"

namespace {

// The sync's budget in seconds: each second waited for the data call or
// between attempts uses one, and each attempt uses the seconds it took (at
// least one).
const long kSyncBudget = 180;
const size_t kTokenSize = 65;
// Back-off between failed attempts: 1, 2, 4, ... seconds, each wait at most
// this long; an answer's Retry-After stretches the wait.
const long kFirstWait = 1;
const long kLongestWait = 60;

// What the last failed camera PUT was told, for the back-off.
struct PutFailure {
    bool auth = false;   // 401/403: the token was reset
    long retryAfter = 0; // seconds, from the answer
};
PutFailure gLastPut;

void apiUrl(char* url, size_t size, const char* resource) {
    char host[256];
    getApiHost(host, sizeof host);
    snprintf(url, size, "https://%s/camapi/v3/%s/%s", host, resource, modemImei());
}

// A maintenance request is carried out only when it says so and says what.
bool executable(json_object* request) {
    json_object* execute = nullptr;
    json_object* content = nullptr;
    return json_object_object_get_ex(request, "execute", &execute) &&
           json_object_is_type(execute, json_type_boolean) && json_object_get_boolean(execute) &&
           json_object_object_get_ex(request, "content", &content);
}

// Fixed order: update, updateModem, updateSim, log, pictures.
void serveRequests(json_object* requests, const char* url, const char* token) {
    json_object* r = nullptr;
    if (json_object_object_get_ex(requests, "update", &r) && executable(r)) serveUpdateRequest(r);
    if (json_object_object_get_ex(requests, "updateModem", &r) && executable(r))
        serveModemUpdateRequest(r);
    if (json_object_object_get_ex(requests, "updateSim", &r) && executable(r))
        serveSimUpdateRequest(r);
    if (json_object_object_get_ex(requests, "log", &r) && executable(r)) serveLogRequest(r);
    json_object* content = nullptr;
    if (json_object_object_get_ex(requests, "pictures", &r) &&
        json_object_object_get_ex(r, "content", &content))
        serveHdRequests(r, url, token);
}

void resetToken(char* token) {
    memset(token, 0, kTokenSize);
    logMessage("camapi", LOG_INFO, "Reset token");
    setS3Token(token);
    saveDaemonConfig();
}

// One camera PUT; true when the exchange succeeded with a 2xx answer.
bool putCamera(const char* url, json_object* body, char* token, json_object** answer) {
    gLastPut = PutFailure{};
    int result = camApiPutJson(url, answer, body, token);
    if (result == CAMAPI_NO_HANDLE || result == CAMAPI_NO_MEMORY) {
        logMessage("PutCamera", LOG_ERROR, "Put camera failed: Curl fatal error");
        return false;
    }
    long code = camApiLastResponseCode();
    if (result == CAMAPI_DONE && code >= 200 && code <= 299) return true;
    // A revoked token is only ever renewed if it is forgotten here.
    if (code == 401 || code == 403) {
        resetToken(token);
        gLastPut.auth = true;
    }
    if (result == CAMAPI_DONE) gLastPut.retryAfter = camApiLastRetryAfter();
    if (result == CAMAPI_DONE)
        logMessage("PutCamera", LOG_ERROR, "Put camera failed: HTTP %ld", code);
    else
        logMessage("PutCamera", LOG_ERROR, "Put camera failed: %s", camApiLastErrorText());
    return false;
}

// A clock that cannot be believed yet while the cellular handler is still
// setting it: every certificate would read "not yet valid" (a first start in
// 1970), so the sync waits for the handler within its budget.
bool clockPending() { return !cellularState().timeSet && !clockKnownTrue(); }

// The data call went down since `drops` was read, or is down now. A call
// the network ended without its event would be found by the handler's
// periodic check only after the sync ended, so the manager is asked now,
// when a handler holds a call to ask about.
bool callLostSince(uint32_t drops) {
    CellularState& cell = cellularState();
    if (cell.callDrops.load() == drops && cellThreadStarted()) dataCallCheck();
    return cell.callDrops.load() != drops || cell.dataConnected.load() != 1;
}

}  // namespace

int requestToken(char* token) {
    char url[1024];
    apiUrl(url, sizeof url, "token");
    json_object* raw = nullptr;
    int result = camApiGetJson(url, &raw);
    JsonPtr answer(raw);
    if (result == CAMAPI_DONE) {
        json_object* value = nullptr;
        if (json_object_object_get_ex(answer.get(), "token", &value) &&
            json_object_is_type(value, json_type_string)) {
            const char* text = json_object_get_string(value);
            // A cut token would only be refused by the API on every sync.
            if (strlen(text) >= kTokenSize) {
                logMessage("token", LOG_ERROR, "Get token failed: token longer than %zu characters",
                           kTokenSize - 1);
                return -1;
            }
            snprintf(token, kTokenSize, "%s", text);
            logMessage("token", LOG_INFO, "Get token success");
            setS3Token(token);
            return 0;
        }
        logMessage("token", LOG_ERROR, "Get token failed: -1");
        return -1;
    }
    if (result == CAMAPI_FAILED)
        logMessage("token", LOG_ERROR, "Get token failed: %s", camApiLastErrorText());
    else
        logMessage("token", LOG_ERROR, "Get token failed: Fatal CURL error");
    return -1;
}

int addRequestAcks(json_object* body, int* carried) {
    static const struct {
        int bit;
        const char* name;
    } kAcks[] = {
        {REQ_RESET_UPDATE, "update"},
        {REQ_RESET_UPDATE_SIM, "updateSim"},
        {REQ_RESET_LOG, "log"},
        {REQ_RESET_UPDATE_MODEM, "updateModem"},
    };
    int bits = getRequestUpdateReset();
    json_object* requests = nullptr;
    for (const auto& ack : kAcks) {
        if ((bits & ack.bit) == 0) continue;
        if (requests == nullptr) requests = json_object_new_object();
        json_object* done = json_object_new_object();
        json_object_object_add(done, "execute", json_object_new_boolean(0));
        json_object_object_add(requests, ack.name, done);
        *carried |= ack.bit;
    }
    if (requests == nullptr) return 0;
    json_object_object_add(body, "requests", requests);
    return 1;
}

int syncWithCloud(char* token, int firstSync) {
    JsonPtr body(json_object_new_object());
    json_object_object_add(body.get(), "status", buildStatusReport());
    addUploadList(body.get(), firstSync);
    int carried = 0;
    addRequestAcks(body.get(), &carried);

    char host[256];
    getApiHost(host, sizeof host);
    char url[1024];
    apiUrl(url, sizeof url, "camera");
    logMessage("sync", LOG_INFO, "Host: %s", host);

    for (;;) {
        uint32_t drops = cellularState().callDrops.load();
        json_object* raw = nullptr;
        bool ok = putCamera(url, body.get(), token, &raw);
        body.reset();
        JsonPtr answer(raw);
        if (!ok) return -1;
        // Delivered: the acknowledgements it carried are done with.
        if (carried != 0) toggleRequestUpdateReset(carried & getRequestUpdateReset());
        carried = 0;

        json_object* member = nullptr;
        if (json_object_object_get_ex(answer.get(), "requests", &member))
            serveRequests(member, url, token);
        if (json_object_object_get_ex(answer.get(), "config", &member)) {
            const char* text = json_object_to_json_string(member);
            logMessage("config", LOG_INFO, "%s", text);
            applyCloudConfig(text);
        }
        json_object* uploads = nullptr;
        if (!json_object_object_get_ex(answer.get(), "uploads", &uploads)) {
            logMessage("sync", LOG_WARNING, "Nothing to upload");
            return 0;
        }
        int uploaded = uploadPictures(uploads);
        // Uploads lost with the data call are not a pass that uploaded
        // nothing: the attempt failed, and the sync tries again once the
        // call is back. Uploads that failed on a live call stay for the next
        // sync as before.
        size_t offered = json_object_is_type(uploads, json_type_array) ? json_object_array_length(uploads) : 0;
        if (offered > 0 && uploaded == 0 && callLostSince(drops)) {
            logMessage("sync", LOG_WARNING, "Data call lost during the uploads, none went up");
            return -1;
        }
        bool last = firstSync == 1 || uploaded == 0 || offered == 0;
        answer.reset();
        if (last) return 0;

        body.reset(json_object_new_object());
        int listed = addUploadList(body.get(), 0);
        int acked = addRequestAcks(body.get(), &carried);
        if (listed <= 0 && acked == 0) return 0;
    }
}

int runSync(int firstSync) {
    char token[kTokenSize] = {};
    SyncClock& clock = syncClock();
    long budget = kSyncBudget;
    long wait = kFirstWait;
    bool lastWasAuth = false;
    int result = -1;
    camApiInit();
    beginTransmitScan();
    for (;;) {
        budget--;
        while (!cellularState().dataConnected || clockPending()) {
            budget--;
            clock.sleepSecond();
            sendAck();
            if (budget <= -1) break;
        }
        if (cellularState().dataConnected && budget == 0) break;

        memset(token, 0, sizeof token);
        // Every request names the camera by its IMEI: a modem service that
        // had none at start may have it by now (each attempt asks again).
        refreshModemImei();
        sendAck();
        getS3Token(token);
        sendAck();
        long long started = clock.nowMs();
        gLastPut = PutFailure{};
        if (token[0] != '\0' || requestToken(token) == 0) {
            if (syncWithCloud(token, firstSync) == 0) {
                result = 0;
                break;
            }
        }
        // The attempt's own second was counted with the pass.
        long took = static_cast<long>((clock.nowMs() - started) / 1000);
        if (took > 1) budget -= took - 1;
        sendAck();
        if (budget <= 0) break;

        // A renewed token is tried at once, once; every other failure waits
        // longer each time, so a failing cloud sees a handful of attempts.
        long pause = 0;
        if (!(gLastPut.auth && !lastWasAuth)) {
            pause = wait;
            wait = wait * 2 > kLongestWait ? kLongestWait : wait * 2;
        }
        lastWasAuth = gLastPut.auth;
        if (gLastPut.retryAfter > pause) pause = gLastPut.retryAfter;
        if (pause >= budget) {
            logMessage("sync", LOG_ERROR, "Next attempt in %ld s is past the sync's budget (%ld s left)",
                       pause, budget);
            break;
        }
        if (pause > 0) logMessage("sync", LOG_WARNING, "Next attempt in %ld s", pause);
        for (long i = 0; i < pause && cellularState().dataConnected; i++) {
            clock.sleepSecond();
            sendAck();
            budget--;
        }
    }
    endTransmitScan();
    camApiCleanup();
    return result;
}
