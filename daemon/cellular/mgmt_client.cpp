#include "cellular/mgmt_client.h"

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include <ql_mgmt_client.h>

namespace {

struct HandlerNode {
    MgmtEventHandler handler;
    HandlerNode* prev;
    HandlerNode* next;
};

// Circular list with a fixed head; new handlers go to the front.
struct HandlerList {
    HandlerNode head{nullptr, &head, &head};
    // Events arrive on the library's thread while the handler thread edits
    // the list: a node must not be freed under a running dispatch.
    std::mutex mu;
};

HandlerList& handlers() {
    static HandlerList l;
    return l;
}

std::atomic<int> gHandle{0};
std::mutex gOpenMu;

HandlerNode* findNode(HandlerList& l, MgmtEventHandler h) {
    for (HandlerNode* n = l.head.next; n != &l.head; n = n->next)
        if (n->handler == h) return n;
    return nullptr;
}

void dispatchEvent(int eventId, void* data, int len) {
    std::vector<MgmtEventHandler> snapshot;
    {
        HandlerList& l = handlers();
        std::lock_guard<std::mutex> lk(l.mu);
        for (HandlerNode* n = l.head.next; n != &l.head; n = n->next) snapshot.push_back(n->handler);
    }
    for (MgmtEventHandler h : snapshot) h(eventId, data, len);
}

}  // namespace

int mgmt_client_get_handle() {
    int h = gHandle.load();
    if (h != 0) return h;
    std::lock_guard<std::mutex> lk(gOpenMu);
    if (gHandle.load() != 0) return gHandle.load();
    int opened = 0;
    if (ql_mgmt_client_open(&opened, dispatchEvent) != 0) return 0;
    gHandle.store(opened);
    return opened;
}

int mgmt_set(int id, void* record, int len) {
    int h = mgmt_client_get_handle();
    if (h == 0) return 2;
    return ql_mgmt_client_set(h, id, record, len);
}

int mgmt_get(int id, void* record, int len) {
    int h = mgmt_client_get_handle();
    if (h == 0) return 2;
    return ql_mgmt_client_get(h, id, record, len);
}

void mgmt_add_event_handler(MgmtEventHandler handler) {
    if (handler == nullptr) return;
    HandlerList& l = handlers();
    std::lock_guard<std::mutex> lk(l.mu);
    if (findNode(l, handler)) return;
    auto* n = new (std::nothrow) HandlerNode{handler, &l.head, l.head.next};
    if (n == nullptr) return;
    l.head.next->prev = n;
    l.head.next = n;
}

void mgmt_remove_event_handler(MgmtEventHandler handler) {
    HandlerList& l = handlers();
    std::lock_guard<std::mutex> lk(l.mu);
    HandlerNode* n = findNode(l, handler);
    if (n == nullptr) return;
    n->prev->next = n->next;
    n->next->prev = n->prev;
    delete n;
}

int mgmt_client_close() {
    std::lock_guard<std::mutex> lk(gOpenMu);
    int h = gHandle.exchange(0);
    return h != 0 ? ql_mgmt_client_close(h) : 0;
}
