#pragma once
// Serves one answer's "requests" through syncWithCloud against the cloud
// simulator. The shell tools the daemon runs for a modem update ("sync",
// "sys_reboot") are stand-ins first on PATH that record their arguments.
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "cloud/camapi.h"
#include "cloud/maintenance.h"
#include "cloud/sync.h"
#include "cloud_fixture.h"
#include "core/config.h"
#include "core/log.h"

class RequestTest : public CloudTest {
protected:
    void SetUp() override {
        CloudTest::SetUp();
        root.mkdirs("/bin");
        for (const char* tool : {"sync", "sys_reboot"}) {
            std::string path = root.path(std::string("/bin/") + tool);
            root.write(std::string("/bin/") + tool,
                       "#!/bin/sh\necho \"$(basename \"$0\") $*\" >> \"$TRAILNETD_ROOT/calls.log\"\n");
            chmod(path.c_str(), 0755);
        }
        oldPath_ = getenv("PATH");
        setenv("PATH", (root.path("/bin") + ":" + oldPath_).c_str(), 1);
        camApiInit();  // as runSync does around its attempts
    }
    void TearDown() override {
        camApiCleanup();
        setenv("PATH", oldPath_.c_str(), 1);
        setSimWaitSleep(nullptr);
        CloudTest::TearDown();
    }

    // One sync whose answer carries `requests` (a JSON text) and nothing else.
    void serve(const std::string& requests) {
        sim().setScenario(R"({"auth": false, "answers": [{"uploads": null, "requests": )" + requests +
                          "}]}");
        char token[65] = "t";
        ASSERT_EQ(syncWithCloud(token, 0), 0) << log();
    }
    // A slot pointing at the simulator: "/upload/<name>" or "/files/<name>".
    std::string slot(const std::string& name, const std::string& path, const std::string& verb = "PUT") {
        return R"({"name": ")" + name + R"(", "host": "{base}", "path": ")" + path + R"(", "verb": ")" + verb +
               R"("})";
    }

    std::string uploadedBytes(const std::string& name) {
        std::ifstream in(sim().uploaded(name), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    bool uploaded(const std::string& name) {
        struct stat st;
        return stat(sim().uploaded(name).c_str(), &st) == 0;
    }
    std::string calls() { return root.read("/calls.log"); }
    bool logged(const std::string& text) { return logAt(text) != std::string::npos; }

    std::string oldPath_;
};
