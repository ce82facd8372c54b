// Power cuts during resumable uploads: a child process runs the sync against
// the cloud simulator over a slowed link and is killed (SIGKILL) at a seeded
// random byte count up the link: before its upload record, between the record and the first
// byte, mid-PATCH, after the last byte and before the picture's deletion.
// No picture may be lost, none deleted before the server held all of it, and
// no byte may reach the server twice: each upload received exactly what it
// holds. TN_CUT_SEED repeats a run.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "cloud/cloud_fixture.h"
#include "cloud/sync.h"
#include "cloud/tus.h"
#include "invariants.h"
#include "support/linksim.h"
#include "support/rounds.h"

namespace {

using Ms = std::chrono::milliseconds;

class TusCuts : public CloudTest {};

TEST_F(TusCuts, KillsDuringResumableUploadsLoseNothingAndSendNoByteTwice) {
    const unsigned seed = rounds::seed(20261208);
    const int kCuts = rounds::count("TN_CUTS", 16, 6);
    printf("power cuts during resumable uploads: %d cuts, seed %u\n", kCuts, seed);
    std::mt19937 rng(seed);
    // 250 kB/s: a picture takes a few hundred milliseconds, so kills land in
    // its bytes as often as around them.
    LinkSim link(sim(), "lan", {"--set", "up_bps=2000000"});
    snprintf(daemonConfig().host, sizeof daemonConfig().host, "%s", sim().hostPort().c_str());
    daemonConfig().uploadPictureCount = 2;

    robust::Pictures made;
    int next = 1;
    auto makePicture = [&] {
        char name[32];
        snprintf(name, sizeof name, "TUS%05d.JPG", next);
        // Even seconds: the FAT card keeps two-second times.
        made[name] = picture(name, 20000 + rng() % 60000, 1700000000 + 2 * next);
        next++;
    };
    for (int i = 0; i < 3; i++) makePicture();
    const std::string transmit = root.path("/media/sdcard/TRANSMIT");
    const std::string cloud = sim().workdir() + "/uploads";

    sim().setScenario(R"({"tus": {"url": "same"}})");
    EXPECT_EQ(runSync(0), 0);

    auto noByteTwice = [&](const std::string& when) {
        CloudSimJson uploads = sim().tusUploads();
        for (size_t i = 0; i < json_object_array_length(uploads.get()); i++) {
            json_object* u = json_object_array_get_idx(uploads.get(), i);
            EXPECT_EQ(json_object_get_int64(member(u, "received")), json_object_get_int64(member(u, "offset")))
                << str(u, "name") << " got bytes twice " << when;
        }
    };
    int killed = 0;
    int partway = 0;  // cuts that left an upload with some of its bytes
    for (int cut = 0; cut < kCuts; cut++) {
        // Every other sync the cloud hands a fresh URL for a cut upload.
        sim().setScenario(cut % 2 == 0 ? R"({"tus": {"url": "same"}})" : R"({"tus": {"url": "fresh"}})");
        makePicture();
        // The cut falls after a seeded number of bytes up the link, anywhere
        // from the first handshake to past the last picture's end.
        long pending = 8000;
        for (const auto& [name, bytes] : made)
            if (inTransmit(name)) pending += static_cast<long>(bytes.size());
        const long target = link.counter("bytes_up") + static_cast<long>(rng() % pending);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) _exit(runSync(0) == 0 ? 0 : 1);
        int st = 0;
        pid_t ended = 0;
        while ((ended = waitpid(child, &st, WNOHANG)) == 0 && link.counter("bytes_up") < target)
            std::this_thread::sleep_for(Ms(1));
        if (ended == 0) {
            kill(child, SIGKILL);
            ASSERT_EQ(waitpid(child, &st, 0), child);
            killed++;
        }
        char when[64];
        snprintf(when, sizeof when, "after cut %d (seed %u)", cut, seed);
        robust::expectNoPictureLost(made, transmit, cloud, when);
        noByteTwice(when);
        CloudSimJson uploads = sim().tusUploads();
        for (size_t i = 0; i < json_object_array_length(uploads.get()); i++) {
            json_object* u = json_object_array_get_idx(uploads.get(), i);
            long offset = json_object_get_int64(member(u, "offset"));
            if (offset > 0 && offset < json_object_get_int64(member(u, "length"))) partway++;
        }
        if (HasFailure()) break;
    }
    printf("power cuts during resumable uploads: %d of %d runs killed before they ended, "
           "%d left an upload part-way\n", killed, kCuts, partway);
    EXPECT_GT(killed, 0);

    // Uncut syncs bring up the rest, still without a byte sent twice.
    for (int i = 0; i < 10 && robust::expectNoPictureLost(made, transmit, cloud, "draining") > 0; i++)
        EXPECT_EQ(runSync(0), 0);
    EXPECT_EQ(robust::expectNoPictureLost(made, transmit, cloud, "at the end"), 0u);
    noByteTwice("at the end");
    EXPECT_TRUE(tusLoadRecords().empty());
}

}  // namespace
