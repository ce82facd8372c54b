#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "update/archive_listing.h"

namespace {

struct Case {
    const char* name;
    ArchiveListingCheck::Policy policy;
    std::vector<std::string> lines;
    const char* refused;  // nullptr: the listing is safe
};

const auto Links = ArchiveListingCheck::LinksInside;
const auto Files = ArchiveListingCheck::FilesOnly;

TEST(ArchiveListing, TarListings) {
    const Case cases[] = {
        {"module package with inside links", Links,
         {"-rw-r--r-- root/root       123 2024-05-01 10:00 manifest.json",
          "drwxr-xr-x root/root         0 2024-05-01 10:00 ./bin/",
          "-rwxr-xr-x root/root    502112 2024-05-01 10:00 ./bin/trailnetd",
          "lrwxrwxrwx root/root         0 2024-05-01 10:00 lib/libx.so -> libx.so.1",
          "lrwxrwxrwx root/root         0 2024-05-01 10:00 lib/sub/up -> ../libx.so.1",
          "hrw-r--r-- root/root         0 2024-05-01 10:00 bin/b link to bin/trailnetd",
          "-rw-r--r-- root/root         3 2024-05-01 10:00 name with -> arrow"},
         nullptr},
        {"busybox time with seconds", Links,
         {"-rw-r--r-- 0/0 12 2024-05-01 10:00:00 etc/a b.conf",
          "lrwxrwxrwx 0/0 0 2024-05-01 10:00:00 cur -> ."},
         nullptr},
        {"parent folder", Links, {"-rw-r--r-- root/root 3 2024-05-01 10:00 ../escape.txt"}, "../escape.txt"},
        {"parent inside the name", Links, {"-rw-r--r-- root/root 3 2024-05-01 10:00 a/../../x"}, "a/../../x"},
        {"absolute name", Links, {"-rw-r--r-- root/root 3 2024-05-01 10:00 /etc/passwd"}, "/etc/passwd"},
        {"absolute link target", Links,
         {"lrwxrwxrwx root/root 0 2024-05-01 10:00 out -> /etc"}, "out -> /etc"},
        {"link climbing out", Links,
         {"lrwxrwxrwx root/root 0 2024-05-01 10:00 a/out -> ../../etc"}, "a/out -> ../../etc"},
        {"link climbing out through a link to the top", Links,
         {"lrwxrwxrwx root/root 0 2024-05-01 10:00 top -> .",
          "lrwxrwxrwx root/root 0 2024-05-01 10:00 out -> top/.."},
         "out -> top/.."},
        {"file through a link of the archive", Links,
         {"lrwxrwxrwx root/root 0 2024-05-01 10:00 ./d -> sub",
          "-rw-r--r-- root/root 3 2024-05-01 10:00 d/x"},
         "d/x"},
        {"hard link to outside", Links,
         {"hrw-r--r-- root/root 0 2024-05-01 10:00 pw link to /etc/passwd"}, "pw link to /etc/passwd"},
        {"ambiguous link line", Links,
         {"lrwxrwxrwx root/root 0 2024-05-01 10:00 a -> b -> /etc"}, "a -> b -> /etc"},
        {"device node", Links, {"crw-r--r-- root/root 1,3 2024-05-01 10:00 null"}, "null"},
        {"short line", Links, {"-rw-r--r-- root/root 3"}, "-rw-r--r-- root/root 3"},
        {"no links on the card", Files,
         {"-rw-r--r-- root/root 3 2024-05-01 10:00 ISP.BIN",
          "lrwxrwxrwx root/root 0 2024-05-01 10:00 l -> ISP.BIN"},
         "l -> ISP.BIN"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ArchiveListingCheck check(c.policy);
        for (const std::string& l : c.lines) check.tarLine(l);
        EXPECT_EQ(check.safe(), c.refused == nullptr);
        if (c.refused) {
            EXPECT_EQ(check.unsafeMember(), c.refused);
        }
    }
}

TEST(ArchiveListing, CutLineIsRefusedAndFirstRefusalIsKept) {
    ArchiveListingCheck check(Links);
    EXPECT_FALSE(check.tarLine("-rw-r--r-- root/root 3 2024-05-01 10:00 aaaa", true));
    EXPECT_FALSE(check.tarLine("-rw-r--r-- root/root 3 2024-05-01 10:00 /etc/x"));
    EXPECT_EQ(check.unsafeMember(), "-rw-r--r-- root/root 3 2024-05-01 10:00 aaaa");
}

TEST(ArchiveListing, ZipListings) {
    ArchiveListingCheck ok(Files);
    for (const char* l : {"ISP.BIN", "FW/", "FW/1628.BIN"}) EXPECT_TRUE(ok.zipNameLine(l));
    for (const char* l : {"Archive:  dsp_update.zip",
                          "-rw-r--r--  3.0 unx        3 tx stor 24-May-01 10:00 ISP.BIN",
                          "2 files, 6 bytes uncompressed, 6 bytes compressed:  0.0%"})
        EXPECT_TRUE(ok.zipInfoLine(l));
    EXPECT_TRUE(ok.safe());

    for (const char* bad : {"../ISP.BIN", "/tmp/ISP.BIN", "a/../../b"}) {
        ArchiveListingCheck check(Files);
        EXPECT_FALSE(check.zipNameLine(bad)) << bad;
    }
    ArchiveListingCheck link(Files);
    EXPECT_FALSE(link.zipInfoLine("lrwxrwxrwx  3.0 unx        4 bx stor 24-May-01 10:00 out"));
}

TEST(ArchiveListing, NormaliseMemberName) {
    std::string out;
    EXPECT_TRUE(normaliseMemberName("./a//b/", out));
    EXPECT_EQ(out, "a/b");
    EXPECT_TRUE(normaliseMemberName("./", out));
    EXPECT_EQ(out, "");
    EXPECT_FALSE(normaliseMemberName("", out));
    EXPECT_FALSE(normaliseMemberName("/a", out));
    EXPECT_FALSE(normaliseMemberName("a/..", out));
    EXPECT_TRUE(normaliseMemberName("a/..b", out));  // only a whole ".." component climbs
}

}  // namespace
