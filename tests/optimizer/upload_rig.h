#pragma once
// The rig of the upload tests: a picture folder, the controller's
// parameters and one cloud simulator for the suite, which each test resets
// and gives its scenario; lookups in the simulator's record of requests.
#include <dirent.h>
#include <gtest/gtest.h>
#include <strings.h>

#include <memory>
#include <string>
#include <vector>

#include "CamApiController.h"
#include "Logger.h"
#include "cloudsim.h"
#include "folder.h"

class UploadRig : public ::testing::Test {
   protected:
    static void SetUpTestSuite() { sim = new CloudSim(); }
    static void TearDownTestSuite() {
        delete sim;
        sim = nullptr;
    }
    void SetUp() override {
        sim->reset();
        aim(*sim);
        LogReset();
        snprintf(LoggerFilePath, sizeof LoggerFilePath, "%slog.txt", folder.path().c_str());
        snprintf(params.ucid, sizeof params.ucid, "UCID1");
        snprintf(params.token, sizeof params.token, "tok-a");
        params.port = 443;
    }
    void TearDown() override { LogReset(); }

    // Points the controller (host and CA) at a simulator.
    void aim(CloudSim& at) {
        folder.copyIn(at.caFile(), "cacert.pem");
        snprintf(params.host, sizeof params.host, "%s", at.hostPort().c_str());
    }
    int upload() {
        int rc = CamApiControllerUploadProcess(folder.path().c_str(), &params);
        LogSave();
        return rc;
    }
    std::string log() const { return folder.read("log.txt"); }

    // The simulator's records whose path starts with prefix.
    std::vector<json_object*> seen(const std::string& prefix) { return seenAt(*sim, prefix); }
    std::vector<json_object*> seenAt(CloudSim& at, const std::string& prefix) {
        records = at.requests();
        std::vector<json_object*> out;
        for (size_t i = 0; i < json_object_array_length(records.get()); i++) {
            json_object* r = json_object_array_get_idx(records.get(), i);
            if (text(r, "path").rfind(prefix, 0) == 0) out.push_back(r);
        }
        return out;
    }
    static std::string text(json_object* o, const char* key) {
        json_object* v = nullptr;
        return json_object_object_get_ex(o, key, &v) ? json_object_get_string(v) : "";
    }
    // The first header of that name, or "<absent>"; count: how many there were.
    static std::string header(json_object* record, const std::string& name, int* count = nullptr) {
        json_object* list = nullptr;
        json_object_object_get_ex(record, "headers", &list);
        std::string first = "<absent>";
        int n = 0;
        for (size_t i = 0; i < json_object_array_length(list); i++) {
            json_object* kv = json_object_array_get_idx(list, i);
            if (strcasecmp(json_object_get_string(json_object_array_get_idx(kv, 0)),
                           name.c_str()) == 0 &&
                n++ == 0)
                first = json_object_get_string(json_object_array_get_idx(kv, 1));
        }
        if (count) *count = n;
        return first;
    }
    // The folder's .jpg names in listing order.
    std::vector<std::string> listing() const {
        std::vector<std::string> names;
        DIR* d = opendir(folder.path().c_str());
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n.size() > 4 && strcasecmp(n.c_str() + n.size() - 4, ".jpg") == 0)
                names.push_back(n);
        }
        closedir(d);
        return names;
    }

    static inline CloudSim* sim = nullptr;
    PictureFolder folder;
    CamApiParams params{};
    CloudSimJson records;
};
