#include "cloud/request_slot.h"

#include <cstdio>
#include <cstring>

#include "cloud/camapi.h"

const char* slotText(json_object* o, const char* key) {
    json_object* v = nullptr;
    if (!json_object_object_get_ex(o, key, &v) || !json_object_is_type(v, json_type_string))
        return nullptr;
    return json_object_get_string(v);
}

SlotCheck readSlotTarget(json_object* slot, SlotTarget* target) {
    const char* host = slotText(slot, "host");
    const char* path = slotText(slot, "path");
    const char* verb = slotText(slot, "verb");
    target->url[0] = '\0';
    target->verb[0] = '\0';
    target->headers = nullptr;
    target->checksum = nullptr;
    if (host == nullptr || path == nullptr || verb == nullptr) return SLOT_INCOMPLETE;
    int n = snprintf(target->url, sizeof target->url, "%s%s", host, path);
    if (n < 0 || n >= static_cast<int>(sizeof target->url) || strlen(verb) >= sizeof target->verb) {
        target->url[0] = '\0';
        return SLOT_TOO_LONG;
    }
    snprintf(target->verb, sizeof target->verb, "%s", verb);
    json_object_object_get_ex(slot, "headers", &target->headers);
    json_object_object_get_ex(slot, "checksum", &target->checksum);
    return SLOT_OK;
}

bool isPlainRequestName(const char* name) {
    if (name == nullptr || name[0] == '\0' || strlen(name) > 255) return false;
    if (strstr(name, "..") != nullptr) return false;
    for (const char* p = name; *p != '\0'; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f) return false;
    }
    return strcmp(name, ".") != 0;
}

std::string peerText(const char* text, size_t limit) {
    std::string out;
    if (text == nullptr) return out;
    for (const char* p = text; *p != '\0' && out.size() < limit; p++)
        out += (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f) ? '?' : *p;
    return out;
}

bool transferSucceeded(int result) {
    if (result != CAMAPI_DONE) return false;
    long code = camApiLastResponseCode();
    return code >= 200 && code <= 299;
}

std::string transferFailure(int result) {
    if (result == CAMAPI_FAILED) return camApiLastErrorText();
    if (result != CAMAPI_DONE) return "Curl fatal error";
    return "HTTP " + std::to_string(camApiLastResponseCode());
}
