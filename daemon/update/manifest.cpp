#include "update/manifest.h"

#include <json-c/json.h>

#include <cstring>
#include <memory>
#include <string>

#include "camera/dsp_files.h"

namespace {

struct JsonPut {
    void operator()(json_object* o) const { json_object_put(o); }
};
using JsonPtr = std::unique_ptr<json_object, JsonPut>;

void readPart(json_object* root, const char* key, ManifestPart& part) {
    json_object* obj = nullptr;
    if (!json_object_object_get_ex(root, key, &obj)) return;
    part.present = true;
    json_object* v = nullptr;
    if (json_object_object_get_ex(obj, "version", &v)) {
        const char* s = json_object_get_string(v);
        snprintf(part.version, sizeof part.version, "%s", s ? s : "");
    }
    if (json_object_object_get_ex(obj, "forceUpdate", &v)) part.forceUpdate = json_object_get_boolean(v);
}

}  // namespace

UpdateManifest parseManifest(const char* line) {
    UpdateManifest m{};
    m.rollbackValid = true;
    if (line == nullptr) return m;
    std::string text(line, strnlen(line, 511));
    size_t eol = text.find_first_of("\r\n");
    if (eol != std::string::npos) text.resize(eol);
    if (text.empty()) return m;

    JsonPtr root(json_tokener_parse(text.c_str()));
    if (!root || !json_object_is_type(root.get(), json_type_object)) return m;
    m.parsed = true;

    json_object* v = nullptr;
    if (json_object_object_get_ex(root.get(), "keepUpdateFile", &v)) {
        m.hasKeepUpdateFile = true;
        m.keepUpdateFile = json_object_get_int(v);
    }
    if (json_object_object_get_ex(root.get(), "doBackup", &v)) {
        m.hasDoBackup = true;
        m.doBackup = json_object_get_int(v);
    }
    if (json_object_object_get_ex(root.get(), "rollback_index", &v)) {
        // json-c reads 1.5 or "2" as numbers too: only a JSON integer counts.
        m.rollbackIndex = json_object_get_int64(v);
        m.rollbackValid = json_object_is_type(v, json_type_int) && m.rollbackIndex >= 0;
        if (!m.rollbackValid) m.rollbackIndex = 0;
    }
    readPart(root.get(), "dsp", m.dsp);
    readPart(root.get(), "modem", m.modem);
    return m;
}

bool updateRequired(const ManifestPart& part, const char* currentVersion) {
    if (!part.present) return false;
    if (part.forceUpdate) return true;
    int wanted = parseVersion(part.version);
    int current = parseVersion(currentVersion ? currentVersion : "");
    return wanted >= 0 && current >= 0 && wanted > current;
}
