#include "JsonHelper.h"

#include <cstdlib>

namespace {

void deleteNode(void* data) {
    auto* node = static_cast<JsonNode*>(data);
    if (!node) return;
    json_object_put(node->obj);
    free(node);
}

// Records the node in the document; on failure the node is released.
JsonNode* registerNode(JsonHelper* doc, JsonNode* node) {
    LinkedList* item = LinkedListAdd(node, deleteNode, doc->last);
    if (!item) {
        deleteNode(node);
        return nullptr;
    }
    doc->last = item;
    if (!doc->first) doc->first = item;
    return node;
}

// A node of its own for a value found in (or just attached to) the tree.
JsonNode* wrapFound(JsonHelper* doc, json_object* obj) {
    auto* node = static_cast<JsonNode*>(calloc(1, sizeof(JsonNode)));
    if (!node) return nullptr;
    node->obj = json_object_get(obj);
    node->is_array = obj && json_object_get_type(obj) == json_type_array;
    return registerNode(doc, node);
}

// Attaches a freshly made value (its creation reference) to the parent.
JsonNode* attach(JsonHelper* doc, JsonNode* parent, const char* key, json_object* value) {
    if (!value) return nullptr;
    if (!parent) {
        json_object_put(value);
        return nullptr;
    }
    if (parent->is_array) {
        if (json_object_array_add(parent->obj, value) != 0) {
            json_object_put(value);
            return nullptr;
        }
    } else if (key) {
        if (json_object_object_add(parent->obj, key, value) != 0) {
            json_object_put(value);
            return nullptr;
        }
    } else {
        json_object_put(value);
        return nullptr;
    }
    // The parent now holds the creation reference; the node takes its own.
    return wrapFound(doc, value);
}

}  // namespace

void JsonHelperInit(JsonHelper* doc) {
    if (!doc) return;
    doc->root = nullptr;
    doc->first = nullptr;
    doc->last = nullptr;
}

JsonNode* JsonHelperAddNode(JsonHelper* doc, JsonNode* parent, const char* key) {
    if (!doc) return nullptr;
    if (parent) return attach(doc, parent, key, json_object_new_object());
    if (doc->root) return nullptr;
    json_object* obj = json_object_new_object();
    if (!obj) return nullptr;
    auto* node = static_cast<JsonNode*>(calloc(1, sizeof(JsonNode)));
    if (!node) {
        json_object_put(obj);
        return nullptr;
    }
    node->obj = obj;
    doc->root = registerNode(doc, node);
    return doc->root;
}

JsonNode* JsonHelperAddArrayNode(JsonHelper* doc, JsonNode* parent, const char* key) {
    if (!doc || !parent) return nullptr;
    return attach(doc, parent, key, json_object_new_array());
}

JsonNode* JsonHelperAddString(JsonHelper* doc, JsonNode* parent, const char* key,
                              const char* text) {
    if (!doc || !parent || !text) return nullptr;
    return attach(doc, parent, key, json_object_new_string(text));
}

JsonNode* JsonHelperAddInt(JsonHelper* doc, JsonNode* parent, const char* key, int32_t value) {
    if (!doc || !parent) return nullptr;
    return attach(doc, parent, key, json_object_new_int(value));
}

const char* JsonHelperToString(JsonHelper* doc) {
    if (!doc || !doc->root) return nullptr;
    return json_object_to_json_string(doc->root->obj);
}

JsonNode* JsonHelperFromString(JsonHelper* doc, const char* text) {
    if (!doc || !text || doc->root) return nullptr;
    auto* node = static_cast<JsonNode*>(calloc(1, sizeof(JsonNode)));
    if (!node) return nullptr;
    node->obj = json_tokener_parse(text);  // null when the text is not JSON
    node->is_array = 0;
    doc->root = registerNode(doc, node);
    return doc->root;
}

JsonNode* JsonHelperGetNode(JsonHelper* doc, JsonNode* node, const char* name) {
    if (!doc || !doc->root || !name) return nullptr;
    if (!node) node = doc->root;
    if (node->is_array) return nullptr;
    json_object* member = nullptr;
    if (!json_object_object_get_ex(node->obj, name, &member)) return nullptr;
    return wrapFound(doc, member);
}

int JsonHelperGetArrayNodeCount(JsonNode* node) {
    if (!node || !node->is_array || !node->obj) return 0;
    return static_cast<int>(json_object_array_length(node->obj));
}

JsonNode* JsonHelperGetArrayNode(JsonHelper* doc, JsonNode* node, int index) {
    if (!doc || !node || !node->is_array) return nullptr;
    json_object* element = nullptr;
    if (index >= 0 && node->obj)
        element = json_object_array_get_idx(node->obj, static_cast<size_t>(index));
    return wrapFound(doc, element);
}

const char* JsonHelperGetString(JsonNode* node, const char* name) {
    json_object* member = nullptr;
    if (!node || !name || !json_object_object_get_ex(node->obj, name, &member)) return nullptr;
    return json_object_get_string(member);
}

int JsonHelperGetInt(JsonNode* node, const char* name) {
    json_object* member = nullptr;
    if (!node || !name || !json_object_object_get_ex(node->obj, name, &member)) return -1;
    return json_object_get_int(member);
}

void JsonHelperCleanup(JsonHelper* doc) {
    if (!doc) return;
    LinkedListDeleteRecursive(doc->first);
}
