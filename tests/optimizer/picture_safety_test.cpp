// A picture is shrunk once, replaced whole and never lost to a failed save;
// what a cut-off run leaves behind is cleaned up by the next one.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ImageHelper.h"
#include "Logger.h"
#include "SafeFile.h"
#include "folder.h"
#include "jpeg-data.h"

namespace {

bool marked(const pictures::Bytes& b) {
    return ImageHelperIsMarked(reinterpret_cast<const unsigned char*>(b.data()), b.size());
}

pictures::Bytes withMark(const pictures::Bytes& b) {
    std::vector<unsigned char> v(b.begin(), b.end());
    if (!ImageHelperAddMark(v)) return "";
    return pictures::Bytes(v.begin(), v.end());
}

class Safety : public ::testing::Test {
protected:
    void SetUp() override {
        LogReset();
        snprintf(LoggerFilePath, sizeof LoggerFilePath, "%slog.txt", folder.path().c_str());
    }
    void TearDown() override { LogReset(); }
    int run(int w, int h, int percent) {
        ImageParams p{w, h, percent};
        int rc = ImageHelperProcessFiles(folder.path().c_str(), &p);
        LogSave();
        return rc;
    }
    std::string log() const { return folder.read("log.txt"); }

    PictureFolder folder;
};

}  // namespace

TEST(ProcessedMark, GoesAfterTheExifBlockAndIsFoundOnlyBeforeTheScan) {
    pictures::Bytes cam = pictures::make({});
    pictures::Options plainOpt;
    plainOpt.exif = false;
    pictures::Bytes plain = pictures::make(plainOpt);
    EXPECT_FALSE(marked(cam));
    EXPECT_FALSE(marked(plain));

    pictures::Bytes m = withMark(cam);
    ASSERT_TRUE(marked(m));
    // SOI, then the EXIF block unchanged, then the mark.
    size_t exifLen = (static_cast<unsigned char>(cam[4]) << 8 | static_cast<unsigned char>(cam[5])) + 2;
    EXPECT_EQ(m.substr(0, 2 + exifLen), cam.substr(0, 2 + exifLen));
    EXPECT_EQ(m.substr(2 + exifLen, 4), pictures::Bytes("\xFF\xFE\x00\x16", 4));
    EXPECT_EQ(m.substr(2 + exifLen + 4, 20), IMAGEHELPER_MARK);
    EXPECT_EQ(m.substr(2 + exifLen + 24), cam.substr(2 + exifLen));
    // A picture without EXIF gets it right after the start of image.
    pictures::Bytes pm = withMark(plain);
    EXPECT_TRUE(marked(pm));
    EXPECT_EQ(pm.substr(2, 4), pictures::Bytes("\xFF\xFE\x00\x16", 4));

    // The head of the file is enough; a head cut inside the mark is not marked.
    EXPECT_TRUE(marked(m.substr(0, 2 + exifLen + 24)));
    EXPECT_FALSE(marked(m.substr(0, 2 + exifLen + 23)));
    // Another comment, or the text inside the scan data, is no mark.
    pictures::Options commented;
    commented.comment = true;
    EXPECT_FALSE(marked(pictures::make(commented)));
    EXPECT_FALSE(marked(plain + pictures::Bytes("\xFF\xFE\x00\x16", 4) + IMAGEHELPER_MARK));
    // Not a JPEG: no mark, none added.
    EXPECT_FALSE(marked("this is not a picture"));
    EXPECT_EQ(withMark("this is not a picture"), "");
    EXPECT_FALSE(ImageHelperIsMarked(nullptr, 0));
}

TEST_F(Safety, ARunLeavesAPictureItProcessedAloneAndTakesNewOnes) {
    pictures::Options o;
    o.width = 400;
    o.height = 300;
    folder.putPicture("PICT0001.JPG", o);
    ASSERT_EQ(run(200, 150, 50), 0);
    const pictures::Bytes once = folder.read("PICT0001.JPG");
    ASSERT_TRUE(marked(once));

    // The upload failed; the next runs find it processed and count it, so
    // the upload stage still gets its turn.
    for (int i = 0; i < 2; i++) {
        LogReset();
        ASSERT_EQ(run(200, 150, 50), 0);
        EXPECT_EQ(folder.read("PICT0001.JPG"), once);
    }
    EXPECT_NE(log().find("INFO,Already processed: " + folder.file("PICT0001.JPG") + "\r\n"),
              std::string::npos);
    // Other targets do not make it a new picture either.
    EXPECT_EQ(run(100, 75, 90), 0);
    EXPECT_EQ(folder.read("PICT0001.JPG"), once);

    // A picture the DSP adds later is processed, the old one still not.
    folder.putPicture("PICT0002.JPG", o);
    ASSERT_EQ(run(200, 150, 50), 0);
    EXPECT_TRUE(marked(folder.read("PICT0002.JPG")));
    EXPECT_EQ(folder.read("PICT0001.JPG"), once);
    // Without resizing as well.
    folder.putPicture("PICT0003.JPG", o);
    ASSERT_EQ(run(0, 0, 50), 0);
    const pictures::Bytes third = folder.read("PICT0003.JPG");
    EXPECT_TRUE(marked(third));
    ASSERT_EQ(run(0, 0, 50), 0);
    EXPECT_EQ(folder.read("PICT0003.JPG"), third);
}

TEST_F(Safety, AFailedSaveKeepsTheOriginal) {
    pictures::Options o;
    o.width = 80;
    o.height = 60;
    folder.putPicture("keep.jpg", o);
    folder.putPicture("copy.jpg", o);
    const pictures::Bytes before = folder.read("keep.jpg");
    // A folder under the work file's name: no work file can be written.
    std::filesystem::create_directory(folder.file("keep.jpg.tmp"));
    std::filesystem::create_directory(folder.file("copy.jpg.tmp"));
    EXPECT_EQ(run(40, 30, 0), 4);
    EXPECT_EQ(folder.read("keep.jpg"), before);
    EXPECT_NE(log().find("ERROR,Cannot save resized image " + folder.file("keep.jpg") + "\r\n"),
              std::string::npos);
    EXPECT_EQ(run(0, 0, 0), 4);  // the copy for the optimizer can't be made either
    EXPECT_EQ(folder.read("copy.jpg"), before);

    // An optimizer that leaves an empty file behind does not cost the picture.
    std::filesystem::remove(folder.file("keep.jpg.tmp"));
    folder.put("jpegoptim", "#!/bin/sh\nfor f; do :; done\n: > \"$f\"\n");
    chmod(folder.file("jpegoptim").c_str(), 0755);
    LogReset();
    EXPECT_EQ(run(40, 30, 0), 4);
    EXPECT_EQ(folder.read("keep.jpg"), before);
    EXPECT_NE(log().find("ERROR,Cannot save processed image " + folder.file("keep.jpg") + "\r\n"),
              std::string::npos);
    EXPECT_FALSE(folder.has("keep.jpg.tmp"));
}

TEST_F(Safety, LeftoversOfACutOffRunAreRemovedAndOnlyThey) {
    folder.putPicture("a.jpg");
    for (const char* n : {"a.jpg.tmp", "B.JPG.tmp", "c.jpg.part", "jpegoptim-0-4711.AbCdEf.tmp"})
        folder.put(n, "half");
    for (const char* n : {"notes.tmp", "x.jpeg.tmp", "jpegoptim-0-1.txt", "sent.txt"})
        folder.put(n, "keep");
    ASSERT_EQ(run(32, 24, 0), 0);
    for (const char* n : {"a.jpg.tmp", "B.JPG.tmp", "c.jpg.part", "jpegoptim-0-4711.AbCdEf.tmp"})
        EXPECT_FALSE(folder.has(n)) << n;
    for (const char* n : {"notes.tmp", "x.jpeg.tmp", "jpegoptim-0-1.txt", "sent.txt"})
        EXPECT_EQ(folder.read(n), "keep") << n;
    EXPECT_TRUE(marked(folder.read("a.jpg")));
}

TEST_F(Safety, AnOptimizerThatCannotWriteLeavesNoWorkFileAfterTheRun) {
    pictures::Options o;
    o.width = 80;
    o.height = 60;
    folder.putPicture("p.jpg", o);
    // As jpegoptim on a full card: its work file made, the write failed, the file left.
    folder.put("jpegoptim", "#!/bin/sh\nfor f; do :; done\n: > \"${f%/*}/jpegoptim-0-$$.AbCdEf.tmp\"\n"
                            "echo \"jpegoptim: write failed to file\" >&2\nexit 1\n");
    chmod(folder.file("jpegoptim").c_str(), 0755);
    ASSERT_EQ(run(40, 30, 0), 0);
    for (const auto& e : std::filesystem::directory_iterator(folder.path()))
        EXPECT_FALSE(SafeFileIsLeftover(e.path().filename().c_str())) << e.path();
    EXPECT_TRUE(marked(folder.read("p.jpg")));
}

TEST_F(Safety, ReplaceIsAllOrNothing) {
    folder.put("p.jpg", "old");
    EXPECT_EQ(SafeFileReplace(folder.file("p.jpg").c_str(), folder.file("p.jpg.tmp").c_str(), "new", 3), 1);
    EXPECT_EQ(folder.read("p.jpg"), "new");
    EXPECT_FALSE(folder.has("p.jpg.tmp"));
    // A work file that can't be made: the picture stays.
    std::string nowhere = folder.file("missing/p.jpg.tmp");
    EXPECT_EQ(SafeFileReplace(folder.file("p.jpg").c_str(), nowhere.c_str(), "newer", 5), 0);
    EXPECT_EQ(folder.read("p.jpg"), "new");

    EXPECT_EQ(SafeFileAppend(folder.file("list.txt").c_str(), "a\r\n", 3), 1);
    EXPECT_EQ(SafeFileAppend(folder.file("list.txt").c_str(), "b\r\n", 3), 1);
    EXPECT_EQ(folder.read("list.txt"), "a\r\nb\r\n");
    EXPECT_EQ(SafeFileAppend(folder.file("missing/list.txt").c_str(), "a", 1), 0);
}
