// Host stand-in of libmcm: the MCM service is the modem simulator, reached
// over $TRAILNETD_ROOT/tmp/mcm_service.sock. A dropped link is re-opened on
// the next request, as the service may be restarted under a running client;
// the loss and the new link reach the indication handler as the service's
// down and up indications.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "channel.h"
#include "mcm_client.h"

namespace {

constexpr int kSyncTimeoutMs = 30000;
constexpr uint32_t kServiceDownInd = 0x87654320;
constexpr uint32_t kServiceUpInd = 0x87654321;

struct Client {
    mcm_client_handle_type handle;
    mcm_client_ind_cb ind;
    mcm_client_async_cb async;
    std::unique_ptr<simwire::Channel> channel;
};

std::mutex gMu;
std::map<mcm_client_handle_type, std::shared_ptr<Client>> gClients;
mcm_client_handle_type gNextHandle = 1;

std::shared_ptr<Client> find(mcm_client_handle_type h) {
    std::lock_guard<std::mutex> lk(gMu);
    auto it = gClients.find(h);
    return it == gClients.end() ? nullptr : it->second;
}

void onFrame(Client* c, const simwire::Frame& f) {
    void* data = f.payload.empty() ? nullptr : const_cast<uint8_t*>(f.payload.data());
    auto len = static_cast<uint32_t>(f.payload.size());
    if (f.h.kind == simwire::kMcmIndication && c->ind) c->ind(c->handle, f.h.id, data, len);
    // A lost service connection reaches the caller as the service's own
    // down and up indications; requests in between fail.
    if (f.h.kind == simwire::Channel::kLinkDown && c->ind) c->ind(c->handle, kServiceDownInd, nullptr, 0);
    if (f.h.kind == simwire::Channel::kLinkUp && c->ind) c->ind(c->handle, kServiceUpInd, nullptr, 0);
    if (f.h.kind == simwire::kMcmAsyncAnswer && c->async) {
        // The token travels as the frame's argument; the service echoes it.
        void* token = reinterpret_cast<void*>(static_cast<intptr_t>(f.h.arg));
        c->async(c->handle, f.h.id, data, len, token);
    }
}

uint32_t execute(mcm_client_handle_type handle, uint32_t msgId, void* req, uint32_t reqLen,
                 void* resp, uint32_t respLen, int timeoutMs) {
    if ((req == nullptr && reqLen > 0) || resp == nullptr || respLen == 0 ||
        reqLen > simwire::kMaxPayload || respLen > simwire::kMaxPayload)
        return MCM_ERROR_BADPARM;
    auto c = find(handle);
    if (!c) return MCM_ERROR_INVALID_HANDLE;
    if (!c->channel->connect()) return MCM_ERROR_SERVICE_UNAVAILABLE;
    simwire::Header h{};
    h.kind = simwire::kMcmRequest;
    h.id = msgId;
    h.arg = static_cast<int32_t>(respLen);
    h.length = reqLen;
    simwire::Frame answer;
    auto st = c->channel->request(h, req, timeoutMs, answer);
    // A link that died while idle is only noticed on the next write: retry once.
    if (st == simwire::Channel::kNotSent && c->channel->connect())
        st = c->channel->request(h, req, timeoutMs, answer);
    switch (st) {
    case simwire::Channel::kNotSent:
    case simwire::Channel::kDown: return MCM_ERROR_SERVICE_UNAVAILABLE;
    case simwire::Channel::kTimeout: return MCM_ERROR_TIMEOUT;
    case simwire::Channel::kOk: break;
    }
    if (answer.h.arg != MCM_SUCCESS) return static_cast<uint32_t>(answer.h.arg);
    // The caller's record has a fixed size: anything else is a broken answer.
    if (answer.payload.size() != respLen) return MCM_ERROR_MALFORMED_MSG;
    memcpy(resp, answer.payload.data(), respLen);
    return MCM_SUCCESS;
}

}  // namespace

extern "C" {

uint32_t mcm_client_init(mcm_client_handle_type* handle, mcm_client_ind_cb ind_cb,
                         mcm_client_async_cb async_cb) {
    if (handle == nullptr) return MCM_ERROR_BADPARM;
    auto c = std::make_shared<Client>();
    c->ind = ind_cb;
    c->async = async_cb;
    Client* raw = c.get();
    c->channel = std::make_unique<simwire::Channel>(
        simwire::socketPath(simwire::kMcmSocket),
        [raw](const simwire::Frame& f) { onFrame(raw, f); });
    if (!c->channel->connect()) return MCM_ERROR_SERVICE_UNAVAILABLE;
    std::lock_guard<std::mutex> lk(gMu);
    c->handle = gNextHandle++;
    if (gNextHandle == 0) gNextHandle = 1;
    gClients[c->handle] = c;
    *handle = c->handle;
    return MCM_SUCCESS;
}

uint32_t mcm_client_execute_command_sync(mcm_client_handle_type handle, uint32_t msg_id,
                                         void* req, uint32_t req_len, void* resp,
                                         uint32_t resp_len) {
    return execute(handle, msg_id, req, req_len, resp, resp_len, kSyncTimeoutMs);
}

uint32_t mcm_client_execute_command_sync_ex(mcm_client_handle_type handle, uint32_t msg_id,
                                            void* req, uint32_t req_len, void* resp,
                                            uint32_t resp_len, uint32_t timeout_ms) {
    int t = timeout_ms > 0x7fffffffu ? 0x7fffffff : static_cast<int>(timeout_ms);
    return execute(handle, msg_id, req, req_len, resp, resp_len, t);
}

uint32_t mcm_client_execute_command_async(mcm_client_handle_type handle, uint32_t msg_id,
                                          void* req, uint32_t req_len, uint32_t resp_len,
                                          void* token) {
    if ((req == nullptr && req_len > 0) || req_len > simwire::kMaxPayload ||
        resp_len > simwire::kMaxPayload)
        return MCM_ERROR_BADPARM;
    auto c = find(handle);
    if (!c) return MCM_ERROR_INVALID_HANDLE;
    if (!c->channel->connect()) return MCM_ERROR_SERVICE_UNAVAILABLE;
    simwire::Header h{};
    h.kind = simwire::kMcmAsyncRequest;
    h.id = msg_id;
    h.arg = static_cast<int32_t>(reinterpret_cast<intptr_t>(token));
    h.length = req_len;
    // The wanted answer length rides in front of the request bytes.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[req_len + 4]);
    memcpy(buf.get(), &resp_len, 4);
    if (req_len) memcpy(buf.get() + 4, req, req_len);
    h.length = req_len + 4;
    return c->channel->post(h, buf.get()) ? MCM_SUCCESS : MCM_ERROR_SERVICE_UNAVAILABLE;
}

uint32_t mcm_client_release(mcm_client_handle_type handle) {
    std::shared_ptr<Client> c;
    {
        std::lock_guard<std::mutex> lk(gMu);
        auto it = gClients.find(handle);
        if (it == gClients.end()) return MCM_ERROR_INVALID_HANDLE;
        // Releasing from inside a handler would wait for that handler itself.
        if (it->second->channel->onCallbackThread()) return MCM_ERROR_CALLBACK_CONTEXT;
        c = it->second;
        gClients.erase(it);
    }
    c->channel.reset();  // joins both threads: no handler runs after this
    return MCM_SUCCESS;
}

}  // extern "C"
