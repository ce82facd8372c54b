// An update package from the card, installed at start, with the power cut
// at steps of the install: the card, /etc and /usrdata are power-cut cards
// (sim/card) that keep only what was flushed. After each cut the next start
// must leave the update complete (every module file new, the post-update
// script run, the package and its working copies gone, and the first sync
// delivering the DSP files and asking the DSP to update), never half
// unpacked.
// TN_UPDATE_CUTS sets how many cut positions (spread over the operations an
// uncut install makes; 0 = every operation), default 4. The same round runs
// with an update key on the module and a signed package (fewer positions):
// the next start checks the signature again and raises the rollback floor
// only once the install is complete.
#include <signal.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "support/daemon_harness.h"
#include "support/fixture_shell.h"
#include "support/powercard.h"
#include "support/rounds.h"

namespace {

using harness::DaemonHarness;
using harness::Ms;

std::string q(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

const std::map<std::string, std::string> kOld = {
    {"bin/app", "app 1.3.0"}, {"lib/libcam.so", "lib 1.3.0"}, {"etc/app.conf", "conf 1.3.0"}};
const std::map<std::string, std::string> kNew = {
    {"bin/app", "app 1.4.0"}, {"lib/libcam.so", "lib 1.4.0"}, {"etc/app.conf", "conf 1.4.0"},
    {"share/notes.txt", "new in 1.4.0"}};

// No modem here: CELL reads the DSP's status and SYNC writes its settings.
const char kCellularOff[] = R"({"config": {"cellular": false}})" "\n";

class UpdateCuts : public ::testing::Test {
protected:
    void SetUp() override {
        std::string why = powercard::whyNot();
        if (!why.empty()) GTEST_SKIP() << why;
    }

    // A fresh module with the old software and an encrypted package on the
    // card, everything on the medium; `signedPackage`: with a key on the
    // module and the package's signature on the card.
    void prepare(bool signedPackage = false) {
        d.reset(new DaemonHarness);
        RootTree& root = d->root();
        root.write("/tmp/mcm_service_ready.flag", "");
        d->addStandIn("sync", powercard::Cards::syncStandIn());
        root.mkdirs("/home/root");
        auto put = [&](const std::string& path, const std::string& bytes) {
            root.mkdirs(path.substr(0, path.rfind('/')));
            root.write(path, bytes);
        };
        for (const auto& [name, bytes] : kOld) put("/usrdata/" + name, bytes);
        const std::string b = root.path("/build");
        root.mkdirs("/build/pkg");
        root.mkdirs("/build/fw");
        for (const auto& [name, bytes] : kNew) put("/build/pkg/" + name, bytes);
        root.write("/build/fw/ISP.BIN", "isp V1.00.40");
        root.write("/build/fw/1628.BIN", "main V1.00.40");
        root.write("/build/pkg/manifest.json",
                   R"({"doBackup": 1, "dsp": {"version": "V1.00.40", "forceUpdate": true}, )"
                   R"("modem": {"version": "1.4.0"}, "rollback_index": 2})" "\n");
        // Counts its runs: a cut may make it run twice, never zero times.
        root.write("/build/pkg/post_update_script.sh",
                   "#!/bin/sh\necho ran >> \"$TRAILNETD_ROOT/usrdata/post.ran\"\n");
        std::string names = "manifest.json post_update_script.sh dsp_update.tar.xz";
        for (const auto& f : kNew) names += " " + f.first;
        ASSERT_EQ(fixtureShell("tar -C " + q(b + "/fw") + " -cJf " + q(b + "/pkg/dsp_update.tar.xz") +
                               " ISP.BIN 1628.BIN && tar -C " + q(b + "/pkg") + " -cJf " +
                               q(b + "/plain.tar.xz") + " " + names +
                               " && openssl enc -aes-256-cbc -md md5 -pass pass:Kq7vTn2wXa9pLm4R -in " +
                               q(b + "/plain.tar.xz") + " -out " +
                               q(root.path("/media/sdcard/update.tar.xz")) + " 2>/dev/null"),
                  0);
        if (signedPackage) {
            root.mkdirs("/usrdata/update-keys");
            ASSERT_EQ(fixtureShell("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " +
                                   q(b + "/maker.key") + " 2>/dev/null && openssl pkey -in " + q(b + "/maker.key") +
                                   " -pubout -out " + q(root.path("/usrdata/update-keys/maker.pem")) +
                                   " && openssl dgst -sha256 -sign " + q(b + "/maker.key") + " -out " +
                                   q(root.path("/media/sdcard/update.tar.xz.sig")) + " " +
                                   q(root.path("/media/sdcard/update.tar.xz"))),
                      0);
        }
        signed_ = signedPackage;
        root.write("/media/sdcard/STATUS.DSP", R"({"version": "V1.00.34"})");
        root.write("/media/sdcard/CONFIG.REQ", kCellularOff);
        cards.reset(new powercard::Cards(root));
        cards->reset();
    }
    void finish() {
        if (d) d->stop();
        cards.reset();
        d.reset();
    }
    void TearDown() override {
        if (HasFailure() && cards) printf("%s", cards->logs().c_str());
        finish();
    }

    // Starts the daemon, with the power cut before operation `at` of `card`
    // (0: no cut). Returns whether the start reached RDY uncut.
    bool startCutAt(const std::string& card, long at) {
        if (at > 0) (*cards)[card].command("cut-at " + std::to_string(at));
        d->start(cards->env());
        if (at > 0) {
            std::string r = (*cards)[card].command("wait-cut 60", 70);
            cards->cut();
            EXPECT_TRUE(d->killTree());
            cards->powerOn();
            return r.rfind("cut", 0) != 0;
        }
        return d->expect("RDY\r\n", Ms(60000));
    }

    // What the medium holds after a start that ran to RDY.
    std::string completeProblems() {
        RootTree& root = d->root();
        std::string p;
        for (const auto& [name, bytes] : kNew)
            if (!root.exists("/usrdata/" + name) || root.read("/usrdata/" + name) != bytes) p += name + " not new; ";
        if (!root.exists("/usrdata/post.ran")) p += "post-update script never ran; ";
        for (const char* gone : {"/usrdata/post_update_script.sh", "/usrdata/update.tar.xz",
                                 "/usrdata/update.tar.xz.dec", "/usrdata/update.unpacking",
                                 "/media/sdcard/update.tar.xz"})
            if (root.exists(gone)) p += std::string(gone) + " left; ";
        if (!root.exists("/usrdata/dsp_update.tar.xz")) p += "DSP update file not kept; ";
        if (signed_) {
            for (const char* gone : {"/usrdata/update.tar.xz.sig", "/media/sdcard/update.tar.xz.sig"})
                if (root.exists(gone)) p += std::string(gone) + " left; ";
            if (!root.exists("/usrdata/update_rollback_floor") || root.read("/usrdata/update_rollback_floor") != "2\n")
                p += "rollback floor not raised; ";
            if (d->log().find("refused") != std::string::npos) p += "package refused; ";
        } else if (root.exists("/usrdata/update_rollback_floor")) {
            p += "rollback floor raised by an unsigned package; ";
        }
        // A start removes DSP files the DSP has not taken yet; the sync after
        // it delivers them again (firmware recovery) and tells the DSP.
        root.write("/media/sdcard/STATUS.DSP", R"({"version": "V1.00.34"})");
        if ((*cards)["/media/sdcard"].command("sync") != "ok") p += "the card did not take the DSP status; ";
        if (d->command("SP+CELL", "SP+OK\n") == "" || d->command("SP+SYNC", "SP+OK\n") == "")
            return p + "CELL or SYNC unanswered (" + d->readFor(Ms(0)) + "); ";
        if (!root.exists("/media/sdcard/ISP.BIN") || root.read("/media/sdcard/ISP.BIN") != "isp V1.00.40")
            p += "DSP files not on the card after the sync; ";
        if (root.read("/media/sdcard/config.dsp").find(R"("update": { "execute": true })") == std::string::npos)
            p += "DSP not asked to update; ";
        return p;
    }

    void cutRound(bool signedPackage, int positions);

    std::unique_ptr<DaemonHarness> d;
    std::unique_ptr<powercard::Cards> cards;
    bool signed_ = false;
};

void UpdateCuts::cutRound(bool signedPackage, int positions) {
    // An uncut install: how many operations it makes on each card.
    prepare(signedPackage);
    ASSERT_TRUE(startCutAt("/usrdata", 0)) << d->log();
    std::map<std::string, long> window;
    for (const char* c : {"/usrdata", "/media/sdcard"}) window[c] = (*cards)[c].stat("ops");
    ASSERT_EQ(completeProblems(), "") << d->log();
    printf("operations of an uncut install at start: /usrdata %ld, card %ld; flushes of the start: "
           "%ld fsync, %ld folder fsync, %ld sync\n",
           window["/usrdata"], window["/media/sdcard"], cards->total("fsync"), cards->total("fsyncdir"),
           cards->total("sync"));
    finish();

    int cuts = 0, halfDone = 0, complete = 0, scriptTwice = 0;
    for (const char* card : {"/usrdata", "/media/sdcard"}) {
        const long w = window[card];
        const long step = positions <= 0 ? 1 : std::max(1L, w / positions);
        for (long at = 1 + step / 2; at <= w; at += step) {
            prepare(signedPackage);
            if (startCutAt(card, at)) {
                finish();
                continue;  // the start ended before that operation
            }
            cuts++;
            // What the cut left: count the installs caught half done.
            int fresh = 0;
            for (const auto& [name, bytes] : kNew)
                fresh += d->root().exists("/usrdata/" + name) && d->root().read("/usrdata/" + name) == bytes;
            if (fresh > 0 && fresh < static_cast<int>(kNew.size())) halfDone++;
            // A cut install has not raised the floor: the next start goes on
            // from the same signed package, at the floor it had.
            if (signedPackage && fresh < static_cast<int>(kNew.size()) &&
                d->root().exists("/usrdata/update_rollback_floor"))
                ADD_FAILURE() << "floor raised before the install was complete (cut on " << card << " at " << at
                              << ")";

            d->root().write("/media/sdcard/CONFIG.REQ", kCellularOff);
            ASSERT_EQ((*cards)["/media/sdcard"].command("sync"), "ok") << "after the cut at " << card << " " << at;
            ASSERT_EQ(d->root().read("/media/sdcard/CONFIG.REQ"), kCellularOff) << "the card lost the request";
            ASSERT_TRUE(startCutAt(card, 0)) << "no RDY after the cut at " << card << " " << at << "\n"
                                             << d->log();
            std::string problems = completeProblems();
            EXPECT_EQ(problems, "") << "cut on " << card << " at " << at << "\n" << d->log();
            if (problems.empty()) complete++;
            if (d->root().read("/usrdata/post.ran") == "ran\nran\n") scriptTwice++;
            finish();
        }
    }
    printf("update cuts%s: %d cuts, left half unpacked by the cut %d, complete after the next start %d, "
           "post-update script run twice %d\n",
           signedPackage ? " (signed)" : "", cuts, halfDone, complete, scriptTwice);
    EXPECT_EQ(complete, cuts);
}

TEST_F(UpdateCuts, CutAtStepsOfAnInstallFromTheCardIsFinishedByTheNextStart) {
    cutRound(false, rounds::count("TN_UPDATE_CUTS", 4, 1));
}

TEST_F(UpdateCuts, CutAtStepsOfASignedInstallKeepsTheFloorUntilItIsComplete) {
    cutRound(true, rounds::count("TN_UPDATE_CUTS", 2, 1));
}

}  // namespace
