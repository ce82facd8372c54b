// PicTrimApp's JSON helper over any answer text, walked the way the upload
// controller walks a camera answer: "uploads" slots with their strings,
// sizes and header lists, then a request built with
// what was read.
#include <cstdint>
#include <string>

#include "JsonHelper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    JsonHelper doc;
    JsonHelperInit(&doc);
    JsonNode* root = JsonHelperFromString(&doc, text.c_str());
    JsonNode* uploads = JsonHelperGetNode(&doc, root, "uploads");
    int n = JsonHelperGetArrayNodeCount(uploads);
    for (int i = -1; i <= n; i++) {
        JsonNode* slot = JsonHelperGetArrayNode(&doc, uploads, i);
        for (const char* key : {"name", "host", "path", "verb"}) {
            const char* s = JsonHelperGetString(slot, key);
            if (s != nullptr) (void)std::string(s).size();
        }
        (void)JsonHelperGetInt(slot, "size");
        JsonNode* headers = JsonHelperGetNode(&doc, slot, "headers");
        for (int h = 0, m = JsonHelperGetArrayNodeCount(headers); h < m; h++) {
            JsonNode* pair = JsonHelperGetArrayNode(&doc, headers, h);
            (void)JsonHelperGetString(pair, "name");
            (void)JsonHelperGetString(pair, "value");
        }
    }
    (void)JsonHelperGetString(root, "token");
    (void)JsonHelperGetInt(root, "code");
    // A name read from the answer goes into the next request built.
    std::string name;
    if (const char* s = JsonHelperGetString(JsonHelperGetArrayNode(&doc, uploads, 0), "name")) name = s;
    JsonHelperCleanup(&doc);

    JsonHelper out;
    JsonHelperInit(&out);
    JsonNode* body = JsonHelperAddNode(&out, nullptr, nullptr);
    JsonNode* list = JsonHelperAddArrayNode(&out, body, "uploads");
    JsonNode* item = JsonHelperAddNode(&out, list, nullptr);
    JsonHelperAddString(&out, item, "name", name.empty() ? text.c_str() : name.c_str());
    JsonHelperAddInt(&out, item, "size", static_cast<int32_t>(size));
    (void)JsonHelperToString(&out);
    JsonHelperCleanup(&out);
    return 0;
}
