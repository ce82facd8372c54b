// Signed packages: with update keys on the module only a package signed by
// one of them is opened at all; without keys, packages install with a
// warning. Keys are made once per run with the openssl program.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "update/package_signature.h"
#include "update_fixture.h"

namespace {

using namespace updatetest;

// Key pairs for the whole program: "a", "b" and "stranger" (ECDSA P-256),
// "rsa" (RSA-2048) and "weak" (RSA-1024, below what the daemon takes).
class KeyPairs {
public:
    KeyPairs() {
        char tmpl[] = "/tmp/tn-update-keys-XXXXXX";
        dir_ = mkdtemp(tmpl);
        const char* const kinds[][2] = {
            {"a", "-algorithm EC -pkeyopt ec_paramgen_curve:P-256"},
            {"b", "-algorithm EC -pkeyopt ec_paramgen_curve:P-256"},
            {"stranger", "-algorithm EC -pkeyopt ec_paramgen_curve:P-256"},
            {"rsa", "-algorithm RSA -pkeyopt rsa_keygen_bits:2048"},
            {"weak", "-algorithm RSA -pkeyopt rsa_keygen_bits:1024"},
        };
        for (const auto& s : kinds) {
            const std::string cmd = std::string("openssl genpkey ") + s[1] + " -out " + q(key(s[0])) +
                                    " 2>/dev/null && openssl pkey -in " + q(key(s[0])) + " -pubout -out " +
                                    q(pub(s[0]));
            if (fixtureShell(cmd) != 0) abort();
        }
    }
    ~KeyPairs() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    std::string key(const std::string& name) const { return dir_ + "/" + name + ".key"; }
    std::string pub(const std::string& name) const { return dir_ + "/" + name + ".pem"; }

private:
    std::string dir_;
};

const KeyPairs& keyPairs() {
    static const KeyPairs k;
    return k;
}

const char* const kForcedModem = "{\"modem\": {\"version\": \"9.9.9\", \"forceUpdate\": true}";

class SignedPackages : public UpdatePackages {
protected:
    void trust(const std::string& name) {
        root.mkdirs("/usrdata/update-keys");
        sh("cp " + q(keyPairs().pub(name)) + " " + q(root.path("/usrdata/update-keys/" + name + ".pem")));
    }
    // Signs `file` into `file`.sig; returns the signature's bytes.
    std::string sign(const std::string& file, const std::string& key) {
        sh("openssl dgst -sha256 -sign " + q(keyPairs().key(key)) + " -out " + q(file + ".sig") + " " + q(file));
        return slurp(file + ".sig");
    }
    void onCardSigned(const std::string& pkg, const std::string& key) {
        sign(pkg, key);
        onCard(pkg);
        onCard(pkg + ".sig", "update.tar.xz.sig");
    }
    // An encrypted package whose module part is forced, with one file.
    std::string modulePackage(const std::string& content, const std::string& extra = "") {
        return encrypt(package({{"manifest.json", std::string(kForcedModem) + extra + "}"}, {"bin/app", content}}));
    }
    // From here on the tools that open a package (and cp) note each run.
    void traceTools() {
        for (const char* tool : {"tar", "xz", "gzip", "openssl", "cat", "unzip"}) {
            const std::string w = root.path(std::string("/bin/") + tool);
            root.write(std::string("/bin/") + tool, "#!/bin/sh\necho " + std::string(tool) + " >> " +
                                                        q(root.path("/tools.log")) +
                                                        "\nPATH=\"${PATH#*:}\" exec " + tool + " \"$@\"\n");
            chmod(w.c_str(), 0755);
        }
        root.write("/tools.log", "");
    }
    std::string toolsRun() const { return root.read("/tools.log"); }
    long long floorFile() const {
        return root.exists("/usrdata/update_rollback_floor") ? std::stoll(root.read("/usrdata/update_rollback_floor"))
                                                             : -1;
    }
    void expectRefusedUnopened(const std::string& reason) {
        EXPECT_TRUE(logged("ERROR: update: Update file refused (/usrdata/update.tar.xz): " + reason + "\r\n")) << log();
        EXPECT_EQ(toolsRun(), "");  // neither decrypted nor listed
        EXPECT_FALSE(root.exists("/usrdata/bin/app"));
        EXPECT_FALSE(root.exists("/usrdata/update.tar.xz"));
        EXPECT_FALSE(root.exists("/usrdata/update.tar.xz.sig"));
        EXPECT_FALSE(root.exists("/usrdata/update.tar.xz.dec"));
        EXPECT_FALSE(root.exists("/media/sdcard/update.tar.xz"));
        EXPECT_FALSE(root.exists("/media/sdcard/update.tar.xz.sig"));
    }
};

TEST_F(SignedPackages, SignedPackageInstallsAndItsSignatureGoesWithIt) {
    trust("a");
    onCardSigned(modulePackage("signed app"), "a");
    checkUpdate("", "1.3.0");
    EXPECT_EQ(root.read("/usrdata/bin/app"), "signed app");
    EXPECT_TRUE(logged("INFO: update: Update file signed by a.pem\r\n"));
    EXPECT_FALSE(logged("not checked"));
    EXPECT_FALSE(root.exists("/usrdata/update.tar.xz.sig"));
    EXPECT_FALSE(root.exists("/media/sdcard/update.tar.xz.sig"));
}

TEST_F(SignedPackages, ChangedPackagesAreRefusedBeforeTheyAreOpened) {
    trust("a");
    const std::string pkg = modulePackage("app");
    const std::string bytes = slurp(pkg);
    const std::string sig = sign(pkg, "a");
    auto flip = [&](size_t at) {
        std::string b = bytes;
        b[at] = static_cast<char>(b[at] ^ 0x01);
        return b;
    };
    const std::pair<const char*, std::string> variants[] = {
        {"first byte", flip(0)},
        {"middle byte", flip(bytes.size() / 2)},
        {"last byte", flip(bytes.size() - 1)},
        {"truncated", bytes.substr(0, bytes.size() - 16)},
        {"appended", bytes + std::string(16, '\0')},
    };
    for (const auto& v : variants) {
        SCOPED_TRACE(v.first);
        root.write("/media/sdcard/update.tar.xz", v.second);
        root.write("/media/sdcard/update.tar.xz.sig", sig);
        traceTools();
        checkUpdate("", "1.3.0");
        expectRefusedUnopened("signature does not match any update key");
    }
    // The package as signed still installs.
    root.write("/media/sdcard/update.tar.xz", bytes);
    root.write("/media/sdcard/update.tar.xz.sig", sig);
    checkUpdate("", "1.3.0");
    EXPECT_EQ(root.read("/usrdata/bin/app"), "app");
}

TEST_F(SignedPackages, BadSignaturesAreRefusedBeforeThePackageIsOpened) {
    trust("a");
    const std::string pkg = modulePackage("app");
    const std::string good = sign(pkg, "a");
    const std::string other = modulePackage("another release");
    const std::string otherSig = sign(other, "a");
    const std::string stranger = sign(pkg, "stranger");
    std::string random(good.size(), '\0');
    for (size_t i = 0; i < random.size(); i++) random[i] = static_cast<char>(i * 37 + 11);
    struct {
        const char* name;
        bool present;
        std::string sig;
        const char* reason;
    } cases[] = {
        {"missing", false, "", "no signature"},
        {"empty", true, "", "signature empty or too large"},
        {"oversized", true, good + std::string(kMaxSignatureBytes, 'x'), "signature empty or too large"},
        {"random", true, random, "signature does not match any update key"},
        {"truncated", true, good.substr(0, good.size() / 2), "signature does not match any update key"},
        {"unknown key", true, stranger, "signature does not match any update key"},
        {"another release", true, otherSig, "signature does not match any update key"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        onCard(pkg);
        if (c.present) root.write("/media/sdcard/update.tar.xz.sig", c.sig);
        traceTools();
        checkUpdate("", "1.3.0");
        expectRefusedUnopened(c.reason);
    }
}

// A signed package may bring a key and a later one remove the old: every
// key in the folder counts, a removed one no longer does.
TEST_F(SignedPackages, KeysRotateAndRsaKeysCountToo) {
    trust("a");
    trust("b");
    root.write("/usrdata/update-keys/README", "not a key");
    onCardSigned(modulePackage("by b"), "b");
    checkUpdate("", "1.3.0");
    EXPECT_EQ(root.read("/usrdata/bin/app"), "by b");
    EXPECT_TRUE(logged("Update file signed by b.pem"));

    sh("rm " + q(root.path("/usrdata/update-keys/a.pem")) + " " + q(root.path("/usrdata/bin/app")));
    onCardSigned(modulePackage("by a"), "a");
    traceTools();
    checkUpdate("", "1.3.0");
    expectRefusedUnopened("signature does not match any update key");

    trust("rsa");
    onCardSigned(modulePackage("by rsa"), "rsa");
    checkUpdate("", "1.3.0");
    EXPECT_EQ(root.read("/usrdata/bin/app"), "by rsa");
    EXPECT_TRUE(logged("Update file signed by rsa.pem"));
}

// A key file that does not load still means "signatures required".
TEST_F(SignedPackages, OnlyBrokenKeyFilesRefuseEveryPackage) {
    root.mkdirs("/usrdata/update-keys");
    root.write("/usrdata/update-keys/a.pem", "-----BEGIN PUBLIC KEY-----\ngarbage\n-----END PUBLIC KEY-----\n");
    sh("cp " + q(keyPairs().pub("weak")) + " " + q(root.path("/usrdata/update-keys/weak.pem")));
    for (const char* key : {"a", "weak"}) {
        SCOPED_TRACE(key);
        onCardSigned(modulePackage("app"), key);
        traceTools();
        checkUpdate("", "1.3.0");
        expectRefusedUnopened("no update key loads");
    }
    EXPECT_TRUE(logged("ERROR: update: Update key /usrdata/update-keys/a.pem does not load"));
    EXPECT_TRUE(logged("ERROR: update: Update key /usrdata/update-keys/weak.pem does not load"));
    EXPECT_FALSE(logged("not checked"));

    // Beside a good key a broken one is reported and the good one works.
    trust("b");
    onCardSigned(modulePackage("by b"), "b");
    checkUpdate("", "1.3.0");
    EXPECT_EQ(root.read("/usrdata/bin/app"), "by b");
}

TEST_F(SignedPackages, RollbackFloorRisesOnlyAfterACompletedInstall) {
    trust("a");
    onCardSigned(modulePackage("release 5", ", \"rollback_index\": 5"), "a");
    checkUpdate("", "1.3.0");
    EXPECT_EQ(root.read("/usrdata/bin/app"), "release 5");
    EXPECT_EQ(floorFile(), 5);
    EXPECT_TRUE(logged("INFO: update: Rollback floor raised to 5"));

    // Below the floor (and absent, which is 0) refused; equal reinstalls.
    for (const char* extra : {", \"rollback_index\": 4", ""}) {
        SCOPED_TRACE(extra);
        onCardSigned(modulePackage("older", extra), "a");
        checkUpdate("", "1.3.0");
        EXPECT_EQ(root.read("/usrdata/bin/app"), "release 5");
        EXPECT_FALSE(root.exists("/media/sdcard/update.tar.xz"));
        EXPECT_FALSE(root.exists("/usrdata/update.tar.xz.sig"));
    }
    EXPECT_TRUE(logged("ERROR: update: Update file refused (/usrdata/update.tar.xz): rollback_index 4 below the floor 5"));
    EXPECT_TRUE(logged("rollback_index 0 below the floor 5"));
    for (const char* bad : {"\"6\"", "-1", "6.5"}) {
        SCOPED_TRACE(bad);
        onCardSigned(modulePackage("odd index", std::string(", \"rollback_index\": ") + bad), "a");
        checkUpdate("", "1.3.0");
        EXPECT_EQ(root.read("/usrdata/bin/app"), "release 5");
    }
    EXPECT_TRUE(logged("rollback_index is not a whole number"));
    onCardSigned(modulePackage("release 5 again", ", \"rollback_index\": 5"), "a");
    checkUpdate("", "1.3.0");
    EXPECT_EQ(root.read("/usrdata/bin/app"), "release 5 again");
    EXPECT_EQ(floorFile(), 5);

    // A DSP part that does not unpack: the install did not complete.
    onCardSigned(encrypt(package({{"manifest.json",
                                   "{\"dsp\": {\"version\": \"3.0.0\", \"forceUpdate\": true}, \"rollback_index\": 7}"},
                                  {"dsp_update.tar.xz", "not an archive"}})),
                 "a");
    checkUpdate("2.0.0", "1.3.0");
    EXPECT_TRUE(logged("Problem while expanding DSP update files"));
    EXPECT_EQ(floorFile(), 5);

    // Power cut while the post-update script of a downloaded (encrypted,
    // only copy) package runs: the floor stays, and the package is still
    // the one signed, so the marker makes the next check finish the
    // install, which raises it.
    const std::string cut = encrypt(package(
        {{"manifest.json", std::string(kForcedModem) + ", \"rollback_index\": 8}"},
         {"bin/app", "release 8"},
         {"post_update_script.sh", "#!/bin/sh\necho run >> \"$TRAILNETD_ROOT/trace\"\n"
                                   "test -e \"$TRAILNETD_ROOT/cut-done\" && exit 0\n"
                                   "touch \"$TRAILNETD_ROOT/cut-done\"; kill -9 $PPID\n"}}));
    sign(cut, "a");
    sh("cp " + q(cut) + " " + q(root.path("/usrdata/update.tar.xz")) + " && cp " + q(cut + ".sig") + " " +
       q(root.path("/usrdata/update.tar.xz.sig")));
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        checkUpdate("", "1.3.0");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    EXPECT_EQ(floorFile(), 5);
    EXPECT_TRUE(root.exists("/usrdata/update.unpacking"));
    EXPECT_EQ(root.read("/usrdata/update.tar.xz"), slurp(cut));
    checkUpdate("", "9.9.9");
    EXPECT_EQ(root.read("/trace"), "run\nrun\n");
    EXPECT_EQ(floorFile(), 8);
    EXPECT_EQ(root.read("/usrdata/bin/app"), "release 8");
    EXPECT_FALSE(root.exists("/usrdata/update.unpacking"));
    EXPECT_FALSE(root.exists("/usrdata/update.tar.xz.dec"));
}

TEST_F(SignedPackages, WithoutKeysEveryPackageInstallsWithAWarning) {
    root.write("/usrdata/update_rollback_floor", "5\n");
    onCard(modulePackage("unsigned", ", \"rollback_index\": 9"));
    checkUpdate("", "1.3.0");
    EXPECT_EQ(root.read("/usrdata/bin/app"), "unsigned");
    EXPECT_TRUE(logged(
        "WARNING: update: Origin of /usrdata/update.tar.xz not checked: no update keys on the module\r\n"));

    // Signed, with the floor above it: neither is looked at, and an
    // unchecked manifest does not move the floor.
    onCardSigned(modulePackage("signed", ", \"rollback_index\": 1"), "a");
    checkUpdate("", "1.3.0");
    EXPECT_EQ(root.read("/usrdata/bin/app"), "signed");
    EXPECT_EQ(floorFile(), 5);
    EXPECT_FALSE(root.exists("/usrdata/update.tar.xz.sig"));
    EXPECT_FALSE(root.exists("/media/sdcard/update.tar.xz.sig"));
}

// A card may give other bytes on a second read: what was checked is the
// copy in /usrdata, and that copy is what gets installed.
TEST_F(SignedPackages, CardFileReplacedAfterTheCopyChangesNothing) {
    trust("a");
    const std::string hostile = package({{"manifest.json", kForcedModem + std::string("}")}, {"bin/app", "evil"}});
    onCardSigned(modulePackage("checked"), "a");
    root.write("/bin/cp", "#!/bin/sh\nPATH=\"${PATH#*:}\" cp \"$@\" || exit\ncase \"$1\" in\n  */media/sdcard/update.tar.xz) "
                          "cat " + q(hostile) + " > \"$1\" ;;\nesac\n");
    chmod(root.path("/bin/cp").c_str(), 0755);
    checkUpdate("", "1.3.0");
    EXPECT_EQ(root.read("/usrdata/bin/app"), "checked");
    EXPECT_FALSE(root.exists("/media/sdcard/update.tar.xz"));
}

TEST_F(SignedPackages, OversizedPackageIsRefusedUnread) {
    trust("a");
    // Sparse: no data is written, the size alone is over the limit.
    sh("truncate -s " + std::to_string(kMaxPackageBytes + 1) + " " + q(root.path("/usrdata/update.tar.xz")));
    root.write("/usrdata/update.tar.xz.sig", sign(modulePackage("x"), "a"));
    traceTools();
    checkUpdate("", "1.3.0");
    expectRefusedUnopened("package too large");
}

TEST_F(SignedPackages, PathsWithBlankAndSemicolonStayWhole) {
    const std::string odd = root.dir() + "/a root; touch pwned";
    sh("mkdir -p " + q(odd + "/media/sdcard") + " " + q(odd + "/usrdata/update-keys") + " " + q(odd + "/proc"));
    sh("cp " + q(root.path("/proc/mounts")) + " " + q(odd + "/proc/mounts"));
    sh("cp " + q(keyPairs().pub("a")) + " " + q(odd + "/usrdata/update-keys/key; one.pem"));
    const std::string pkg = modulePackage("odd");
    sign(pkg, "a");
    sh("cp " + q(pkg) + " " + q(odd + "/media/sdcard/update.tar.xz"));
    sh("cp " + q(pkg + ".sig") + " " + q(odd + "/media/sdcard/update.tar.xz.sig"));
    setenv("TRAILNETD_ROOT", odd.c_str(), 1);
    checkUpdate("", "1.3.0");
    setenv("TRAILNETD_ROOT", root.dir().c_str(), 1);
    EXPECT_EQ(root.read("/a root; touch pwned/usrdata/bin/app"), "odd");
    EXPECT_NE(root.read("/a root; touch pwned/media/sdcard/log.txt").find("signed by key; one.pem"), std::string::npos);
    EXPECT_FALSE(root.exists("/pwned"));
}

TEST_F(SignedPackages, HelperScriptsMakeKeysAndSignedPackages) {
    const std::string dir = root.path("/build/tools");
    root.mkdirs("/build/tools/module/bin");
    root.write("/build/tools/module/bin/app", "from the helper");
    ASSERT_EQ(system((std::string(MAKE_UPDATE_KEY) + " " + q(dir + "/maker") + " >/dev/null").c_str()), 0);
    // gzip: BusyBox's xz (the busybox stage) only decompresses.
    const std::string out = dir + "/update.tar.gz";
    const std::string cmd = std::string(MAKE_UPDATE_PACKAGE) + " --modem-version 9.9.9 --rollback-index 2 --encrypt --sign " +
                            q(dir + "/maker.key") + " " + q(out) + " " + q(dir + "/module") + " >/dev/null";
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
    // A public key is not a signing key: nothing is left that looks signed.
    const std::string bad = std::string(MAKE_UPDATE_PACKAGE) + " --sign " + q(dir + "/maker.pem") + " " +
                            q(dir + "/bad.tar.gz") + " " + q(dir + "/module") + " >/dev/null 2>&1";
    EXPECT_NE(system(bad.c_str()), 0);
    EXPECT_FALSE(root.exists("/build/tools/bad.tar.gz.sig"));
    EXPECT_FALSE(root.exists("/build/tools/bad.tar.gz"));

    root.mkdirs("/usrdata/update-keys");
    sh("cp " + q(dir + "/maker.pem") + " " + q(root.path("/usrdata/update-keys/maker.pem")));
    onCard(out, "update.tar.gz");
    onCard(out + ".sig", "update.tar.gz.sig");
    checkUpdate("", "1.3.0");
    EXPECT_EQ(root.read("/usrdata/bin/app"), "from the helper");
    EXPECT_TRUE(logged("Update file signed by maker.pem"));
    EXPECT_EQ(floorFile(), 2);
}

}  // namespace
