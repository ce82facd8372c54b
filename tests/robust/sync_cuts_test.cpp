// Power cuts during syncs: a child process runs the daemon's sync code against
// the cloud simulator and is killed (SIGKILL) at a random moment, again and
// again, with new pictures arriving in between. The same code runs in
// trailnetd; a kill loses the process's memory exactly as a power cut does.
// No picture may be lost or changed, the configuration must stay whole and
// the next sync must succeed. The seed is printed; TN_CUT_SEED repeats a run.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <thread>

#include "cloud/cloud_fixture.h"
#include "cloud/sync.h"
#include "invariants.h"
#include "support/rounds.h"

namespace {

using Ms = std::chrono::milliseconds;

class SyncCuts : public CloudTest {};

TEST_F(SyncCuts, HundredAndTwentyKillsDuringSyncsLoseNothing) {
    const unsigned seed = rounds::seed(20261207);
    const int kCuts = rounds::count("TN_CUTS", 120, 20);
    printf("power cuts during syncs: %d cuts, seed %u\n", kCuts, seed);
    RecordProperty("seed", static_cast<int>(seed));
    std::mt19937 rng(seed);
    ASSERT_EQ(saveDaemonConfig(), 1);
    daemonConfig().uploadPictureCount = 3;

    robust::Pictures made;
    int next = 1;
    auto makePicture = [&] {
        char name[32];
        snprintf(name, sizeof name, "CUT%05d.JPG", next);
        made[name] = picture(name, 2000 + rng() % 120000, 1700000000 + next);
        next++;
    };
    for (int i = 0; i < 3; i++) makePicture();

    const std::string transmit = root.path("/media/sdcard/TRANSMIT");
    const std::string cloud = sim().workdir() + "/uploads";
    // Kills are spread over the time an uncut sync of this machine takes
    // (sanitizer builds are slower), with some margin past its end.
    auto t0 = std::chrono::steady_clock::now();
    pid_t timed = fork();
    ASSERT_GE(timed, 0);
    if (timed == 0) _exit(runSync(0) == 0 ? 0 : 1);
    int timedStatus = 0;
    ASSERT_EQ(waitpid(timed, &timedStatus, 0), timed);
    ASSERT_TRUE(WIFEXITED(timedStatus) && WEXITSTATUS(timedStatus) == 0);
    long window = std::chrono::duration_cast<Ms>(std::chrono::steady_clock::now() - t0).count();
    window = window * 6 / 5 + 1;
    for (int i = 0; i < 6; i++) makePicture();
    int killedMidway = 0;
    for (int cut = 0; cut < kCuts; cut++) {
        // Some answers also carry settings, so saves of the configuration
        // get cut too.
        if (cut % 3 == 0)
            sim().setScenario(R"({"answer": {"uploads": "auto", "config": {"transmitFreq": 3,
                "transmitTime": {"hour": 7, "minute": 15}, "cellular": true}}})");
        else
            sim().setScenario("{}");
        if (cut % 2 == 0) makePicture();
        // A fresh token now and then, so its save is cut as well.
        if (cut % 5 == 0) daemonConfig().s3token[0] = '\0';
        fflush(stdout);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) _exit(runSync(0) == 0 ? 0 : 1);
        std::this_thread::sleep_for(Ms(rng() % window));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (WIFSIGNALED(status)) killedMidway++;
        char when[64];
        snprintf(when, sizeof when, "after cut %d (seed %u)", cut, seed);
        robust::expectConfigWhole(root.path("/etc/trailnetd_conf.json"), when);
        robust::expectNoPictureLost(made, transmit, cloud, when);
        if (HasFailure()) break;
        // What the next start would read: the record as the file holds it.
        daemonConfig() = DaemonConfig{};
        loadDaemonConfig();
        snprintf(daemonConfig().host, sizeof daemonConfig().host, "%s", sim().hostPort().c_str());
    }
    printf("power cuts during syncs: %d of %d runs killed before they ended (window %ld ms)\n",
           killedMidway, kCuts, window);
    EXPECT_GT(killedMidway, 0);

    // The next sync succeeds and brings up everything that was waiting.
    sim().setScenario("{}");
    for (int i = 0; i < 20 && robust::expectNoPictureLost(made, transmit, cloud, "draining") > 0; i++)
        EXPECT_EQ(runSync(0), 0);
    EXPECT_EQ(robust::expectNoPictureLost(made, transmit, cloud, "at the end"), 0u);
}

}  // namespace
