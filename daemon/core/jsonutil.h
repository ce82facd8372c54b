#pragma once
// Small json-c helpers shared by the daemon's readers and writers.
#include <json-c/json.h>

#include <cstddef>
#include <cstring>
#include <memory>

struct JsonPut {
    void operator()(json_object* o) const { json_object_put(o); }
};
// Owns one reference of a json-c document.
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

// The member `key` of `obj`; nullptr when `obj` is not an object, the key is
// missing or its value is null (a null holds nothing to take).
inline json_object* jsonMember(json_object* obj, const char* key) {
    json_object* v = nullptr;
    if (!json_object_object_get_ex(obj, key, &v)) return nullptr;
    return v;
}

// Copies at most size-1 characters of `src` into `dest` and terminates it.
inline void copyCut(char* dest, size_t size, const char* src) {
    if (size == 0) return;
    size_t n = src == nullptr ? 0 : strnlen(src, size - 1);
    if (n > 0) memcpy(dest, src, n);
    dest[n] = '\0';
}
