// Power cuts under PicTrimApp: the real program with its picture folder on a
// power-cut card (sim/card) that forgets what was not flushed, the cloud
// simulator as the server. Each round the DSP leaves three new pictures (one
// with EXIF and a thumbnail, one without EXIF, one whose width already
// matches, so it is only optimised); a run starts and the power goes at a
// seeded operation of the card, half the rounds within the image stage, half
// within the upload stage; then a run to completion. Checked every round:
//   - after the cut, each picture is in the folder as the DSP left it or as
//     the one processed version of it, or on the server as that version;
//   - after the run to completion, each is on the server exactly as processed
//     once (which also says: decodes, target size, EXIF kept, no thumbnail,
//     not shrunk twice), none is left in the folder, sent.txt lists it, and
//     no work file is left;
//   - how often a picture was uploaded twice is counted and printed.
// The processed version is what the image stage makes of the picture on a
// plain folder, uncut.
// TN_PICTRIM_CUTS sets the number of rounds (the long run:
// scripts/power-cuts-pictrim), TN_CUT_SEED the seed; both are printed.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <json-c/json.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ImageHelper.h"
#include "Logger.h"
#include "SafeFile.h"
#include "cloudsim.h"
#include "pictures.h"
#include "powercard.h"
#include "rounds.h"

namespace {

constexpr int kWidth = 240, kHeight = 180, kPercent = 50;

struct Base {
    const char* suffix;
    pictures::Bytes original;
    pictures::Bytes processed;
};

std::vector<Base> makeBases() {
    std::vector<Base> bases;
    pictures::Options a;
    a.width = 480;
    a.height = 360;
    a.comment = true;
    pictures::Options b;
    b.width = 400;
    b.height = 300;
    b.exif = false;
    pictures::Options c;  // the width matches: optimised, not resized
    c.width = kWidth;
    c.height = 200;
    bases.push_back({"A.JPG", pictures::make(a), ""});
    bases.push_back({"B.jpg", pictures::make(b), ""});
    bases.push_back({"C.JPG", pictures::make(c), ""});
    return bases;
}

struct Counts {
    int rounds = 0, inImage = 0, inUpload = 0, afterRun = 0;
    int workFilesAfterCut = 0, processedAfterCut = 0, uploadedBeforeCut = 0;
    int lost = 0, broken = 0, leftover = 0, unlisted = 0, notSent = 0;
    int secondUploads = 0;
    long pictures = 0;
};

class PicTrimCuts : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = powercard::whyNot();
        if (!why.empty()) GTEST_SKIP() << why;
        char t[] = "/tmp/pictrimcut.XXXXXX";
        top_ = mkdtemp(t);
        std::filesystem::create_directories(top_ + "/medium");
        std::filesystem::create_directories(top_ + "/card");
        cloud.reset(new CloudSim());
        const std::string m = top_ + "/medium/";
        pictures::writeFile(m + "jpegoptim", pictures::readFile(JPEGOPTIM_PROGRAM));
        chmod((m + "jpegoptim").c_str(), 0755);
        pictures::writeFile(m + "cacert.pem", pictures::readFile(cloud->caFile()));
        pictures::writeFile(m + ".token", "tok");
        card.reset(new powercard::Card(top_ + "/medium", top_ + "/card", top_ + "/card.sock"));
        folder_ = top_ + "/card/";
        bases = makeBases();
        referenceVersions();
    }
    void TearDown() override {
        card.reset();
        cloud.reset();
        if (!top_.empty()) std::filesystem::remove_all(top_);
    }

    // What the image stage makes of each picture, uncut, on a plain folder.
    void referenceVersions() {
        const std::string plain = top_ + "/plain/";
        std::filesystem::create_directories(plain);
        pictures::writeFile(plain + "jpegoptim", pictures::readFile(JPEGOPTIM_PROGRAM));
        chmod((plain + "jpegoptim").c_str(), 0755);
        for (Base& b : bases) pictures::writeFile(plain + b.suffix, b.original);
        snprintf(LoggerFilePath, sizeof LoggerFilePath, "%slog.txt", plain.c_str());
        ImageParams p{kWidth, kHeight, kPercent};
        ASSERT_EQ(ImageHelperProcessFiles(plain.c_str(), &p), 0);
        LogReset();
        for (Base& b : bases) {
            b.processed = pictures::readFile(plain + b.suffix);
            ASSERT_NE(b.processed, b.original);
            int w = 0, h = 0, c = 0;
            ASSERT_TRUE(stbi_info((plain + b.suffix).c_str(), &w, &h, &c));
            ASSERT_EQ(w, kWidth);
            ASSERT_EQ(h, b.original == bases[2].original ? 200 : kHeight);
            ASSERT_TRUE(ImageHelperIsMarked(reinterpret_cast<const unsigned char*>(b.processed.data()),
                                            b.processed.size()));
        }
    }

    void scenario(bool withSlots) {
        cloud->reset();
        cloud->setScenario(withSlots ? R"({"auth": false})"
                                     : R"({"auth": false, "answer": {"uploads": []}})");
    }

    // The DSP's pictures of a round; it flushes its own writes.
    std::vector<std::pair<std::string, const Base*>> dspWrites(int round) {
        std::vector<std::pair<std::string, const Base*>> made;
        char prefix[16];
        snprintf(prefix, sizeof prefix, "R%03d", round);
        for (const Base& b : bases) {
            std::string name = std::string(prefix) + b.suffix;
            pictures::writeFile(folder_ + name, b.original);
            made.emplace_back(name, &b);
        }
        card->command("sync");
        return made;
    }

    // Runs PicTrimApp; a cut of the card ends it as the power would. With
    // cutAt 0 the run goes to its end. True when the cut fell inside it.
    bool runPicTrim(long cutAt) {
        if (cutAt > 0) card->command("cut-at " + std::to_string(cutAt));
        pid_t pid = fork();
        if (pid == 0) {
            // Its own group: the power takes the optimizer it runs down too.
            setpgid(0, 0);
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, 1);
            dup2(devnull, 2);
            execl(PICTRIMAPP_PROGRAM, PICTRIMAPP_PROGRAM, std::to_string(kWidth).c_str(),
                  std::to_string(kHeight).c_str(), std::to_string(kPercent).c_str(), folder_.c_str(),
                  "UCID1", cloud->hostPort().c_str(), "443", (char*)nullptr);
            _exit(127);
        }
        setpgid(pid, pid);
        std::atomic<bool> cutInside{false};
        std::thread watcher;
        if (cutAt > 0) {
            watcher = std::thread([&] {
                if (card->command("wait-cut 300", 310).rfind("cut", 0) == 0) {
                    // Not yet reaped (WNOWAIT below): the id is still the run's.
                    kill(-pid, SIGKILL);
                    cutInside = true;
                }
            });
        }
        siginfo_t si;
        waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOWAIT);
        if (cutAt > 0) {
            // The run ended before its cut came: the power goes right after it.
            if (!cutInside) card->power(false);
            watcher.join();
            card->command("cut-clear");
            card->power(true);
        }
        int st = 0;
        waitpid(pid, &st, 0);
        return cutInside;
    }

    long ops() const { return card->stat("ops"); }

    std::vector<std::string> listing() const {
        std::vector<std::string> names;
        DIR* d = opendir(folder_.c_str());
        if (!d) return names;
        while (dirent* e = readdir(d)) names.emplace_back(e->d_name);
        closedir(d);
        return names;
    }
    bool inFolder(const std::string& name) const {
        struct stat st;
        return stat((folder_ + name).c_str(), &st) == 0;
    }
    pictures::Bytes onServer(const std::string& name) const {
        return inServer(name) ? pictures::readFile(cloud->uploaded(name)) : "";
    }
    bool inServer(const std::string& name) const {
        return std::filesystem::exists(cloud->uploaded(name));
    }
    // Uploads of `name` the server took whole.
    int completedUploads(const std::string& name) {
        CloudSimJson records = cloud->requests();
        int n = 0;
        for (size_t i = 0; i < json_object_array_length(records.get()); i++) {
            json_object* r = json_object_array_get_idx(records.get(), i);
            json_object *path = nullptr, *status = nullptr;
            if (!json_object_object_get_ex(r, "path", &path) ||
                !json_object_object_get_ex(r, "status", &status))
                continue;
            std::string p = json_object_get_string(path);
            if (p == "/upload/" + name && json_object_get_int(status) / 100 == 2) n++;
        }
        return n;
    }

    // The folder and the server right after a cut.
    void checkAfterCut(const std::vector<std::pair<std::string, const Base*>>& made, Counts& c,
                       std::string& why) {
        for (const std::string& n : listing())
            if (SafeFileIsLeftover(n.c_str())) c.workFilesAfterCut++;
        for (const auto& [name, base] : made) {
            if (inFolder(name)) {
                pictures::Bytes now = pictures::readFile(folder_ + name);
                if (now == base->processed) {
                    c.processedAfterCut++;
                } else if (now != base->original) {
                    c.broken++;
                    why += name + " in the folder is neither as made nor as processed (" +
                           std::to_string(now.size()) + " bytes); ";
                }
            } else if (onServer(name) == base->processed) {
                c.uploadedBeforeCut++;
            } else {
                c.lost++;
                why += name + " lost at the cut; ";
            }
        }
    }

    // The folder, the server and sent.txt after a run to completion.
    void checkAfterRun(const std::vector<std::pair<std::string, const Base*>>& made, Counts& c,
                       std::string& why) {
        for (const std::string& n : listing())
            if (SafeFileIsLeftover(n.c_str())) {
                c.leftover++;
                why += "work file " + n + " left; ";
            }
        const pictures::Bytes sent = pictures::readFile(folder_ + "sent.txt");
        for (const auto& [name, base] : made) {
            c.pictures++;
            if (inFolder(name)) {
                c.notSent++;
                why += name + " still in the folder; ";
            }
            if (!inServer(name)) {
                c.lost++;
                why += name + " not on the server; ";
            } else if (onServer(name) != base->processed) {
                c.broken++;
                why += name + " on the server is not the picture processed once; ";
            }
            if (sent.find(name + "\r\n") == std::string::npos) {
                c.unlisted++;
                why += name + " not in sent.txt; ";
            }
            if (completedUploads(name) > 1) c.secondUploads++;
        }
    }

    std::string top_, folder_;
    std::unique_ptr<CloudSim> cloud;
    std::unique_ptr<powercard::Card> card;
    std::vector<Base> bases;
};

}  // namespace

TEST_F(PicTrimCuts, NoPictureLostOrShrunkTwiceAcrossCuts) {
    const int rounds = rounds::count("TN_PICTRIM_CUTS", 6, 2);
    const unsigned seed = rounds::seed(2028);
    printf("pictrim cuts: %d rounds, seed %u\n", rounds, seed);
    std::mt19937 rng(seed);
    Counts c;
    std::string why;

    // Round 0, uncut: how many card operations each stage takes.
    auto made = dspWrites(0);
    scenario(false);
    card->command("reset");
    ASSERT_FALSE(runPicTrim(0));
    const long imageOps = ops();
    scenario(true);
    card->command("reset");
    ASSERT_FALSE(runPicTrim(0));
    const long uploadOps = ops();
    checkAfterRun(made, c, why);
    ASSERT_TRUE(why.empty()) << why;
    ASSERT_GT(imageOps, 0);
    ASSERT_GT(uploadOps, 0);
    printf("pictrim cuts: %ld card operations in the image stage, %ld in the upload stage\n",
           imageOps, uploadOps);
    c = Counts();

    for (int r = 1; r <= rounds; r++) {
        made = dspWrites(r);
        scenario(true);
        const bool upload = r % 2 == 0;
        // A few past the upload stage's end: the power may also go after a whole run.
        const long at = upload ? imageOps + std::uniform_int_distribution<long>(1, uploadOps + 3)(rng)
                               : std::uniform_int_distribution<long>(1, imageOps)(rng);
        const bool inside = runPicTrim(at);
        c.rounds++;
        if (!inside)
            c.afterRun++;
        else if (upload)
            c.inUpload++;
        else
            c.inImage++;
        std::string roundWhy;
        checkAfterCut(made, c, roundWhy);
        runPicTrim(0);
        checkAfterRun(made, c, roundWhy);
        if (!roundWhy.empty())
            why += "round " + std::to_string(r) + " (cut at " + std::to_string(at) + "): " + roundWhy + "\n";
        printf("round %3d: cut at op %4ld (%s)%s\n", r, at,
               !inside ? "after the run" : upload ? "upload stage" : "image stage",
               roundWhy.empty() ? "" : " BROKEN");
    }
    printf("pictrim cuts: %d rounds (%d in the image stage, %d in the upload stage, %d after the run), "
           "%ld pictures\n",
           c.rounds, c.inImage, c.inUpload, c.afterRun, c.pictures);
    printf("pictrim cuts: after the cut %d processed in the folder, %d already on the server, "
           "%d work files left (all removed by the next run)\n",
           c.processedAfterCut, c.uploadedBeforeCut, c.workFilesAfterCut);
    printf("pictrim cuts: lost %d, broken %d, left in the folder %d, unlisted %d, work files "
           "after a whole run %d; uploaded a second time %d\n",
           c.lost, c.broken, c.notSent, c.unlisted, c.leftover, c.secondUploads);
    EXPECT_TRUE(why.empty()) << why;
}
