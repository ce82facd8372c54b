// Members read from real archives' own bytes: names as stored (what the
// unpacking tar is asked to write), whatever a listing would show.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../support/fixture_shell.h"
#include "../support/roottree.h"
#include "update/archive_members.h"
#include "update/run_tool.h"

namespace {

struct Member {
    char kind;
    std::string name, target;
    bool operator==(const Member& o) const { return kind == o.kind && name == o.name && target == o.target; }
};
std::ostream& operator<<(std::ostream& os, const Member& m) {
    return os << m.kind << " " << m.name << (m.target.empty() ? "" : " -> " + m.target);
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Feeds `bytes` in pieces of `step`; returns the members and whether the
// stream read as a whole.
std::vector<Member> readTar(const std::string& bytes, size_t step, bool& whole, std::string* error = nullptr) {
    std::vector<Member> out;
    TarMemberReader r([&](char k, const std::string& n, const std::string& t) {
        out.push_back({k, n, t});
        return true;
    });
    for (size_t at = 0; at < bytes.size(); at += step)
        if (!r.feed(bytes.data() + at, std::min(step, bytes.size() - at))) break;
    whole = r.finish();
    if (error) *error = r.error();
    return out;
}

class ArchiveMembers : public ::testing::Test {
protected:
    RootTree root;
    std::string dir() { return root.path("/a"); }
    void sh(const std::string& cmd) { ASSERT_EQ(fixtureShell("cd '" + dir() + "' && " + cmd), 0) << cmd; }
    void SetUp() override {
        root.mkdirs("/a/sub");
        root.write("/a/f", "x");
        root.write("/a/sub/g", "y");
    }
};

TEST_F(ArchiveMembers, TarNamesAsStoredInEveryHeaderFormat) {
    const std::string longName = "sub/" + std::string(120, 'n');
    root.write("/a/" + longName, "z");
    sh("ln -s ../../etc sub/out && ln f hard");
    const std::vector<Member> want = {
        {'-', "../../evil", ""}, {'-', "/abs", ""}, {'d', "sub/", ""}, {'l', "sub/out", "../../etc"},
        {'-', longName, ""},     {'h', "hard", "../../evil"},
    };
    for (const char* format : {"gnu", "pax", "ustar"}) {
        SCOPED_TRACE(format);
        const std::string fmt = format;
        const std::string tarFile = root.path("/t-" + fmt + ".tar");
        // ustar keeps a long name in its prefix field: a folder name of 120 does not fit.
        const std::string names = fmt == "ustar" ? "f sub/out" : "f sub/out " + longName;
        sh("cp f evil2 && tar --format=" + fmt + " -cPf '" + tarFile +
           "' --transform='s,^f$,../../evil,;s,^evil2$,/abs,' --no-recursion f evil2 sub " + names.substr(2) +
           " hard 2>/dev/null");
        bool whole = false;
        const std::string bytes = slurp(tarFile);
        std::vector<Member> got = readTar(bytes, bytes.size(), whole);
        EXPECT_TRUE(whole);
        std::vector<Member> expect = want;
        if (fmt == "ustar") expect.erase(expect.begin() + 4);
        // A hard link names its target as that member is stored.
        EXPECT_EQ(got, expect);
        // Any cutting of the stream reads the same.
        for (size_t step : {1u, 7u, 511u, 513u}) {
            bool w = false;
            EXPECT_EQ(readTar(bytes, step, w), got) << step;
            EXPECT_TRUE(w);
        }
    }
}

TEST_F(ArchiveMembers, DamagedTarStreamsAreErrors) {
    sh("tar -cf ../t.tar f sub");
    const std::string bytes = slurp(root.path("/t.tar"));
    bool whole = true;
    std::string error;
    readTar(bytes.substr(0, 512 + 100), 64, whole, &error);  // cut inside the first file
    EXPECT_FALSE(whole);
    EXPECT_EQ(error, "tar stream cut inside a member");

    std::string bad = bytes;
    bad[0] ^= 1;  // checksum no longer matches
    EXPECT_TRUE(readTar(bad, 512, whole, &error).empty());
    EXPECT_FALSE(whole);
    EXPECT_EQ(error, "bad tar header");

    EXPECT_TRUE(readTar("Salted__" + std::string(600, 'q'), 512, whole, &error).empty());
    EXPECT_FALSE(whole);
}

TEST_F(ArchiveMembers, ZipDirectoryKindsAndNames) {
    sh("ln -s ../../etc link && zip -q -y -r ../z.zip f sub link");
    const std::string bytes = slurp(root.path("/z.zip"));
    ZipDirectory d;
    ASSERT_TRUE(findZipDirectory(bytes, bytes.size(), d));
    // Only the last part of a big file is read to find the directory.
    ZipDirectory fromTail;
    ASSERT_TRUE(findZipDirectory(bytes.substr(bytes.size() - 30), bytes.size(), fromTail));
    EXPECT_EQ(fromTail.offset, d.offset);
    std::vector<Member> got;
    std::string error;
    ASSERT_TRUE(readZipDirectory(bytes.substr(d.offset, d.size), d.entries,
                                 [&](char k, const std::string& n, const std::string& t) {
                                     got.push_back({k, n, t});
                                     return true;
                                 },
                                 error));
    EXPECT_EQ(got, (std::vector<Member>{{'-', "f", ""}, {'d', "sub/", ""}, {'-', "sub/g", ""}, {'l', "link", ""}}));

    EXPECT_FALSE(findZipDirectory(bytes.substr(0, d.offset), d.offset, d));  // no end record
    EXPECT_FALSE(readZipDirectory(std::string(10, 'x'), 1, [](char, const std::string&, const std::string&) {
        return true;
    }, error));
}

TEST(RunToolPipe, StatusOfEitherSide) {
    std::vector<std::string> lines;
    auto keep = [&](const std::string& l, bool) {
        lines.push_back(l);
        return true;
    };
    EXPECT_EQ(runToolPipe({"printf", "a b\\nc"}, {"cat"}, keep), 0);
    EXPECT_EQ(lines, (std::vector<std::string>{"a b", "c"}));
    EXPECT_EQ(runToolPipe({"sh", "-c", "exit 4"}, {"cat"}), 4);     // a failing decompressor fails the step
    EXPECT_EQ(runToolPipe({"true"}, {"sh", "-c", "exit 5"}), 5);
    // A reader that leaves early is no failure of the writer.
    EXPECT_EQ(runToolPipe({"yes"}, {"head", "-n", "1"}), 0);
    EXPECT_EQ(runToolPipe({"true"}, {"no-such-tool-for-trailnetd"}), 127);
}

}  // namespace
