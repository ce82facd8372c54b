#pragma once
// A small document interface over json-c: every node handle given out is
// recorded in the document's list, and one cleanup releases them all.
#include <json-c/json.h>

#include <cstdint>

#include "LinkedList.h"

struct JsonNode {
    json_object* obj;  // may be null (text that did not parse, index past the end)
    int is_array;
};

struct JsonHelper {
    JsonNode* root;
    LinkedList* first;
    LinkedList* last;
};

void JsonHelperInit(JsonHelper* doc);
JsonNode* JsonHelperAddNode(JsonHelper* doc, JsonNode* parent, const char* key);
JsonNode* JsonHelperAddArrayNode(JsonHelper* doc, JsonNode* parent, const char* key);
JsonNode* JsonHelperAddString(JsonHelper* doc, JsonNode* parent, const char* key,
                              const char* text);
JsonNode* JsonHelperAddInt(JsonHelper* doc, JsonNode* parent, const char* key, int32_t value);
const char* JsonHelperToString(JsonHelper* doc);
JsonNode* JsonHelperFromString(JsonHelper* doc, const char* text);
JsonNode* JsonHelperGetNode(JsonHelper* doc, JsonNode* node, const char* name);
int JsonHelperGetArrayNodeCount(JsonNode* node);
JsonNode* JsonHelperGetArrayNode(JsonHelper* doc, JsonNode* node, int index);
const char* JsonHelperGetString(JsonNode* node, const char* name);
int JsonHelperGetInt(JsonNode* node, const char* name);
// Releases every node and the tree; JsonHelperInit must follow before reuse.
void JsonHelperCleanup(JsonHelper* doc);
