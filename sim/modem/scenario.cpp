#include "scenario.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace {
std::vector<std::string> split(const std::string& path) {
    std::vector<std::string> parts;
    std::stringstream ss(path);
    std::string p;
    while (std::getline(ss, p, '.'))
        if (!p.empty()) parts.push_back(p);
    return parts;
}

json_object* child(json_object* o, const std::string& key) {
    if (o == nullptr) return nullptr;
    if (json_object_is_type(o, json_type_array)) {
        char* end = nullptr;
        long i = strtol(key.c_str(), &end, 10);
        if (*end != '\0' || i < 0 || static_cast<size_t>(i) >= json_object_array_length(o)) return nullptr;
        return json_object_array_get_idx(o, static_cast<size_t>(i));
    }
    json_object* v = nullptr;
    if (json_object_is_type(o, json_type_object) && json_object_object_get_ex(o, key.c_str(), &v)) return v;
    return nullptr;
}
}  // namespace

Scenario::Scenario() : root_(json_object_new_object()) {}
Scenario::~Scenario() { json_object_put(root_); }

bool Scenario::loadText(const std::string& text, std::string& error) {
    json_tokener* tok = json_tokener_new();
    json_object* o = json_tokener_parse_ex(tok, text.c_str(), static_cast<int>(text.size()));
    json_tokener_error err = json_tokener_get_error(tok);
    json_tokener_free(tok);
    if (o == nullptr || err != json_tokener_success || !json_object_is_type(o, json_type_object)) {
        if (o) json_object_put(o);
        error = "scenario is not a JSON object";
        return false;
    }
    json_object_put(root_);
    root_ = o;
    return true;
}

bool Scenario::loadFile(const std::string& path, std::string& error) {
    json_object* o = json_object_from_file(path.c_str());
    if (o == nullptr || !json_object_is_type(o, json_type_object)) {
        if (o) json_object_put(o);
        error = "cannot read scenario " + path;
        return false;
    }
    json_object_put(root_);
    root_ = o;
    return true;
}

json_object* Scenario::find(const std::string& path) const {
    json_object* o = root_;
    for (const auto& p : split(path)) {
        o = child(o, p);
        if (o == nullptr) return nullptr;
    }
    return o;
}

std::string Scenario::str(const std::string& path, const std::string& fallback) const {
    json_object* o = find(path);
    if (o == nullptr || json_object_is_type(o, json_type_null)) return fallback;
    return json_object_get_string(o);
}

int64_t Scenario::num(const std::string& path, int64_t fallback) const {
    json_object* o = find(path);
    if (o == nullptr || json_object_is_type(o, json_type_null)) return fallback;
    if (json_object_is_type(o, json_type_string)) return strtoll(json_object_get_string(o), nullptr, 0);
    return json_object_get_int64(o);
}

bool Scenario::flag(const std::string& path, bool fallback) const {
    json_object* o = find(path);
    if (o == nullptr || json_object_is_type(o, json_type_null)) return fallback;
    return json_object_get_boolean(o);
}

bool Scenario::set(const std::string& path, json_object* value) {
    auto parts = split(path);
    if (parts.empty()) {
        json_object_put(value);
        return false;
    }
    json_object* o = root_;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        json_object* next = child(o, parts[i]);
        if (next == nullptr) {
            if (!json_object_is_type(o, json_type_object)) {
                json_object_put(value);
                return false;
            }
            next = json_object_new_object();
            json_object_object_add(o, parts[i].c_str(), next);
        }
        o = next;
    }
    const std::string& last = parts.back();
    if (json_object_is_type(o, json_type_array)) {
        char* end = nullptr;
        long i = strtol(last.c_str(), &end, 10);
        if (*end != '\0' || i < 0 || i > 64) {
            json_object_put(value);
            return false;
        }
        json_object_array_put_idx(o, static_cast<size_t>(i), value);
        return true;
    }
    if (!json_object_is_type(o, json_type_object)) {
        json_object_put(value);
        return false;
    }
    json_object_object_add(o, last.c_str(), value);
    return true;
}

std::string Scenario::dump(const std::string& path) const {
    json_object* o = path.empty() ? root_ : find(path);
    return o ? json_object_to_json_string_ext(o, JSON_C_TO_STRING_PLAIN) : "null";
}
