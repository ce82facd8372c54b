#include <gtest/gtest.h>

#include <string>

#include "JsonHelper.h"

namespace {

// A document that is always cleaned up, whatever the test does.
struct Doc : JsonHelper {
    Doc() { JsonHelperInit(this); }
    ~Doc() { JsonHelperCleanup(this); }
};

int listLength(const JsonHelper& d) {
    int n = 0;
    for (LinkedList* i = d.first; i; i = i->next) n++;
    return n;
}

}  // namespace

TEST(JsonHelper, BuildsTheUploadsAnnouncement) {
    Doc d;
    JsonNode* root = JsonHelperAddNode(&d, nullptr, nullptr);
    ASSERT_NE(root, nullptr);
    JsonNode* uploads = JsonHelperAddArrayNode(&d, root, "uploads");
    ASSERT_NE(uploads, nullptr);
    EXPECT_EQ(uploads->is_array, 1);
    JsonNode* item = JsonHelperAddNode(&d, uploads, "ignored for arrays");
    ASSERT_NE(item, nullptr);
    EXPECT_NE(JsonHelperAddString(&d, item, "name", "PICT0001.JPG"), nullptr);
    EXPECT_NE(JsonHelperAddInt(&d, item, "size", 123456), nullptr);
    EXPECT_STREQ(JsonHelperToString(&d),
                 "{ \"uploads\": [ { \"name\": \"PICT0001.JPG\", \"size\": 123456 } ] }");
    EXPECT_EQ(listLength(d), 5);
    EXPECT_EQ(d.root, root);

    // Refusals leave the tree as it was.
    EXPECT_EQ(JsonHelperAddString(&d, item, nullptr, "x"), nullptr);
    EXPECT_EQ(JsonHelperAddNode(&d, nullptr, nullptr), nullptr);
    EXPECT_EQ(JsonHelperAddString(&d, nullptr, "k", "x"), nullptr);
    EXPECT_EQ(JsonHelperAddInt(&d, nullptr, "k", 1), nullptr);
    EXPECT_EQ(JsonHelperAddArrayNode(&d, nullptr, "k"), nullptr);
    EXPECT_EQ(d.root, root);
    EXPECT_EQ(listLength(d), 5);
    EXPECT_STREQ(JsonHelperToString(&d),
                 "{ \"uploads\": [ { \"name\": \"PICT0001.JPG\", \"size\": 123456 } ] }");
}

TEST(JsonHelper, ReadsAnAnswerWithoutTypeChecks) {
    Doc d;
    const char* answer =
        "{\"uploads\":[{\"name\":\"a.jpg\",\"size\":12,\"headers\":[{\"name\":\"N\",\"value\":\"V\"}]},"
        "{\"name\":\"b.jpg\",\"size\":\"34\",\"gone\":null}],\"n\":7}";
    ASSERT_NE(JsonHelperFromString(&d, answer), nullptr);
    EXPECT_EQ(JsonHelperFromString(&d, answer), nullptr);  // a second root is refused

    JsonNode* uploads = JsonHelperGetNode(&d, nullptr, "uploads");
    ASSERT_NE(uploads, nullptr);
    EXPECT_EQ(JsonHelperGetArrayNodeCount(uploads), 2);
    EXPECT_EQ(JsonHelperGetNode(&d, uploads, "name"), nullptr);  // arrays have no members

    JsonNode* a = JsonHelperGetArrayNode(&d, uploads, 0);
    EXPECT_STREQ(JsonHelperGetString(a, "name"), "a.jpg");
    EXPECT_STREQ(JsonHelperGetString(a, "size"), "12");  // json-c's text of the number
    EXPECT_EQ(JsonHelperGetInt(a, "size"), 12);
    EXPECT_EQ(JsonHelperGetInt(a, "verb"), -1);
    EXPECT_EQ(JsonHelperGetString(a, "verb"), nullptr);
    JsonNode* headers = JsonHelperGetNode(&d, a, "headers");
    EXPECT_EQ(JsonHelperGetArrayNodeCount(headers), 1);
    EXPECT_STREQ(JsonHelperGetString(JsonHelperGetArrayNode(&d, headers, 0), "value"), "V");

    JsonNode* b = JsonHelperGetArrayNode(&d, uploads, 1);
    EXPECT_EQ(JsonHelperGetInt(b, "size"), 34);  // json-c converts the string
    EXPECT_EQ(JsonHelperGetString(b, "gone"), nullptr);

    JsonNode* past = JsonHelperGetArrayNode(&d, uploads, 2);
    ASSERT_NE(past, nullptr);
    EXPECT_EQ(past->obj, nullptr);
    EXPECT_EQ(JsonHelperGetString(past, "name"), nullptr);
    EXPECT_EQ(JsonHelperGetArrayNode(&d, a, 0), nullptr);  // not an array

    EXPECT_EQ(JsonHelperGetArrayNodeCount(a), 0);
    EXPECT_EQ(JsonHelperGetArrayNodeCount(nullptr), 0);
    EXPECT_EQ(JsonHelperGetNode(&d, nullptr, nullptr), nullptr);
    EXPECT_EQ(JsonHelperGetInt(d.root, "n"), 7);
}

TEST(JsonHelper, TextThatIsNotJsonGivesAnEmptyDocument) {
    Doc d;
    JsonNode* root = JsonHelperFromString(&d, "<html>Gateway says hello</html>");
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->obj, nullptr);
    EXPECT_EQ(JsonHelperGetNode(&d, nullptr, "uploads"), nullptr);
    EXPECT_EQ(JsonHelperFromString(&d, nullptr), nullptr);

    // A root that is an array is still taken as an object: lookups find nothing.
    Doc arr;
    JsonNode* r = JsonHelperFromString(&arr, "[1,2]");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->is_array, 0);
    EXPECT_EQ(JsonHelperGetArrayNodeCount(r), 0);
}

TEST(JsonHelper, CleanupThenInitAllowsANewDocument) {
    JsonHelper d;
    JsonHelperInit(&d);
    JsonNode* root = JsonHelperAddNode(&d, nullptr, nullptr);
    JsonHelperAddString(&d, root, "k", "v");
    // A node found by lookup holds a reference of its own; cleanup drops all.
    ASSERT_NE(JsonHelperGetNode(&d, nullptr, "k"), nullptr);
    JsonHelperCleanup(&d);
    JsonHelperInit(&d);
    ASSERT_NE(JsonHelperFromString(&d, "{\"uploads\":[]}"), nullptr);
    EXPECT_EQ(JsonHelperGetArrayNodeCount(JsonHelperGetNode(&d, nullptr, "uploads")), 0);
    JsonHelperCleanup(&d);
}

TEST(LinkedList, DeleteUnlinksFromThePreviousAndCallsTheDestructor) {
    static int destroyed;
    destroyed = 0;
    auto count = [](void*) { destroyed++; };
    LinkedList* a = LinkedListAdd(nullptr, count, nullptr);
    LinkedList* b = LinkedListAdd(nullptr, count, a);
    LinkedList* c = LinkedListAdd(nullptr, nullptr, b);
    LinkedList* d = LinkedListAdd(nullptr, count, c);
    ASSERT_TRUE(a && b && c && d);
    EXPECT_EQ(a->next, b);
    EXPECT_EQ(d->prev, c);

    LinkedListDeleteRecursive(c);  // c and d go; b ends the list
    EXPECT_EQ(b->next, nullptr);
    EXPECT_EQ(destroyed, 1);
    LinkedListDelete(b);
    EXPECT_EQ(a->next, nullptr);
    EXPECT_EQ(destroyed, 2);
    LinkedListDelete(a);
    EXPECT_EQ(destroyed, 3);
    LinkedListDelete(nullptr);
    LinkedListDeleteRecursive(nullptr);
}
