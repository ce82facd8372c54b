#include "LinkedList.h"

#include <cstdlib>

LinkedList* LinkedListAdd(void* data, void (*destructor)(void*), LinkedList* tail) {
    auto* item = static_cast<LinkedList*>(calloc(1, sizeof(LinkedList)));
    if (!item) return nullptr;
    item->prev = tail;
    item->data = data;
    item->destructor = destructor;
    item->next = nullptr;
    if (tail) tail->next = item;
    return item;
}

void LinkedListDelete(LinkedList* item) {
    if (!item) return;
    if (item->prev) item->prev->next = nullptr;
    if (item->destructor) item->destructor(item->data);
    free(item);
}

void LinkedListDeleteRecursive(LinkedList* item) {
    if (!item) return;
    if (item->prev) item->prev->next = nullptr;
    while (item) {
        LinkedList* next = item->next;
        if (item->destructor) item->destructor(item->data);
        free(item);
        item = next;
    }
}
