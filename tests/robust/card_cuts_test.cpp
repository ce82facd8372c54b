// Power cuts as the card sees them: the real trailnetd with the modem, DSP
// and cloud simulators, its card, /etc and /usrdata on power-cut cards
// (sim/card) that forget what was not flushed. Each round puts new pictures
// and a status on the card (sometimes a settings request), starts the daemon
// on what survived the last cut and runs CELL and a SYNC or FIRSTSYNC, the
// cloud answering with uploads and settings; some rounds the cloud asks for
// the log or an HD picture (it repeats the log request until a camera PUT
// acknowledges it, as the service does), or the DSP leaves an update package
// on the card for the start to install. The power goes at a seeded random
// operation of the card, /etc or (while an update installs) /usrdata, or
// right after the answer. After every cut the invariants are counted:
//   - no picture lost: each is on the card as made, or in the cloud as made;
//   - none uploaded again once the DSP had its answer (still in TRANSMIT
//     after an answered SYNC though the cloud holds it);
//   - the configuration and config.dsp parse whole, and config.dsp holds the
//     settings of the last answered SYNC;
//   - no acknowledgement lost: a carried-out log request whose bit was on the
//     medium (or whose SYNC was answered) leaves the medium only with a
//     successful camera PUT carrying it;
//   - an update is not begun or complete once a start announced itself, and
//     a cut leaves its module files all of one version unless the install
//     marker (with its package) is on the medium;
//   - an HD picture asked for is in the cloud as it is on the card, or only
//     on the card.
// TN_CARD_CUTS sets the number of rounds (the nightly run: scripts/power-cuts),
// TN_CUT_SEED the seed; both are printed.
#include <json-c/json.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "card_rig.h"
#include "invariants.h"
#include "support/cloudsim.h"
#include "support/daemon_harness.h"
#include "support/fixture_shell.h"
#include "support/powercard.h"
#include "support/rounds.h"

namespace {

using harness::Ms;
using Clock = std::chrono::steady_clock;

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

int jsonInt(const std::string& text, const char* key, bool* whole) {
    json_object* o = json_tokener_parse(text.c_str());
    *whole = o != nullptr;
    json_object* v = nullptr;
    int n = o != nullptr && json_object_object_get_ex(o, key, &v) ? json_object_get_int(v) : -1;
    json_object_put(o);
    return n;
}

struct Counts {
    int rounds = 0, midCommand = 0, afterAnswer = 0, answered = 0, inStart = 0;
    int lost = 0, uploadedAgain = 0, configBroken = 0, settingsOlder = 0;
    long pictures = 0;
    // Scenario rounds and their invariants.
    int logRounds = 0, hdRounds = 0, updateRounds = 0, onUsrdata = 0;
    int logsCarried = 0, acksSent = 0, carriedBeforeItsBit = 0, ackLost = 0;
    int hdArrived = 0, hdBroken = 0, hdMissing = 0;
    int updatesComplete = 0, updateMarkedAtCut = 0, updateHalf = 0;
};

// The module files an update package brings; version 0 is on the module at first.
const char* const kModuleFiles[] = {"app/bin/app", "app/lib/libcam.so", "app/etc/app.conf"};
std::string moduleBytes(const char* file, int version) {
    return std::string(file) + " version " + std::to_string(version) + "\n";
}

bool isCameraPut(json_object* r) {
    json_object *path = nullptr, *method = nullptr;
    return json_object_object_get_ex(r, "path", &path) && json_object_object_get_ex(r, "method", &method) &&
           std::string(json_object_get_string(method)) == "PUT" &&
           std::string(json_object_get_string(path)).rfind("/camapi/v3/camera/", 0) == 0;
}
bool ok2xx(json_object* r) {
    json_object* status = nullptr;
    return json_object_object_get_ex(r, "status", &status) && json_object_get_int(status) / 100 == 2;
}
std::string pathOf(json_object* r) {
    json_object* path = nullptr;
    return json_object_object_get_ex(r, "path", &path) ? json_object_get_string(path) : "";
}
// A camera PUT body acknowledging a request: "requests": {"log": {"execute": false}}.
bool acknowledges(json_object* r, const char* request) {
    json_object *body = nullptr, *reqs = nullptr, *one = nullptr, *exec = nullptr;
    return json_object_object_get_ex(r, "json", &body) && json_object_object_get_ex(body, "requests", &reqs) &&
           json_object_object_get_ex(reqs, request, &one) && json_object_object_get_ex(one, "execute", &exec) &&
           !json_object_get_boolean(exec);
}

class CardCuts : public cardrig::CardRig {
protected:
    void prepareRoot() override {
        d.root().mkdirs("/usrdata/app/bin");
        d.root().mkdirs("/usrdata/app/lib");
        d.root().mkdirs("/usrdata/app/etc");
        for (const char* f : kModuleFiles) d.root().write(std::string("/usrdata/") + f, moduleBytes(f, 0));
    }
    void beforeTearDown() override {
        if (watcher_.joinable()) {
            for (auto* c : {"/media/sdcard", "/etc"}) (*cards)[c].command("cut");
            watcher_.join();
        }
    }
    std::string request(int transmitFreq) {
        return R"({"config": {"cellular": true, "transmitUser": true, "transmitAuto": true,)"
               R"( "transmitFreq": )" + std::to_string(transmitFreq) +
               R"(, "ssl": {"host": ")" + cloud->hostPort() + "\"}}}\n";
    }
    // Update package `version` (encrypted every other one) with its module
    // files and a post-update script, on the card as the DSP leaves it.
    void updateOnCard(int version) {
        const std::string b = d.root().path("/build/u" + std::to_string(version));
        std::string files;
        for (const char* f : kModuleFiles) {
            std::string p = b + "/" + f;
            std::filesystem::create_directories(p.substr(0, p.rfind('/')));
            writeFile(p, moduleBytes(f, version));
            files += std::string(" ") + f;
        }
        writeFile(b + "/manifest.json", R"({"doBackup": 1, "modem": {"version": "9.)" +
                                                   std::to_string(version) + R"(.0"}})" "\n");
        writeFile(b + "/post_update_script.sh", "#!/bin/sh\necho " + std::to_string(version) +
                                                           " >> \"$TRAILNETD_ROOT/usrdata/post.ran\"\n");
        std::string cmd = "tar -C '" + b + "' -cJf '" + b + ".tar.xz' manifest.json post_update_script.sh" + files;
        if (version % 2 == 0)
            cmd += " && openssl enc -aes-256-cbc -md md5 -pass pass:Kq7vTn2wXa9pLm4R -in '" + b +
                   ".tar.xz' -out '" + b + ".enc' 2>/dev/null && mv '" + b + ".enc' '" + b + ".tar.xz'";
        ASSERT_EQ(fixtureShell(cmd), 0) << cmd;
        dspWrites("/media/sdcard/update.tar.xz", robust::readAll(b + ".tar.xz"));
    }
    // The version all module files hold, or -1 when they differ.
    int moduleVersion() {
        int v = -2;
        for (const char* f : kModuleFiles) {
            std::string bytes = robust::readAll(d.root().path(std::string("/usrdata/") + f));
            int here = -1;
            for (int k = 0; k < 1000 && here < 0; k++)
                if (bytes == moduleBytes(f, k)) here = k;
            if (here < 0 || (v != -2 && here != v)) return -1;
            v = here;
        }
        return v;
    }
    bool packageLeft() {
        return d.root().exists("/media/sdcard/update.tar.xz") || d.root().exists("/usrdata/update.tar.xz");
    }
    int ackBits() {
        bool whole = true;
        int bits = jsonInt(robust::readAll(d.root().path("/etc/trailnetd_conf.json")), "requestUpdateReset", &whole);
        return bits < 0 ? 0 : bits;
    }

    // The cut falls on `card`: the daemon dies with the power and every card
    // keeps only what is durable. Runs on its own thread while a round runs.
    void armCut(const std::string& card, long at) {
        cut_ = false;
        (*cards)[card].command("cut-at " + std::to_string(at));
        watcher_ = std::thread([this, card] {
            std::string r = (*cards)[card].command("wait-cut 600", 700);
            if (r.rfind("cut", 0) == 0) {
                cut_ = true;
                // The medium stops first, then the daemon: nothing it does
                // after the cut can reach any card.
                cards->cut();
                pid_t pid = daemonPid_.load();
                if (pid > 0) proctree::killTree(pid);
            }
        });
    }
    void disarm(const std::string& card) {
        (*cards)[card].command("cut-clear");
        // Wakes the watcher with a cut of its own: the power goes after the answer.
        if (!cut_) (*cards)[card].command("cut");
        watcher_.join();
        if (d.running()) d.killTree();
        daemonPid_ = -1;
    }
    // A reply, or "" when the power went first (or the time ran out).
    std::string reply(const std::string& until, Ms timeout) {
        std::string before;
        auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            if (d.expect(until, Ms(200), &before)) return before + until;
            if (cut_) return "";
        }
        return "";
    }

    std::atomic<bool> cut_{false};
    std::atomic<pid_t> daemonPid_{-1};
    std::thread watcher_;
};

TEST_F(CardCuts, SeededCutsDuringStartsSyncsAndSettingsChangesLoseNothing) {
    const unsigned seed = rounds::seed(2020);
    const int kRounds = rounds::count("TN_CARD_CUTS", 8, 2);
    printf("power cuts on the card: %d rounds, seed %u\n", kRounds, seed);
    RecordProperty("seed", static_cast<int>(seed));
    std::mt19937 rng(seed);

    robust::Pictures made;
    // Uploaded by a sync the DSP saw answered: those may never come back. (One
    // uploaded by a sync the cut ended may: the DSP had no answer.)
    std::set<std::string> receivedByAnsweredSync;
    size_t requestsSeen = 0;
    int nextPicture = 1;
    int expectedFreq = -1;  // transmitFreq of the last answered SYNC's settings
    std::map<std::string, long> window = {{"/media/sdcard", 0}, {"/etc", 0}};
    Counts n;
    std::map<std::string, std::string> hdAsked;  // name -> bytes on the card
    bool logAsked = false;    // the cloud asks for the log until acknowledged
    bool bitBefore = false;   // the log's acknowledgement bit on the medium
    int updateVersion = 0, updatePending = 0;
    const std::string transmit = d.root().path("/media/sdcard/TRANSMIT");
    const std::string cloudDir = cloud->workdir() + "/uploads";

    // Round 0 is never cut: it applies the first request and measures how
    // many operations a round makes on each card, the range the cuts fall in.
    for (int round = 0; round <= kRounds; round++) {
        for (int i = 0, k = 1 + static_cast<int>(rng() % 2); i < k; i++) {
            char name[32];
            snprintf(name, sizeof name, "PW%05d.JPG", nextPicture++);
            made[name] = "\xff\xd8" + std::string(1500 + rng() % 30000, static_cast<char>('a' + nextPicture % 26));
            dspWrites("/media/sdcard/TRANSMIT/" + std::string(name), made[name]);
        }
        dspWrites("/media/sdcard/STATUS.DSP", R"({"batteries": )" + std::to_string(50 + round % 50) + "}");
        if (round == 0 || rng() % 3 == 0) dspWrites("/media/sdcard/CONFIG.REQ", request(1 + round % 23));
        const int cloudFreq = 1 + (round * 7) % 23;
        // This round's extra, in turn: the cloud asks for the log, for an HD
        // picture, the DSP leaves an update package on the card, nothing.
        const int extra = round > 0 ? (round - 1) % 4 : 3;
        if (extra == 0 && !logAsked) {
            logAsked = true;
            n.logRounds++;
        }
        std::string hdName;
        if (extra == 1) {
            char name[32];
            snprintf(name, sizeof name, "IMG%05d.JPG", nextPicture++);
            hdName = name;
            hdAsked[hdName] = "\xff\xd8" + std::string(20000 + rng() % 40000, static_cast<char>('A' + round % 26));
            d.root().mkdirs("/media/sdcard/DCIM/100MEDIA");
            dspWrites("/media/sdcard/DCIM/100MEDIA/" + hdName, hdAsked[hdName]);
            n.hdRounds++;
        }
        if (extra == 2 && updatePending == 0) {
            updatePending = ++updateVersion;
            updateOnCard(updatePending);
            n.updateRounds++;
        }
        std::string answer = R"("uploads": "auto", "config": {"transmitFreq": )" + std::to_string(cloudFreq) + "}";
        std::string reqs;
        if (logAsked)
            reqs += R"("log": {"execute": true, "content": [{"name": "log.txt", "host": "{base}", )"
                    R"("path": "/upload/log.txt", "verb": "PUT"}]})";
        if (!hdName.empty())
            reqs += std::string(reqs.empty() ? "" : ", ") + R"("pictures": {"content": [{"name": ")" + hdName +
                    R"(", "date": "2026-12-07 10:00:00", "host": "{base}", "path": "/upload/HD)" + hdName +
                    R"(", "verb": "PUT"}]})";
        cloud->setScenario("{\"answers\": [{" + answer + (reqs.empty() ? "" : ", \"requests\": {" + reqs + "}") +
                           "}], \"answer\": {" + answer + "}}");
        const bool first = round % 4 == 1;

        std::string card = rng() % 3 == 0 ? "/etc" : "/media/sdcard";
        // While an update waits on the card, half the cuts fall in /usrdata,
        // where it unpacks.
        if (updatePending != 0 && rng() % 2 == 0) {
            card = "/usrdata";
            n.onUsrdata++;
        }
        long at = 0;
        if (round > 0) {
            at = 1 + static_cast<long>(rng() % static_cast<unsigned long>(window[card] * 6 / 5 + 1));
            armCut(card, at);
        } else {
            cards->reset();
        }
        auto t0 = Clock::now();
        d.start(cards->env());
        daemonPid_ = d.pid();
        bool ready = !reply("RDY\r\n", Ms(40000)).empty();
        // The start announced itself: a package it found is installed whole.
        if (ready && updatePending != 0) {
            int v = moduleVersion();
            bool marker = d.root().exists("/usrdata/update.unpacking");
            bool left = packageLeft();
            if (!cut_.load()) {
                if (v == updatePending && !marker && !left) {
                    n.updatesComplete++;
                    updatePending = 0;
                } else {
                    n.updateHalf++;
                    ADD_FAILURE() << "update " << updatePending << " not complete after the start (module files "
                                  << v << (marker ? ", marker" : "") << (left ? ", package left" : "")
                                  << ") round " << round << "\n" << d.log();
                }
            }
        }
        if (ready) d.sendLine("SP+CELL");
        bool celled = ready && !reply("SP+OK\n", Ms(90000)).empty();
        if (celled) d.sendLine(first ? "SP+FIRSTSYNC" : "SP+SYNC");
        std::string said = celled ? reply("\n", Ms(120000)) : "";
        // An answer read once the power is gone may have left after the cut:
        // only one read before it counts as the DSP's. The watcher learns of
        // a cut a little late, so the card itself is asked whether it still
        // had power once the answer was in.
        bool ok = said.find("SP+OK\n") != std::string::npos && !cut_.load() &&
                  (round == 0 || (*cards)[card].command("stats").find("\"power\": \"on\"") !=
                                     std::string::npos);
        if (round == 0) {
            ASSERT_TRUE(ok) << "the uncut round failed: " << d.log();
            for (auto& w : window) w.second = (*cards)[w.first].stat("ops");
            // An install at start makes some 60 operations on /usrdata.
            window["/usrdata"] = 80;
            printf("operations of an uncut round: card %ld, /etc %ld\n", window["/media/sdcard"],
                   window["/etc"]);
            cards->cut();
            d.stop();
        } else {
            bool during = cut_.load();
            disarm(card);
            ASSERT_TRUE(d.waitExit(Ms(20000)));
            n.rounds++;
            (during ? n.midCommand : n.afterAnswer)++;
            if (!ready) n.inStart++;
        }
        d.readFor(Ms(0));
        cards->powerOn();
        // The modem loses power too: it comes back without the old data call.
        restartModem();
        printf("round %d: cut on %s at %ld: %s, %.1f s\n", round, card.c_str(), at,
               ok ? "answered" : celled ? "cut in the sync" : ready ? "cut in CELL" : "cut in the start",
               std::chrono::duration<double>(Clock::now() - t0).count());
        fflush(stdout);
        CloudSimJson all = cloud->requests();
        size_t requestsNow = all ? json_object_array_length(all.get()) : 0;
        if (ok) {
            n.answered++;
            expectedFreq = cloudFreq;
            for (size_t i = requestsSeen; i < requestsNow; i++) {
                json_object* r = json_object_array_get_idx(all.get(), i);
                std::string p = pathOf(r);
                if (ok2xx(r) && p.rfind("/upload/", 0) == 0) receivedByAnsweredSync.insert(p.substr(8));
            }
        }
        // The log request: carried out when the cloud took the log; its bit
        // leaves the medium only with a successful PUT that carries it.
        bool carried = false, acked = false;
        for (size_t i = requestsSeen; i < requestsNow; i++) {
            json_object* r = json_object_array_get_idx(all.get(), i);
            if (!ok2xx(r)) continue;
            if (pathOf(r) == "/upload/log.txt") {
                carried = true;
                n.logsCarried++;
            } else if (isCameraPut(r) && acknowledges(r, "log")) {
                acked = true;
                n.acksSent++;
                logAsked = false;  // the service stops asking
                carried = false;   // this carrying-out is acknowledged
            }
        }
        requestsSeen = requestsNow;
        const bool bitNow = (ackBits() & 2) != 0;
        if (!bitNow && !acked && (bitBefore || (carried && ok))) {
            n.ackLost++;
            ADD_FAILURE() << "log request carried out, its acknowledgement gone, round " << round;
        } else if (carried && !bitNow && !acked) {
            n.carriedBeforeItsBit++;  // cut between the upload and its bit: the cloud asks again
        }
        bitBefore = bitNow;

        // HD pictures: in the cloud as on the card, or still only on the card.
        for (const auto& [name, bytes] : hdAsked) {
            bool there = false, received = false;
            std::string kept = robust::readAll(d.root().path("/media/sdcard/DCIM/100MEDIA/" + name), &there);
            std::string up = robust::readAll(cloudDir + "/HD" + name, &received);
            if (received && up != bytes) {
                n.hdBroken++;
                ADD_FAILURE() << "HD " << name << " reached the cloud changed, round " << round;
            }
            if (!received && !(there && kept == bytes)) {
                n.hdMissing++;
                ADD_FAILURE() << "HD " << name << " neither in the cloud nor on the card, round " << round;
            }
        }
        // An update cut halfway: its module files all of one version, or
        // the marker on the medium with the package to finish from.
        if (updatePending != 0 || d.root().exists("/usrdata/update.unpacking")) {
            bool marker = d.root().exists("/usrdata/update.unpacking");
            if (marker && packageLeft()) {
                n.updateMarkedAtCut++;
            } else if (moduleVersion() < 0 || marker) {
                n.updateHalf++;
                ADD_FAILURE() << "update half unpacked after the cut, round " << round;
            }
        }

        // The invariants, on what the medium holds now.
        char when[96];
        snprintf(when, sizeof when, "after round %d (seed %u, cut on %s at %ld%s)", round, seed,
                 card.c_str(), at, ok ? ", answered" : "");
        for (const auto& [name, bytes] : made) {
            bool there = false, received = false;
            std::string kept = robust::readAll(transmit + "/" + name, &there);
            std::string up = robust::readAll(cloudDir + "/" + name, &received);
            if (!(there && kept == bytes) && !(received && up == bytes)) {
                n.lost++;
                ADD_FAILURE() << name << " lost " << when;
            }
            if (there && receivedByAnsweredSync.count(name)) {
                n.uploadedAgain++;
                ADD_FAILURE() << name << " back in TRANSMIT after the DSP's OK " << when;
            }
        }
        std::string problems = configkeys::fileProblems(d.root().path("/etc/trailnetd_conf.json"));
        bool whole = true;
        int freq = -1;
        if (d.root().exists("/media/sdcard/config.dsp"))
            freq = jsonInt(d.root().read("/media/sdcard/config.dsp"), "transmitFreq", &whole);
        if (!problems.empty() || !whole) {
            n.configBroken++;
            std::string names;
            for (const auto& e : std::filesystem::directory_iterator(d.root().path("/etc")))
                names += e.path().filename().string() + " ";
            ADD_FAILURE() << "configuration " << problems << (whole ? "" : " config.dsp not whole ")
                          << when << "; /etc holds " << names << "; log:\n"
                          << d.log().substr(d.log().size() > 3000 ? d.log().size() - 3000 : 0);
        }
        if (ok && freq != expectedFreq) {
            n.settingsOlder++;
            ADD_FAILURE() << "config.dsp transmitFreq " << freq << ", answered " << expectedFreq << " " << when;
        }
        if (n.lost + n.uploadedAgain + n.configBroken + n.settingsOlder + n.ackLost + n.hdBroken + n.hdMissing +
                n.updateHalf > 5)
            break;
    }
    n.pictures = static_cast<long>(made.size());

    // After the last cut the next sync carries every waiting picture up.
    dspWrites("/media/sdcard/STATUS.DSP", R"({"batteries": 40})");
    // The cloud still asks once for what was not acknowledged.
    cloud->setScenario(std::string(R"({"answers": [{"uploads": "auto")") +
                       (logAsked ? R"(, "requests": {"log": {"execute": true, "content": [{"name": "log.txt", )"
                                   R"("host": "{base}", "path": "/upload/log.txt", "verb": "PUT"}]}})"
                                 : "") +
                       R"(}], "answer": {"uploads": "auto"}})");
    d.start(cards->env());
    ASSERT_TRUE(d.expect("RDY\r\n", Ms(40000)));
    if (updatePending != 0) {
        EXPECT_EQ(moduleVersion(), updatePending);
        EXPECT_FALSE(packageLeft());
        if (moduleVersion() == updatePending) n.updatesComplete++;
    }
    ASSERT_NE(d.command("SP+CELL", "SP+OK\n", Ms(90000)), "");
    auto waiting = [&] {
        return !std::filesystem::is_empty(transmit);
    };
    // A request carried out in a sync is acknowledged by the next PUT, which
    // may be the next sync's.
    for (int i = 0; i < 4 && (i == 0 || waiting() || (ackBits() & 2) != 0); i++) {
        ASSERT_NE(d.command("SP+SYNC", "SP+OK\n", Ms(120000)), "") << d.log();
        cloud->setScenario(R"({"answer": {"uploads": "auto"}})");
    }
    EXPECT_EQ(robust::expectNoPictureLost(made, transmit, cloudDir, "after the last sync"), 0u);
    // Whatever was asked for and carried out is acknowledged by now.
    {
        CloudSimJson all = cloud->requests();
        for (size_t i = requestsSeen; all && i < json_object_array_length(all.get()); i++) {
            json_object* r = json_object_array_get_idx(all.get(), i);
            if (ok2xx(r) && isCameraPut(r) && acknowledges(r, "log")) {
                n.acksSent++;
                logAsked = false;
            }
        }
        EXPECT_EQ(ackBits() & 2, 0) << "a log acknowledgement never sent";
    }
    for (const auto& [name, bytes] : hdAsked) {
        bool received = false;
        std::string up = robust::readAll(cloudDir + "/HD" + name, &received);
        if (received && up == bytes) n.hdArrived++;
    }

    printf("power cuts on the card: %d cuts (%d during a start or command, %d of them before RDY; "
           "%d right after the answer), %d answered syncs, %ld pictures\n",
           n.rounds, n.midCommand, n.inStart, n.afterAnswer, n.answered, n.pictures);
    printf("scenarios: %d log requests (%d carried out, %d acknowledgements sent, %d carried out again after "
           "a cut before its bit), %d HD requests (%d in the cloud), %d updates from the card (%d complete, "
           "%d cut while marked), %d cuts on /usrdata\n",
           n.logRounds, n.logsCarried, n.acksSent, n.carriedBeforeItsBit, n.hdRounds, n.hdArrived,
           n.updateRounds, n.updatesComplete, n.updateMarkedAtCut, n.onUsrdata);
    printf("invariants: pictures lost %d, uploaded again after the answer %d, configuration "
           "broken %d, settings older than the answer %d, acknowledgements lost %d, HD pictures changed %d, "
           "HD pictures missing %d, updates half done %d\n",
           n.lost, n.uploadedAgain, n.configBroken, n.settingsOlder, n.ackLost, n.hdBroken, n.hdMissing,
           n.updateHalf);
    EXPECT_EQ(n.lost + n.uploadedAgain + n.configBroken + n.settingsOlder + n.ackLost + n.hdBroken +
                  n.hdMissing + n.updateHalf,
              0);
}

}  // namespace
