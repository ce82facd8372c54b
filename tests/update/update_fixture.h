#pragma once
// A root tree with a card for package checks, and the packages themselves,
// built with the system's tar, xz, gzip, zip and openssl.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "../support/fixture_shell.h"
#include "../support/roottree.h"
#include "core/config.h"
#include "update/update.h"

namespace updatetest {

const char* const kPass = "Kq7vTn2wXa9pLm4R";

inline std::string q(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

inline void sh(const std::string& cmd) { ASSERT_EQ(fixtureShell(cmd), 0) << cmd; }

using Files = std::map<std::string, std::string>;  // relative path -> content

class UpdatePackages : public ::testing::Test {
protected:
    void SetUp() override {
        root.mountCard(1);
        root.mkdirs("/home/root");
        root.mkdirs("/build");
        // "sync" only needs to succeed here; the real one would flush the
        // whole shared machine at every step.
        root.mkdirs("/bin");
        root.write("/bin/sync", "#!/bin/sh\nexit 0\n");
        chmod(root.path("/bin/sync").c_str(), 0755);
        oldPath = getenv("PATH");
        setenv("PATH", (root.path("/bin") + ":" + oldPath).c_str(), 1);
        resetUpdateState();
        setDspRecoveryPackage("", DSP_RECOVERY_NONE);
        setRequestDspUpdate(0);
        setDspWantedVersion("");
        setDspVersion("");
    }
    void TearDown() override { setenv("PATH", oldPath.c_str(), 1); }

    // Fills a fresh folder under /build and returns its path.
    std::string stage(const Files& files) {
        std::string dir = root.path("/build/s" + std::to_string(++stages));
        sh("mkdir -p " + q(dir));
        for (const auto& f : files) {
            std::string p = dir + "/" + f.first;
            sh("mkdir -p \"$(dirname " + q(p) + ")\"");
            std::ofstream(p, std::ios::binary) << f.second;
        }
        return dir;
    }
    // A tar package of the given files; `z` is "J" (xz) or "z" (gzip).
    std::string package(const Files& files, const std::string& z = "J") {
        std::string dir = stage(files);
        std::string out = root.path("/build/p" + std::to_string(++stages) + (z == "J" ? ".tar.xz" : ".tar.gz"));
        std::string names;
        for (const auto& f : files) names += " " + q(f.first);
        sh("tar -C " + q(dir) + " -c" + z + "f " + q(out) + names);
        return out;
    }
    std::string encrypt(const std::string& plain) {
        std::string out = plain + ".enc";
        sh("openssl enc -aes-256-cbc -md md5 -pass pass:" + std::string(kPass) + " -in " + q(plain) +
           " -out " + q(out) + " 2>/dev/null");
        return out;
    }
    std::string dspTar(const Files& files) { return slurp(package(files)); }
    std::string dspZip(const Files& files) {
        std::string dir = stage(files);
        std::string out = root.path("/build/z" + std::to_string(++stages) + ".zip");
        sh("cd " + q(dir) + " && zip -q -r " + q(out) + " .");
        return slurp(out);
    }
    std::string slurp(const std::string& file) {
        std::ifstream f(file, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    void onCard(const std::string& pkg, const char* name = "update.tar.xz") {
        sh("cp " + q(pkg) + " " + q(root.path(std::string("/media/sdcard/") + name)));
    }
    std::string log() const { return root.read("/media/sdcard/log.txt"); }
    bool logged(const std::string& text) const { return log().find(text) != std::string::npos; }

    RootTree root;
    std::string oldPath;
    int stages = 0;
};

}  // namespace updatetest
