// Host stand-in of libql_mgmt_client: the connection manager is the modem
// simulator, reached over $TRAILNETD_ROOT/tmp/ql_manager.sock.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "channel.h"
#include "ql_mgmt_client.h"

namespace {

constexpr int kTimeoutMs = 15000;

struct Client {
    ql_mgmt_client_event_cb cb;
    std::unique_ptr<simwire::Channel> channel;
};

std::mutex gMu;
std::map<int, std::shared_ptr<Client>> gClients;
int gNextHandle = 1;

std::shared_ptr<Client> find(int h) {
    std::lock_guard<std::mutex> lk(gMu);
    auto it = gClients.find(h);
    return it == gClients.end() ? nullptr : it->second;
}

int exchange(int handle, uint32_t kind, int msgId, void* data, int len) {
    if (data == nullptr || len <= 0 || static_cast<uint32_t>(len) > simwire::kMaxPayload)
        return -1;
    auto c = find(handle);
    if (!c) return -1;
    if (!c->channel->connect()) return -1;
    simwire::Header h{};
    h.kind = kind;
    h.id = static_cast<uint32_t>(msgId);
    h.length = static_cast<uint32_t>(len);
    simwire::Frame answer;
    auto st = c->channel->request(h, data, kTimeoutMs, answer);
    // A link that died while idle is only noticed on the next write: retry once.
    if (st == simwire::Channel::kNotSent && c->channel->connect())
        st = c->channel->request(h, data, kTimeoutMs, answer);
    if (st != simwire::Channel::kOk) return -1;
    if (answer.h.arg != 0) return answer.h.arg;
    // An empty answer leaves the record as sent; anything else must fit it exactly.
    if (answer.payload.empty()) return 0;
    if (answer.payload.size() != static_cast<size_t>(len)) return -1;
    memcpy(data, answer.payload.data(), answer.payload.size());
    return 0;
}

}  // namespace

extern "C" {

int ql_mgmt_client_open(int* handle, ql_mgmt_client_event_cb cb) {
    if (handle == nullptr) return -1;
    auto c = std::make_shared<Client>();
    c->cb = cb;
    Client* raw = c.get();
    c->channel = std::make_unique<simwire::Channel>(
        simwire::socketPath(simwire::kMgmtSocket), [raw](const simwire::Frame& f) {
            if (f.h.kind != simwire::kMgmtEvent || raw->cb == nullptr) return;
            void* data = f.payload.empty() ? nullptr : const_cast<uint8_t*>(f.payload.data());
            raw->cb(static_cast<int>(f.h.id), data, static_cast<int>(f.payload.size()));
        });
    if (!c->channel->connect()) return -1;
    std::lock_guard<std::mutex> lk(gMu);
    int h = gNextHandle++;
    gClients[h] = c;
    *handle = h;
    return 0;
}

int ql_mgmt_client_set(int handle, int msg_id, void* data, int len) {
    return exchange(handle, simwire::kMgmtSet, msg_id, data, len);
}

int ql_mgmt_client_get(int handle, int msg_id, void* data, int len) {
    return exchange(handle, simwire::kMgmtGet, msg_id, data, len);
}

int ql_mgmt_client_close(int handle) {
    std::shared_ptr<Client> c;
    {
        std::lock_guard<std::mutex> lk(gMu);
        auto it = gClients.find(handle);
        if (it == gClients.end()) return -1;
        if (it->second->channel->onCallbackThread()) return -1;
        c = it->second;
        gClients.erase(it);
    }
    c->channel.reset();
    return 0;
}

}  // extern "C"
