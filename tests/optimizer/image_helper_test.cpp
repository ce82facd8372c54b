#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "ImageHelper.h"
#include "Logger.h"
#include "folder.h"
#include "jpeg-data.h"

namespace {

struct Dimensions {
    int w = 0, h = 0, c = 0;
    bool operator==(const Dimensions& o) const { return w == o.w && h == o.h && c == o.c; }
};

Dimensions dimensionsOf(const std::string& path) {
    Dimensions d;
    if (!stbi_info(path.c_str(), &d.w, &d.h, &d.c)) return {};
    return d;
}

std::ostream& operator<<(std::ostream& os, const Dimensions& d) {
    return os << d.w << "x" << d.h << "x" << d.c;
}

class ImageStage : public ::testing::Test {
protected:
    void SetUp() override {
        LogReset();
        snprintf(LoggerFilePath, sizeof LoggerFilePath, "%slog.txt", folder.path().c_str());
    }
    void TearDown() override {
        ImageBufferSetLimit(0);
        LogReset();
    }
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

TEST(ImageSizeGoal, ShrinksByThePercentageWithA20KbFloor) {
    EXPECT_EQ(ImageHelperSizeGoal(200000, 50), 97);
    EXPECT_EQ(ImageHelperSizeGoal(30000, 50), 20);
    EXPECT_EQ(ImageHelperSizeGoal(200000, 0), 195);
    EXPECT_EQ(ImageHelperSizeGoal(0, 0), 20);
    EXPECT_EQ(ImageHelperSizeGoal(200000, 150), 20);  // more than all of it
    // Large files must not overflow the arithmetic.
    EXPECT_EQ(ImageHelperSizeGoal(30000000, 0), 29296);
}

TEST(ImageShellQuote, NamesStayOneWord) {
    EXPECT_EQ(ImageHelperShellQuote("/a b/c.jpg"), "'/a b/c.jpg'");
    EXPECT_EQ(ImageHelperShellQuote("it's;rm -rf x"), "'it'\\''s;rm -rf x'");
}

TEST_F(ImageStage, ArgumentAndFolderFailures) {
    ImageParams p{0, 0, 0};
    EXPECT_EQ(ImageHelperProcessFiles(nullptr, &p), 1);
    EXPECT_EQ(ImageHelperProcessFiles(folder.path().c_str(), nullptr), 1);
    std::string missing = folder.path() + "nope/";
    EXPECT_EQ(ImageHelperProcessFiles(missing.c_str(), &p), 3);
    LogSave();
    EXPECT_NE(log().find("ERROR,Invalid ImageHelper arguments\r\n"), std::string::npos);
    EXPECT_NE(log().find("ERROR,Cannot access path: " + missing + "\r\n"), std::string::npos);
}

TEST_F(ImageStage, OnlyJpgNamesOfRegularFilesAreTaken) {
    folder.putPicture("PICT0001.JPG");
    folder.putPicture("a.jpg");
    folder.putPicture("photo.jpeg");
    folder.put("readme.txt", "notes");
    std::filesystem::create_directory(folder.file("x.jpg"));
    std::string longName = std::string(254 - folder.path().size() - 3, 'n') + ".jpg";
    folder.putPicture(longName);
    pictures::Bytes jpeg = folder.read("photo.jpeg");
    pictures::Bytes longBytes = folder.read(longName);

    ASSERT_EQ(run(0, 0, 0), 0);
    std::string optimizerLog = folder.read(JPEGOPTIMLOG_FILENAME);
    EXPECT_NE(optimizerLog.find("PICT0001.JPG"), std::string::npos);
    EXPECT_NE(optimizerLog.find("a.jpg"), std::string::npos);
    EXPECT_EQ(optimizerLog.find("photo.jpeg"), std::string::npos);
    EXPECT_EQ(optimizerLog.find(longName), std::string::npos);
    EXPECT_EQ(folder.read("photo.jpeg"), jpeg);
    EXPECT_EQ(folder.read(longName), longBytes);
    EXPECT_EQ(folder.read("readme.txt"), "notes");
    EXPECT_TRUE(std::filesystem::is_directory(folder.file("x.jpg")));
}

TEST_F(ImageStage, ResizesOnlyWhenBothDimensionsDiffer) {
    pictures::Options o;
    o.width = 1920;
    o.height = 1080;
    folder.putPicture("wide.jpg", o);
    ASSERT_EQ(run(1920, 720, 0), 0);
    EXPECT_EQ(dimensionsOf(folder.file("wide.jpg")), (Dimensions{1920, 1080, 3}));

    // A fresh picture: the one above is processed and stays as it is.
    folder.putPicture("wide.jpg", o);
    ASSERT_EQ(run(1280, 720, 0), 0);
    EXPECT_EQ(dimensionsOf(folder.file("wide.jpg")), (Dimensions{1280, 720, 3}));
}

TEST_F(ImageStage, OddSizesGreyAndStretching) {
    pictures::Options grey;
    grey.width = 333;
    grey.height = 177;
    grey.channels = 1;
    folder.putPicture("grey.jpg", grey);
    pictures::Options fourThree;
    fourThree.width = 320;
    fourThree.height = 240;
    folder.putPicture("c43.jpg", fourThree);

    ASSERT_EQ(run(161, 90, 0), 0);
    // stb's writer always stores three components, grey pixels included.
    EXPECT_EQ(dimensionsOf(folder.file("grey.jpg")), (Dimensions{161, 90, 3}));
    EXPECT_EQ(dimensionsOf(folder.file("c43.jpg")), (Dimensions{161, 90, 3}));
}

TEST_F(ImageStage, ExifComesBackRightAfterSoiWithoutThumbnail) {
    pictures::Options o;
    o.width = 400;
    o.height = 300;
    o.comment = true;
    folder.putPicture("cam.jpg", o);
    ASSERT_EQ(run(200, 150, 30), 0);

    JPEGFileData* jd = jpeg_data_new_from_file(folder.file("cam.jpg").c_str());
    ASSERT_NE(jd, nullptr);
    ASSERT_GE(jd->count, 2u);
    EXPECT_EQ(jd->sections[0].marker, JPEG_MARKER_SOI);
    EXPECT_EQ(jd->sections[1].marker, JPEG_MARKER_APP1);
    ExifData* ed = jpeg_data_get_exif_data(jd);
    ASSERT_NE(ed, nullptr);
    EXPECT_EQ(ed->data, nullptr);
    EXPECT_EQ(ed->size, 0u);
    EXPECT_EQ(exif_content_get_entry(ed->ifd[EXIF_IFD_1], EXIF_TAG_JPEG_INTERCHANGE_FORMAT),
              nullptr);
    EXPECT_EQ(exif_content_get_entry(ed->ifd[EXIF_IFD_1],
                                     EXIF_TAG_JPEG_INTERCHANGE_FORMAT_LENGTH),
              nullptr);
    ExifEntry* make = exif_content_get_entry(ed->ifd[EXIF_IFD_0], EXIF_TAG_MAKE);
    ASSERT_NE(make, nullptr);
    char text[32];
    EXPECT_STREQ(exif_entry_get_value(make, text, sizeof text), "TrailCam");
    exif_data_unref(ed);
    jpeg_data_free(jd);
    EXPECT_EQ(dimensionsOf(folder.file("cam.jpg")), (Dimensions{200, 150, 3}));

    // The raw bytes hold no thumbnail tags either.
    pictures::Bytes raw = folder.read("cam.jpg");
    EXPECT_EQ(raw.find(pictures::Bytes("\x01\x02\x04\x00", 4)), std::string::npos);
}

TEST_F(ImageStage, PictureWithoutExifStaysWithoutExif) {
    pictures::Options o;
    o.exif = false;
    folder.putPicture("plain.jpg", o);
    ASSERT_EQ(run(32, 24, 0), 0);
    JPEGFileData* jd = jpeg_data_new_from_file(folder.file("plain.jpg").c_str());
    EXPECT_EQ(jpeg_data_get_exif_data(jd), nullptr);
    EXPECT_GT(jd->count, 2u);
    jpeg_data_free(jd);
    EXPECT_EQ(dimensionsOf(folder.file("plain.jpg")), (Dimensions{32, 24, 3}));
}

TEST_F(ImageStage, ZeroTargetsSkipDecoding) {
    folder.put("fake.jpg", "this is not a picture");
    folder.putPicture("real.jpg");
    ASSERT_EQ(run(0, 640, 0), 0);
    // Not decoded, so not found unloadable: both are still there.
    EXPECT_EQ(folder.read("fake.jpg"), "this is not a picture");
    EXPECT_EQ(dimensionsOf(folder.file("real.jpg")), (Dimensions{64, 48, 3}));
}

TEST_F(ImageStage, UnloadablePicturesAreRemovedAndNothingLeftIsFour) {
    folder.put("fake.jpg", "this is not a picture");
    pictures::Bytes truncated = pictures::make({}).substr(0, 30);
    folder.put("cut.jpg", truncated);
    folder.put("notes.txt", "x");
    EXPECT_EQ(run(32, 24, 0), 4);
    EXPECT_FALSE(folder.has("fake.jpg"));
    EXPECT_FALSE(folder.has("cut.jpg"));
    EXPECT_TRUE(folder.has("notes.txt"));
    EXPECT_NE(log().find("ERROR,Cannot load image: " + folder.file("fake.jpg") + "\r\n"),
              std::string::npos);
    EXPECT_NE(log().find("ERROR,No files processed\r\n"), std::string::npos);

    PictureFolder empty;
    ImageParams p{0, 0, 0};
    EXPECT_EQ(ImageHelperProcessFiles(empty.path().c_str(), &p), 4);
}

TEST_F(ImageStage, BufferShortageKeepsThePicture) {
    folder.putPicture("keep.jpg");
    pictures::Bytes before = folder.read("keep.jpg");
    // The 64x48 picture decodes within the limit; a 4000x3000 output doesn't.
    ImageBufferSetLimit(1 << 20);
    EXPECT_EQ(run(4000, 3000, 0), 4);
    EXPECT_EQ(folder.read("keep.jpg"), before);
    ImageBufferSetLimit(0);
    EXPECT_EQ(run(80, 60, 0), 0);
    EXPECT_EQ(dimensionsOf(folder.file("keep.jpg")), (Dimensions{80, 60, 3}));
}

TEST_F(ImageStage, OptimizerLogHoldsOnlyThisRun) {
    folder.put(JPEGOPTIMLOG_FILENAME, "output of an older run\n");
    folder.putPicture("a.jpg");
    ASSERT_EQ(run(0, 0, 0), 0);
    std::string optimizerLog = folder.read(JPEGOPTIMLOG_FILENAME);
    EXPECT_EQ(optimizerLog.find("older run"), std::string::npos);
    EXPECT_NE(optimizerLog.find("a.jpg"), std::string::npos);
}

TEST_F(ImageStage, ShellCharactersInNamesNeitherBreakNorExtendTheCommand) {
    const std::string evil = "it's a;touch injected;b $(touch sub).jpg";
    folder.putPicture(evil);
    ASSERT_EQ(run(0, 0, 0), 0);
    EXPECT_FALSE(folder.has("injected"));
    EXPECT_FALSE(std::filesystem::exists("injected"));
    EXPECT_FALSE(std::filesystem::exists("sub"));
    EXPECT_NE(folder.read(JPEGOPTIMLOG_FILENAME).find(evil), std::string::npos);
    // EXIF made it back, so the file the optimizer wrote is the one we read.
    JPEGFileData* jd = jpeg_data_new_from_file(folder.file(evil).c_str());
    ASSERT_GE(jd->count, 2u);
    EXPECT_EQ(jd->sections[1].marker, JPEG_MARKER_APP1);
    jpeg_data_free(jd);
}

TEST_F(ImageStage, SizeGoalReachesTheOptimizer) {
    pictures::Options o;
    o.width = 800;
    o.height = 600;
    folder.putPicture("big.jpg", o);
    struct stat st;
    ASSERT_EQ(stat(folder.file("big.jpg").c_str(), &st), 0);
    ASSERT_EQ(run(0, 0, 60), 0);
    struct stat after;
    ASSERT_EQ(stat(folder.file("big.jpg").c_str(), &after), 0);
    int goal = ImageHelperSizeGoal(st.st_size, 60);
    // jpegoptim aims at the goal; the EXIF block comes on top of it.
    EXPECT_LT(after.st_size, st.st_size);
    EXPECT_LT(after.st_size, static_cast<off_t>(goal) * 1024 * 13 / 10 + 8192);
}
