#pragma once
// A doubly linked list of owned payloads, each released by its destructor.

struct LinkedList {
    LinkedList* prev;
    void* data;
    void (*destructor)(void* data);
    LinkedList* next;
};

// New item after `tail` (which may be null); null if memory runs out.
LinkedList* LinkedListAdd(void* data, void (*destructor)(void*), LinkedList* tail);
// Deletes one item; the items after it are not relinked.
void LinkedListDelete(LinkedList* item);
// Deletes the item and every item after it.
void LinkedListDeleteRecursive(LinkedList* item);
