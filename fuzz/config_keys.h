#pragma once
// The daemon configuration file as the camera relies on it: one JSON object
// holding every key, each of its type.
#include <json-c/json.h>

#include <fstream>
#include <sstream>
#include <string>

namespace configkeys {

struct Key {
    const char* name;
    json_type type;
};

inline const Key* keys(size_t* count) {
    static const Key kKeys[] = {
        {"powerOnTime", json_type_int},       {"tempUnit", json_type_string},
        {"firstSyncHour", json_type_int},     {"firstSyncMin", json_type_int},
        {"syncFreq", json_type_int},          {"battType", json_type_int},
        {"s3token", json_type_string},        {"host", json_type_string},
        {"requestUpdateReset", json_type_int}, {"dspVersion", json_type_string},
        {"dspWantedVersion", json_type_string}, {"requestDspUpdate", json_type_int},
        {"uploadPictureCount", json_type_int}, {"transmitUser", json_type_boolean},
        {"transmitAuto", json_type_boolean},
    };
    *count = sizeof kKeys / sizeof kKeys[0];
    return kKeys;
}

// Empty when the text is a complete configuration; otherwise what is wrong.
inline std::string problems(const std::string& text) {
    json_tokener* tok = json_tokener_new();
    json_object* root = json_tokener_parse_ex(tok, text.c_str(), static_cast<int>(text.size()));
    bool complete = json_tokener_get_error(tok) == json_tokener_success;
    json_tokener_free(tok);
    if (root == nullptr || !complete || !json_object_is_type(root, json_type_object)) {
        json_object_put(root);
        return "not one JSON object: " + text.substr(0, 200);
    }
    std::string out;
    size_t n = 0;
    const Key* k = keys(&n);
    for (size_t i = 0; i < n; i++) {
        json_object* v = nullptr;
        if (!json_object_object_get_ex(root, k[i].name, &v))
            out += std::string("missing ") + k[i].name + "; ";
        else if (!json_object_is_type(v, k[i].type))
            out += std::string("wrong type of ") + k[i].name + "; ";
    }
    json_object_put(root);
    return out;
}

inline std::string fileProblems(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "cannot open " + path;
    std::stringstream ss;
    ss << in.rdbuf();
    return problems(ss.str());
}

}  // namespace configkeys
