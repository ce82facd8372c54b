// Power cuts during resumable (tus) uploads, as the card sees them: the real
// trailnetd with the modem and cloud simulators, its card, /etc and /usrdata
// on power-cut cards (sim/card) that forget what was not flushed. Each round
// puts two pictures in TRANSMIT and runs a SYNC whose cloud hands tus slots
// (the same URL again for an unfinished upload, or a fresh one, by the seed).
// The cloud holds the upload still at one of three moments, and the power
// goes there (the cards' cut, then the daemon with what it started):
//   - record: the upload record is written, the first PATCH is held before
//     its first byte is read;
//   - bytes:  the first PATCH is cut after a seeded number of bytes, the
//     PATCH that resumes it is held;
//   - final:  every byte is in, the answer to the completing PATCH is lost
//     and the HEAD that would find it is held, so the picture is not deleted;
//   - proven: the answer to the completing PATCH arrives (the proof), and the
//     next picture's HEAD is held: the power goes right after the deletion
//     of the first, which must not cost its bytes again.
// After the cut the daemon starts again and syncs until TRANSMIT is empty:
//   - no picture lost; none gone from TRANSMIT before the cloud held all of
//     it; every one in the cloud byte for byte;
//   - the server received each picture's bytes exactly once in all (the
//     restart sends only the rest), the record of the cut upload having
//     survived the cut;
//   - no record left once TRANSMIT is empty.
// TN_TUS_CARD_CUTS sets the number of cut rounds, TN_CUT_SEED the seed.
#include <json-c/json.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "card_rig.h"
#include "invariants.h"
#include "support/cloudsim.h"
#include "support/daemon_harness.h"
#include "support/powercard.h"
#include "support/rounds.h"

namespace {

using harness::Ms;
using Clock = std::chrono::steady_clock;

// In this order: a short run of two covers the cut bytes and the lost final answer.
const char* const kMoments[] = {"bytes", "final", "record", "proven"};

std::string str(json_object* o, const char* key) {
    json_object* v = nullptr;
    return o != nullptr && json_object_object_get_ex(o, key, &v) ? json_object_get_string(v) : "";
}
int64_t num(json_object* o, const char* key) {
    json_object* v = nullptr;
    return o != nullptr && json_object_object_get_ex(o, key, &v) ? json_object_get_int64(v) : 0;
}

class TusCardCuts : public cardrig::CardRig {
protected:
    // Requests the cloud held (a "stall" fault) so far.
    int held() {
        CloudSimJson all = cloud->requests();
        int n = 0;
        for (size_t i = 0; all && i < json_object_array_length(all.get()); i++)
            n += str(json_object_array_get_idx(all.get(), i), "fault") == "stall";
        return n;
    }
    // name -> bytes the server received for it, over all its uploads; and
    // what it holds (the largest offset).
    void tusBytes(std::map<std::string, int64_t>* received, std::map<std::string, int64_t>* holds) {
        CloudSimJson ups = cloud->tusUploads();
        for (size_t i = 0; ups && i < json_object_array_length(ups.get()); i++) {
            json_object* u = json_object_array_get_idx(ups.get(), i);
            if (received) (*received)[str(u, "name")] += num(u, "received");
            if (holds) (*holds)[str(u, "name")] = std::max((*holds)[str(u, "name")], num(u, "offset"));
        }
    }
    // The upload records on the medium, by name.
    std::map<std::string, int> records() {
        std::map<std::string, int> out;
        bool there = false;
        std::string text = robust::readAll(d.root().path("/usrdata/tus_uploads.json"), &there);
        if (!there) return out;
        json_object* doc = json_tokener_parse(text.c_str());
        EXPECT_TRUE(doc != nullptr && json_object_is_type(doc, json_type_array)) << "records not whole: " << text;
        for (size_t i = 0; doc && json_object_is_type(doc, json_type_array) && i < json_object_array_length(doc);
             i++)
            out[str(json_object_array_get_idx(doc, i), "name")]++;
        json_object_put(doc);
        return out;
    }
    size_t waiting() {
        size_t n = 0;
        for (const auto& e : std::filesystem::directory_iterator(d.root().path("/media/sdcard/TRANSMIT")))
            n += e.is_regular_file();
        return n;
    }
    // Starts the daemon and brings the data call up; true when it answered.
    bool startAndCell() {
        d.start(cards->env());
        return d.expect("RDY\r\n", Ms(40000)) && d.command("SP+CELL", "SP+OK\n", Ms(90000)) != "";
    }

};

TEST_F(TusCardCuts, CutsAroundTheBytesOfAResumableUploadLoseNothingAndSendOnlyTheRest) {
    const unsigned seed = rounds::seed(2612);
    const int kRounds = rounds::count("TN_TUS_CARD_CUTS", 4, 2);
    printf("power cuts on the card during resumable uploads: %d rounds, seed %u\n", kRounds, seed);
    RecordProperty("seed", static_cast<int>(seed));
    std::mt19937 rng(seed);

    robust::Pictures made;
    int next = 1;
    const std::string transmit = d.root().path("/media/sdcard/TRANSMIT");
    const std::string cloudDir = cloud->workdir() + "/uploads";
    auto makePicture = [&]() {
        char name[32];
        snprintf(name, sizeof name, "TC%05d.JPG", next++);
        // Up to a few 64 KiB PATCHes each.
        made[name] = "\xff\xd8" + std::string(8000 + rng() % 150000, static_cast<char>('a' + next % 26));
        dspWrites("/media/sdcard/TRANSMIT/" + std::string(name), made[name]);
        return std::string(name);
    };

    // The settings and a first picture, uncut: the camera knows its cloud.
    makePicture();
    dspWrites("/media/sdcard/CONFIG.REQ",
              R"({"config": {"cellular": true, "transmitUser": true, "transmitAuto": true, "ssl": {"host": ")" +
                  cloud->hostPort() + "\"}}}\n");
    dspWrites("/media/sdcard/STATUS.DSP", R"({"batteries": 80})");
    cloud->setScenario(R"({"tus": {"url": "same"}})");
    ASSERT_TRUE(startAndCell()) << d.log();
    ASSERT_NE(d.command("SP+SYNC", "SP+OK\n", Ms(120000)), "") << d.log();
    ASSERT_EQ(waiting(), 0u) << d.log();

    int cuts = 0, recordsSurvived = 0, partial = 0, completeAtCut = 0, sentAgain = 0, deletedEarly = 0;
    int64_t restBytes = 0, heldAtCuts = 0;
    for (int round = 0; round < kRounds; round++) {
        const char* moment = kMoments[round % 4];
        const bool fresh = rng() % 2 == 0;
        const std::string a = makePicture(), b = makePicture();
        // The first PATCH of either picture may be the one cut: within its first chunk.
        const int64_t smallest = std::min<int64_t>(65536, std::min(made[a].size(), made[b].size()));
        const int64_t cutAfter = 1 + static_cast<int64_t>(rng() % static_cast<unsigned>(smallest - 2));
        std::string tus = std::string(R"("url": ")") + (fresh ? "fresh" : "same") + "\"";
        std::string fault;
        if (std::string(moment) == "record") {
            fault = R"({"method": "PATCH", "path": "/tus/", "kind": "stall", "seconds": 300})";
        } else if (std::string(moment) == "bytes") {
            tus += R"(, "cut_after": )" + std::to_string(cutAfter);
            fault = R"({"method": "PATCH", "path": "/tus/", "skip": 1, "kind": "stall", "seconds": 300})";
        } else if (std::string(moment) == "final") {
            tus += R"(, "lose_final": 1)";
            fault = R"({"method": "HEAD", "path": "/tus/", "skip": 1, "kind": "stall", "seconds": 300})";
        } else {
            fault = R"({"method": "HEAD", "path": "/tus/", "skip": 1, "kind": "stall", "seconds": 300})";
        }
        cloud->setScenario("{\"tus\": {" + tus + "}, \"faults\": [" + fault + "]}");
        char when[128];
        snprintf(when, sizeof when, "round %d (%s, %s URL, cut after %lld, seed %u)", round, moment,
                 fresh ? "fresh" : "same", static_cast<long long>(cutAfter), seed);

        auto t0 = Clock::now();
        auto since = [&] { return std::chrono::duration<double>(Clock::now() - t0).count(); };
        const int heldBefore = held();
        // The daemon that brought the last pictures up syncs again.
        d.sendLine("SP+SYNC");
        // The moment: the cloud holds a request still.
        bool reached = false;
        for (auto until = Clock::now() + Ms(60000); !reached && Clock::now() < until;) {
            reached = held() > heldBefore;
            if (!reached) std::this_thread::sleep_for(Ms(20));
        }
        ASSERT_TRUE(reached) << "the sync never reached the moment, " << when << "\n" << d.log();
        const double tMoment = since();
        // The medium stops first, then the daemon.
        cards->cut();
        ASSERT_TRUE(d.killTree());
        d.readFor(Ms(0));
        cards->powerOn();
        restartModem();
        cuts++;
        const double tCut = since();

        // What the cut left: every picture on the card, or whole in the cloud.
        std::map<std::string, int64_t> holds;
        tusBytes(nullptr, &holds);
        robust::expectNoPictureLost(made, transmit, cloudDir, std::string("after the cut, ") + when);
        for (const std::string& name : {a, b}) {
            if (!std::filesystem::exists(transmit + "/" + name) &&
                holds[name] != static_cast<int64_t>(made[name].size())) {
                deletedEarly++;
                ADD_FAILURE() << name << " deleted while the server held " << holds[name] << " of "
                              << made[name].size() << " bytes, " << when;
            }
        }
        // The picture under way when the power went.
        std::string cut;
        for (const std::string& name : {a, b})
            if (cut.empty() && std::filesystem::exists(transmit + "/" + name) &&
                (holds[name] > 0 || std::string(moment) == "record" || std::string(moment) == "proven") &&
                records().count(name) &&
                (holds[name] == static_cast<int64_t>(made[name].size())) == (std::string(moment) == "final"))
                cut = name;
        if (cut.empty()) {
            ADD_FAILURE() << "no record of the upload under way survived the cut, " << when << "\n" << d.log();
        } else {
            recordsSurvived++;
            // The cut fell where it was meant to.
            const int64_t want = std::string(moment) == "record" || std::string(moment) == "proven" ? 0
                                 : std::string(moment) == "bytes" ? cutAfter
                                                                  : static_cast<int64_t>(made[cut].size());
            EXPECT_EQ(holds[cut], want) << "bytes held at the cut, " << when;
            heldAtCuts += holds[cut];
            if (holds[cut] == static_cast<int64_t>(made[cut].size())) completeAtCut++;
            else if (holds[cut] > 0) partial++;
        }

        // Start again, and sync until the pictures are all up.
        cloud->setScenario(std::string(R"({"tus": {"url": ")") + (fresh ? "fresh" : "same") + "\"}}");
        dspWrites("/media/sdcard/STATUS.DSP", R"({"batteries": )" + std::to_string(79 - round) + "}");
        ASSERT_TRUE(startAndCell()) << when << "\n" << d.log();
        const double tCell = since();
        for (int i = 0; i < 3 && waiting() > 0; i++)
            ASSERT_NE(d.command("SP+SYNC", "SP+OK\n", Ms(120000)), "") << when << "\n" << d.log();
        EXPECT_EQ(robust::expectNoPictureLost(made, transmit, cloudDir, std::string("after the syncs, ") + when),
                  0u);

        // The server received every byte of each picture once: what went
        // before the cut was not sent again.
        std::map<std::string, int64_t> received;
        tusBytes(&received, nullptr);
        for (const std::string& name : {a, b}) {
            const int64_t size = static_cast<int64_t>(made[name].size());
            if (received[name] != size) {
                sentAgain++;
                ADD_FAILURE() << name << ": the server received " << received[name] << " bytes for " << size
                              << ", " << when << "\n" << d.log();
            }
        }
        if (!cut.empty()) restBytes += received[cut] - holds[cut];
        // The records go with their pictures.
        EXPECT_TRUE(records().empty()) << "records left with TRANSMIT empty, " << when;
        printf("round %d: %s, %s URL: the moment at %.1f s, powered on at %.1f s, ready again at %.1f s, "
               "round done at %.1f s\n",
               round, moment, fresh ? "fresh" : "same", tMoment, tCut, tCell, since());
        fflush(stdout);
        if (HasFailure()) break;
    }
    printf("tus cuts on the card: %d cuts (%d with part of the picture on the server, %d with all of it), "
           "records of the upload under way after the cut %d, bytes on the server at the cuts %lld, sent "
           "after the restarts %lld\n",
           cuts, partial, completeAtCut, recordsSurvived, static_cast<long long>(heldAtCuts),
           static_cast<long long>(restBytes));
    printf("invariants: pictures deleted before the server held them %d, pictures whose bytes went twice %d\n",
           deletedEarly, sentAgain);
    EXPECT_EQ(recordsSurvived, cuts);
}

}  // namespace
