#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "jpeg-data.h"
#include "pictures.h"

using pictures::Bytes;

namespace {

struct Message {
    ExifLogCode code;
    std::string domain;
    std::string text;
};

void collect(ExifLog*, ExifLogCode code, const char* domain, const char* format, va_list args,
             void* data) {
    char text[256];
    vsnprintf(text, sizeof text, format, args);
    static_cast<std::vector<Message>*>(data)->push_back({code, domain, text});
}

// A container with a log channel that records what it is told.
struct Loaded {
    std::vector<Message> messages;
    ExifLog* log = exif_log_new();
    JPEGFileData* data = jpeg_data_new();

    Loaded() {
        exif_log_set_func(log, collect, &messages);
        jpeg_data_log(data, log);
    }
    explicit Loaded(const Bytes& bytes) : Loaded() { load(bytes); }
    ~Loaded() {
        jpeg_data_unref(data);
        exif_log_unref(log);
    }
    void load(const Bytes& b) {
        jpeg_data_load_data(data, reinterpret_cast<const unsigned char*>(b.data()),
                            static_cast<unsigned int>(b.size()));
    }
    std::vector<int> markers() const {
        std::vector<int> m;
        for (unsigned i = 0; i < data->count; i++) m.push_back(data->sections[i].marker);
        return m;
    }
    Bytes save() const {
        unsigned char* out = nullptr;
        unsigned int n = 0;
        jpeg_data_save_data(data, &out, &n);
        Bytes b(reinterpret_cast<char*>(out), n);
        free(out);
        return b;
    }
};

// The picture of the usual camera layout: SOI APP1 DQT SOF0 DHT SOS EOI.
Bytes cameraLayout() {
    Bytes stb = pictures::encode(64, 48, 3);
    // stb writes a JFIF APP0 right after SOI: cut it out.
    EXPECT_EQ(static_cast<unsigned char>(stb[3]), 0xE0);
    size_t app0 = 2 + 2 + ((static_cast<unsigned char>(stb[4]) << 8) | static_cast<unsigned char>(stb[5]));
    Bytes plain = stb.substr(0, 2) + stb.substr(app0);
    return pictures::insertAfterSoi(plain, pictures::segment(0xE1, pictures::exifBlock(true)));
}

class TempDir {
public:
    TempDir() {
        char t[] = "/tmp/jpegtest.XXXXXX";
        dir_ = mkdtemp(t);
    }
    ~TempDir() { std::filesystem::remove_all(dir_); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

private:
    std::string dir_;
};

const std::vector<int> kCameraMarkers = {0xD8, 0xE1, 0xDB, 0xC0, 0xC4, 0xDA, 0xD9};

}  // namespace

TEST(JpegLoad, CameraLayoutRoundTripsByteForByte) {
    Bytes file = cameraLayout();
    Loaded j(file);
    EXPECT_EQ(j.markers(), kCameraMarkers);
    EXPECT_TRUE(j.messages.empty());
    EXPECT_EQ(j.save(), file);

    TempDir dir;
    std::string path = dir.path("a.jpg");
    pictures::writeFile(path, "old content");
    ASSERT_EQ(jpeg_data_save_file(j.data, path.c_str()), 1);
    EXPECT_EQ(pictures::readFile(path), file);
    EXPECT_FALSE(std::filesystem::exists(path + ".part"));

    JPEGFileData* again = jpeg_data_new_from_file(path.c_str());
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->count, 7u);
    EXPECT_EQ(again->size, j.data->size);
    jpeg_data_free(again);
}

TEST(JpegLoad, TruncatedFileKeepsTheWholeScanAndHasNoEoi) {
    Bytes file = cameraLayout();
    Bytes cut = file.substr(0, file.size() - 40);
    ASSERT_NE(static_cast<unsigned char>(cut[cut.size() - 2]), 0xFF);
    Loaded full(file), j(cut);
    EXPECT_EQ(j.markers(), std::vector<int>(kCameraMarkers.begin(), kCameraMarkers.end() - 1));
    EXPECT_EQ(j.data->size, full.data->size - 38);
    EXPECT_EQ(j.save(), cut);
    // Cut right after a stuffed 0xFF 0x00 of the scan: those bytes are scan
    // data, not a marker, and survive the pass.
    Bytes stuffed = cut + Bytes("\xFF\x00", 2);
    Loaded k(stuffed);
    EXPECT_EQ(k.data->size, j.data->size + 2);
    EXPECT_EQ(k.save(), stuffed);
}

TEST(JpegLoad, FillBytesAndBadMarkers) {
    {
        Loaded j(Bytes("\xFF\xFF\xFF\xD8", 4));
        EXPECT_EQ(j.markers(), std::vector<int>{0xD8});
        EXPECT_TRUE(j.messages.empty());
    }
    {
        // Seven fill bytes are the most; the eighth is read as the marker.
        Loaded j(Bytes("\xFF\xD8") + Bytes(8, '\xFF') + Bytes("\xD9", 1));
        EXPECT_EQ(j.markers(), std::vector<int>{0xD8});
        ASSERT_EQ(j.messages.size(), 1u);
        EXPECT_EQ(j.messages[0].code, EXIF_LOG_CODE_CORRUPT_DATA);
        EXPECT_EQ(j.messages[0].domain, "jpeg-data");
        EXPECT_EQ(j.messages[0].text, "Data does not follow JPEG specification.");
    }
    {
        // Only fill bytes left.
        Loaded j(Bytes("\xFF\xD8\xFF\xFF", 4));
        EXPECT_EQ(j.markers(), std::vector<int>{0xD8});
        EXPECT_EQ(j.messages.size(), 1u);
    }
    {
        // A marker without a fill byte is taken.
        Loaded j(Bytes("\xD8\xFF\xD9", 3));
        EXPECT_EQ(j.markers(), (std::vector<int>{0xD8, 0xD9}));
    }
}

TEST(JpegLoad, LengthFieldsThatDontFitStopSilently) {
    for (const char* len : {"\x00\x00", "\x00\x01", "\x40\x00"}) {
        Loaded j(Bytes("\xFF\xD8\xFF\xDB", 4) + Bytes(len, 2) + Bytes(10, '\x11'));
        EXPECT_EQ(j.markers(), (std::vector<int>{0xD8, 0xDB}));
        EXPECT_EQ(j.data->sections[1].content.generic.data, nullptr);
        EXPECT_EQ(j.data->sections[1].content.generic.size, 0u);
        EXPECT_TRUE(j.messages.empty());
    }
    // One byte of length field left.
    Loaded j(Bytes("\xFF\xD8\xFF\xDB\x00", 5));
    EXPECT_EQ(j.markers(), (std::vector<int>{0xD8, 0xDB}));
}

TEST(JpegLoad, App1AtTheVeryStartIsParsedWithinTheInput) {
    // No SOI and no fill byte before the APP1 marker: libexif must not be
    // handed the byte before the input.
    Bytes seg = pictures::segment(0xE1, pictures::exifBlock(false)).substr(1);
    Loaded j(seg);
    ASSERT_EQ(j.markers(), std::vector<int>{0xE1});
    ExifData* ed = jpeg_data_get_exif_data(j.data);
    ASSERT_NE(ed, nullptr);
    EXPECT_NE(exif_content_get_entry(ed->ifd[EXIF_IFD_0], EXIF_TAG_MAKE), nullptr);
    exif_data_unref(ed);
}

TEST(JpegExif, SetInsertsAfterTheFirstSectionOrReplacesTheFirstApp1) {
    Bytes noExif = Bytes("\xFF\xD8", 2) + pictures::segment(0xDB, Bytes(65, '\x01')) +
                   pictures::segment(0xDA, Bytes(8, '\x02')) + Bytes("\x12\x34\xFF\xD9", 4);
    Loaded j(noExif);
    EXPECT_EQ(jpeg_data_get_exif_data(j.data), nullptr);

    ExifData* ed = exif_data_new_from_data(
        reinterpret_cast<const unsigned char*>(pictures::exifBlock(false).data()),
        static_cast<unsigned int>(pictures::exifBlock(false).size()));
    jpeg_data_set_exif_data(j.data, ed);
    EXPECT_EQ(j.markers(), (std::vector<int>{0xD8, 0xE1, 0xDB, 0xDA, 0xD9}));
    EXPECT_EQ(j.data->size, 2u);

    // Setting again replaces, and the container holds its own reference.
    jpeg_data_set_exif_data(j.data, ed);
    EXPECT_EQ(j.data->count, 5u);
    exif_data_unref(ed);
    ExifData* got = jpeg_data_get_exif_data(j.data);
    EXPECT_EQ(got, ed);
    exif_data_unref(got);

    Loaded reread(j.save());
    EXPECT_EQ(reread.markers(), (std::vector<int>{0xD8, 0xE1, 0xDB, 0xDA, 0xD9}));

    // An empty container stays empty.
    JPEGFileData* empty = jpeg_data_new();
    jpeg_data_set_exif_data(empty, ed);
    EXPECT_EQ(empty->count, 0u);
    jpeg_data_free(empty);
}

TEST(JpegExif, GetReturnsTheFirstOfTwoApp1) {
    Bytes a = pictures::exifBlock(false);
    Bytes two = Bytes("\xFF\xD8", 2) + pictures::segment(0xE1, a) +
                pictures::segment(0xE1, Bytes("http://ns.adobe.com/xap/1.0/\0<x/>", 33)) +
                Bytes("\xFF\xD9", 2);
    Loaded j(two);
    ASSERT_EQ(j.markers(), (std::vector<int>{0xD8, 0xE1, 0xE1, 0xD9}));
    ExifData* got = jpeg_data_get_exif_data(j.data);
    EXPECT_EQ(got, j.data->sections[1].content.app1);
    exif_data_unref(got);
}

TEST(JpegSave, App1WithNothingToWriteIsLeftOut) {
    Loaded j(Bytes("\xFF\xD8\xFF\xD9", 4));
    jpeg_data_append_section(j.data);
    // Move the new section between SOI and EOI as an APP1 without EXIF data.
    std::swap(j.data->sections[1], j.data->sections[2]);
    j.data->sections[1].marker = JPEG_MARKER_APP1;
    EXPECT_EQ(j.save(), Bytes("\xFF\xD8\xFF\xD9", 4));
}

TEST(JpegSave, FailuresLeaveTheFileThatWasThere) {
    TempDir dir;
    std::string path = dir.path("p.jpg");
    pictures::writeFile(path, "keep me");

    JPEGFileData* empty = jpeg_data_new();
    EXPECT_EQ(jpeg_data_save_file(empty, path.c_str()), 0);
    jpeg_data_free(empty);
    EXPECT_EQ(pictures::readFile(path), "keep me");

    // The file beside it can't be made: the picture must survive.
    Loaded j(cameraLayout());
    ASSERT_EQ(mkdir((path + ".part").c_str(), 0755), 0);
    EXPECT_EQ(jpeg_data_save_file(j.data, path.c_str()), 0);
    EXPECT_EQ(pictures::readFile(path), "keep me");

    EXPECT_EQ(jpeg_data_save_file(j.data, dir.path("missing/p.jpg").c_str()), 0);
    EXPECT_EQ(jpeg_data_save_file(nullptr, path.c_str()), 0);
}

TEST(JpegFile, UnreadablePathsAreReportedOnTheLogChannel) {
    Loaded j;
    jpeg_data_load_file(j.data, "/nonexistent/x.jpg");
    ASSERT_EQ(j.messages.size(), 1u);
    EXPECT_EQ(j.messages[0].text, "Path '/nonexistent/x.jpg' invalid.");
    EXPECT_EQ(j.messages[0].code, EXIF_LOG_CODE_CORRUPT_DATA);
    EXPECT_EQ(j.data->count, 0u);

    // Not a JPEG at all: one complaint, nothing loaded.
    TempDir dir;
    pictures::writeFile(dir.path("text.jpg"), "hello, this is not a picture");
    Loaded t;
    jpeg_data_load_file(t.data, dir.path("text.jpg").c_str());
    EXPECT_EQ(t.data->count, 0u);
    ASSERT_EQ(t.messages.size(), 1u);
    EXPECT_EQ(t.messages[0].text, "Data does not follow JPEG specification.");
}

TEST(JpegRefs, LastReferenceFreesAndNullIsAccepted) {
    JPEGFileData* d = jpeg_data_new_from_data(
        reinterpret_cast<const unsigned char*>(cameraLayout().data()),
        static_cast<unsigned int>(cameraLayout().size()));
    jpeg_data_ref(d);
    jpeg_data_unref(d);
    EXPECT_EQ(d->count, 7u);  // still alive: one reference left
    jpeg_data_unref(d);       // freed; the sanitizers catch a leak or double free

    jpeg_data_ref(nullptr);
    jpeg_data_unref(nullptr);
    jpeg_data_free(nullptr);
    jpeg_data_load_data(nullptr, nullptr, 0);
    jpeg_data_dump(nullptr);
    EXPECT_EQ(jpeg_data_get_exif_data(nullptr), nullptr);
}

TEST(JpegMarker, NamesAndDescriptions) {
    EXPECT_STREQ(jpeg_marker_get_name(0xE1), "APP1");
    EXPECT_STREQ(jpeg_marker_get_description(0xE1), "Application segment 1");
    EXPECT_STREQ(jpeg_marker_get_name(0xCD), "SOF13");
    EXPECT_STREQ(jpeg_marker_get_description(0xCF),
                 "Encoding (differential lossless, arithmetic)");
    EXPECT_STREQ(jpeg_marker_get_name(0xD7), "RST7");
    EXPECT_STREQ(jpeg_marker_get_name(0xFD), "JPG13");
    EXPECT_EQ(jpeg_marker_get_name(0xD0), nullptr);
    EXPECT_EQ(jpeg_marker_get_name(0x01), nullptr);
    EXPECT_EQ(jpeg_marker_get_description(0xD0), nullptr);

    int rows = 0;
    for (const JPEGMarkerTableRow* r = JPEGMarkerTable; r->name; ++r) rows++;
    EXPECT_EQ(rows, 62);
    // Every valid marker but RST0 and the gaps of the table has a row.
    for (int m = 0xC0; m <= 0xFE; m++)
        EXPECT_EQ(jpeg_marker_get_name(m) != nullptr, m != 0xD0) << std::hex << m;
}

TEST(JpegDump, ListsSectionsWithNamesAndSizes) {
    Loaded j(cameraLayout());
    testing::internal::CaptureStdout();
    jpeg_data_dump(j.data);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("Dumping JPEG data (" + std::to_string(j.data->size) + " bytes of data)...\n", 0), 0u);
    EXPECT_NE(out.find("Section 0 (marker 0xd8 - SOI):\n  Description: Start of image\n"),
              std::string::npos);
    EXPECT_NE(out.find("Section 2 (marker 0xdb - DQT):\n  Description: Define quantization table\n  Size: "),
              std::string::npos);
    EXPECT_NE(out.find("  Unknown content.\n"), std::string::npos);
    EXPECT_NE(out.find("Section 6 (marker 0xd9 - EOI):"), std::string::npos);
}
