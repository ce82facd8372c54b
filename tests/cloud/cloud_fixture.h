#pragma once
// One cloud simulator for the whole test program, a fresh root tree and a
// zeroed daemon state per test. The daemon's requests go to the simulator
// over real TLS, verified against the CA it handed to the root tree.
#include <gtest/gtest.h>
#include <utime.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "camera/dsp_files.h"
#include "cellular/cellular_state.h"
#include "cloud/camapi.h"
#include "cloud/sync_clock.h"
#include "cloud/tus.h"
#include "core/config.h"
#include "core/identity.h"
#include "core/jsonutil.h"
#include "support/cloudsim.h"
#include "support/roottree.h"

// Real time plus the seconds the sync slept: the sync's waits cost nothing,
// its transfers what they really take (times `scale`, so a test with
// shortened windows can stand for the module's long ones). slept() counts
// the waits.
class VirtualSyncClock : public SyncClock {
public:
    void sleepSecond() override {
        offsetMs_ += 1000;
        slept_++;
        if (onSleep) onSleep();
    }
    long long nowMs() override {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return (static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000) * scale + offsetMs_;
    }
    long slept() const { return slept_; }
    long long scale = 1;
    // Runs after each second slept: the world moving on while the sync waits.
    std::function<void()> onSleep;

private:
    long long offsetMs_ = 0;
    long slept_ = 0;
};

class CloudTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { sim_ = new CloudSim(); }
    static void TearDownTestSuite() {
        delete sim_;
        sim_ = nullptr;
    }

    void SetUp() override {
        sim().reset();
        sim().setScenario("{}");
        std::filesystem::copy_file(sim().caFile(), root.path("/usrdata/cacert.pem"));
        root.mountCard(1);
        root.mkdirs("/media/sdcard/TRANSMIT");
        daemonConfig() = DaemonConfig{};
        resetDspFiles();
        snprintf(daemonConfig().host, sizeof daemonConfig().host, "%s", sim().hostPort().c_str());
        daemonConfig().transmitUser = true;
        daemonConfig().transmitAuto = true;
        daemonConfig().uploadPictureCount = 10;
        setModemImei("861234567890123");
        cellularState().dataConnected = 1;
        camApiLimits() = CamApiLimits{};
        tusForgetServers();
        setSyncClock(&clock);
    }
    void TearDown() override {
        cellularState().dataConnected = 0;
        setSyncClock(nullptr);
        camApiLimits() = CamApiLimits{};
    }

    VirtualSyncClock clock;

    CloudSim& sim() { return *sim_; }

    // A picture in the transmit folder with a given modification time.
    std::string picture(const std::string& name, size_t size, time_t mtime = 1700000000) {
        std::string bytes;
        for (size_t i = 0; i < size; i++) bytes += static_cast<char>((i * 7 + name.size()) & 0xff);
        root.write("/media/sdcard/TRANSMIT/" + name, bytes);
        struct utimbuf t = {mtime, mtime};
        utime(root.path("/media/sdcard/TRANSMIT/" + name).c_str(), &t);
        return bytes;
    }
    bool inTransmit(const std::string& name) { return root.exists("/media/sdcard/TRANSMIT/" + name); }
    std::string log() { return root.read("/media/sdcard/log.txt"); }
    // Position of a text in the log; npos when absent.
    size_t logAt(const std::string& text) { return log().find(text); }

    // Requests the simulator saw whose path starts with `prefix`.
    std::vector<json_object*> seen(const std::string& prefix) {
        seen_ = sim().requests();
        std::vector<json_object*> out;
        for (size_t i = 0; i < json_object_array_length(seen_.get()); i++) {
            json_object* r = json_object_array_get_idx(seen_.get(), i);
            if (str(r, "path").rfind(prefix, 0) == 0) out.push_back(r);
        }
        return out;
    }
    static std::string str(json_object* o, const char* key) {
        json_object* v = nullptr;
        return json_object_object_get_ex(o, key, &v) ? json_object_get_string(v) : "";
    }
    static json_object* member(json_object* o, const char* key) {
        json_object* v = nullptr;
        json_object_object_get_ex(o, key, &v);
        return v;
    }
    // The value of a request header as the simulator recorded it.
    static std::string header(json_object* request, const std::string& name) {
        json_object* list = member(request, "headers");
        for (size_t i = 0; i < json_object_array_length(list); i++) {
            json_object* pair = json_object_array_get_idx(list, i);
            std::string key = json_object_get_string(json_object_array_get_idx(pair, 0));
            if (strcasecmp(key.c_str(), name.c_str()) == 0)
                return json_object_get_string(json_object_array_get_idx(pair, 1));
        }
        return "<absent>";
    }

    RootTree root;

private:
    static inline CloudSim* sim_ = nullptr;
    CloudSimJson seen_;
};
