#pragma once
// The simulated MCM service: one answer per request, built from the scenario.
// Each service family is one handler function in a file of its own, listed
// in the family table of mcm_service.cpp.
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "scenario.h"

struct McmContext {
    Scenario& sc;
    std::string root;  // the root tree
    // Sends an indication to every connected client.
    std::function<void(uint32_t msgId, const std::vector<uint8_t>& data)> indicate;
};

struct McmAnswer {
    int32_t status = 0;          // library-level result; non-zero sends no record
    std::vector<uint8_t> bytes;  // the answer record

    template <class T>
    void set(const T& record) {
        bytes.resize(sizeof record);
        memcpy(bytes.data(), &record, sizeof record);
    }
};

// false when the family does not know the message.
using McmFamilyHandler = bool (*)(McmContext& ctx, uint32_t msgId, const std::vector<uint8_t>& req,
                                  McmAnswer& out);

McmAnswer mcmAnswer(McmContext& ctx, uint32_t msgId, const std::vector<uint8_t>& req);

// Families.
bool mcmClientFamily(McmContext& ctx, uint32_t msgId, const std::vector<uint8_t>& req, McmAnswer& out);
bool mcmSmsFamily(McmContext& ctx, uint32_t msgId, const std::vector<uint8_t>& req, McmAnswer& out);
bool mcmVoiceFamily(McmContext& ctx, uint32_t msgId, const std::vector<uint8_t>& req, McmAnswer& out);
bool mcmSimFamily(McmContext& ctx, uint32_t msgId, const std::vector<uint8_t>& req, McmAnswer& out);
bool mcmNwFamily(McmContext& ctx, uint32_t msgId, const std::vector<uint8_t>& req, McmAnswer& out);
bool mcmDmFamily(McmContext& ctx, uint32_t msgId, const std::vector<uint8_t>& req, McmAnswer& out);

// Helpers for family handlers.
void copyText(char* dst, size_t n, const std::string& s);  // NUL-terminated, cut to n-1
template <class T>
T requestAs(const std::vector<uint8_t>& req) {
    T t;
    memset(&t, 0, sizeof t);
    memcpy(&t, req.data(), req.size() < sizeof t ? req.size() : sizeof t);
    return t;
}
struct McmSimCardStatus;
McmSimCardStatus simCardStatus(Scenario& sc);  // of the connected slot
std::string hexId(uint32_t msgId);  // "0x2a1", the key of scenario.errors
std::string hexBytes(const std::vector<uint8_t>& bytes);
