#include "ImageHelper.h"

#include <dirent.h>
#include <libexif/exif-data.h>
#include <libexif/exif-mem.h>
#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>
#include <stb/stb_image_write.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "Logger.h"
#include "SafeFile.h"
#include "jpeg-data.h"

// ---- image buffer pool ----------------------------------------------------
// Freed large buffers are kept for the next request of about their size. The
// kept and the live buffers together never exceed the most the stage has had
// live at once, so keeping costs no memory beyond a run without the pool.

namespace {

// Every pool buffer starts with its capacity; 16 bytes keep the payload aligned.
struct alignas(16) BufferHeader {
    size_t capacity;
};

constexpr size_t kKeptBuffers = 8;
constexpr size_t kKeepFrom = 64 * 1024;  // small buffers go straight back

struct BufferPool {
    BufferHeader* kept[kKeptBuffers];
    size_t keptBytes;
    size_t liveBytes;
    size_t highWater;  // most bytes live at once since the last release
    size_t limit;
};
BufferPool pool;

BufferHeader* headerOf(void* p) { return static_cast<BufferHeader*>(p) - 1; }

// Gives back kept buffers until `excess` bytes are freed: the smallest one
// that covers it alone, else the largest and again. Dropping only what is
// needed keeps the big pixel buffers for the next picture: a picture's small
// work buffers push the total just over the mark, and dropping the largest
// kept buffer for them would make every picture touch fresh memory again.
void dropKept(size_t excess) {
    while (excess > 0) {
        BufferHeader** pick = nullptr;
        for (BufferHeader*& b : pool.kept)
            if (b && b->capacity >= excess && (!pick || b->capacity < (*pick)->capacity)) pick = &b;
        if (!pick) {
            for (BufferHeader*& b : pool.kept)
                if (b && (!pick || b->capacity > (*pick)->capacity)) pick = &b;
            if (!pick) return;
        }
        size_t freed = (*pick)->capacity;
        pool.keptBytes -= freed;
        free(*pick);
        *pick = nullptr;
        excess = freed >= excess ? 0 : excess - freed;
    }
}

bool dropLargestKept() {
    BufferHeader** largest = nullptr;
    for (BufferHeader*& b : pool.kept)
        if (b && (!largest || b->capacity > (*largest)->capacity)) largest = &b;
    if (!largest) return false;
    pool.keptBytes -= (*largest)->capacity;
    free(*largest);
    *largest = nullptr;
    return true;
}

}  // namespace

void ImageBufferRelease(void) {
    for (BufferHeader*& b : pool.kept) {
        free(b);
        b = nullptr;
    }
    pool.keptBytes = 0;
    pool.highWater = pool.liveBytes;
}

void ImageBufferSetLimit(size_t bytes) { pool.limit = bytes; }

void* ImageBufferAlloc(size_t size) {
    if (pool.limit && size > pool.limit) return nullptr;
    // A kept buffer fits when it is not much larger than asked for.
    BufferHeader** best = nullptr;
    for (BufferHeader*& b : pool.kept)
        if (b && b->capacity >= size && b->capacity - size <= size / 4 &&
            (!best || b->capacity < (*best)->capacity))
            best = &b;
    if (best) {
        BufferHeader* h = *best;
        *best = nullptr;
        pool.keptBytes -= h->capacity;
        pool.liveBytes += h->capacity;
        if (pool.liveBytes > pool.highWater) pool.highWater = pool.liveBytes;
        return h + 1;
    }
    if (size > SIZE_MAX - sizeof(BufferHeader) - pool.liveBytes) return nullptr;
    size_t need = pool.liveBytes + size;
    if (need > pool.highWater) pool.highWater = need;
    if (pool.keptBytes + need > pool.highWater) dropKept(pool.keptBytes + need - pool.highWater);

    auto* h = static_cast<BufferHeader*>(malloc(sizeof(BufferHeader) + size));
    if (!h) {
        // Kept buffers may be what stands in the way.
        while (dropLargestKept()) {
        }
        h = static_cast<BufferHeader*>(malloc(sizeof(BufferHeader) + size));
        if (!h) return nullptr;
    }
    h->capacity = size;
    pool.liveBytes += size;
    return h + 1;
}

void ImageBufferFree(void* p) {
    if (!p) return;
    BufferHeader* h = headerOf(p);
    pool.liveBytes -= h->capacity;
    if (h->capacity >= kKeepFrom) {
        for (BufferHeader*& b : pool.kept) {
            if (!b) {
                b = h;
                pool.keptBytes += h->capacity;
                return;
            }
        }
    }
    free(h);
}

void* ImageBufferRealloc(void* p, size_t size) {
    if (!p) return ImageBufferAlloc(size);
    BufferHeader* h = headerOf(p);
    if (h->capacity >= size) return p;
    void* q = ImageBufferAlloc(size);
    if (!q) return nullptr;
    memcpy(q, p, h->capacity);
    ImageBufferFree(p);
    return q;
}

// ---- helpers --------------------------------------------------------------

namespace {

struct DirCloser {
    void operator()(DIR* d) const { closedir(d); }
};
struct ExifUnref {
    void operator()(ExifData* e) const { exif_data_unref(e); }
};
struct JpegFree {
    void operator()(JPEGFileData* j) const { jpeg_data_free(j); }
};
struct StbFree {
    void operator()(unsigned char* p) const { stbi_image_free(p); }
};
struct PoolFree {
    void operator()(unsigned char* p) const { ImageBufferFree(p); }
};
struct FileClose {
    void operator()(FILE* f) const { fclose(f); }
};
using ExifPtr = std::unique_ptr<ExifData, ExifUnref>;
using JpegPtr = std::unique_ptr<JPEGFileData, JpegFree>;

// Done: the work file holds the resized picture. Unchanged: no resize was
// needed. Failed: the picture can't be decoded (it is removed, as a picture
// that can't be loaded always was). NotSaved: the resized picture could not
// be written; the picture stays as it is. Skipped: no memory for it.
enum class Resize { Done, Unchanged, Failed, NotSaved, Skipped };

bool isRegularEntry(const std::string& dirPath, const dirent* ent) {
    if (ent->d_type == DT_REG) return true;
    if (ent->d_type != DT_UNKNOWN) return false;
    // Some file systems don't report the type in the listing.
    struct stat st;
    return lstat((dirPath + ent->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool hasJpgSuffix(const char* fullPath) {
    size_t n = strlen(fullPath);
    return n > 4 && strcasecmp(fullPath + n - 4, ".jpg") == 0;
}

// The EXIF block as found in the file, or null when it has none.
ExifPtr takeExif(const char* fullPath) {
    JpegPtr jd(jpeg_data_new_from_file(fullPath));
    return ExifPtr(jpeg_data_get_exif_data(jd.get()));
}

// The mark sits within the first segments: SOI, the EXIF block (at most
// 64 KiB) and the mark itself.
constexpr size_t kMarkSearchBytes = 2 + 4 + 65535 + 4 + sizeof(IMAGEHELPER_MARK);

bool fileIsMarked(const char* fullPath) {
    std::unique_ptr<FILE, FileClose> f(fopen(fullPath, "rb"));
    if (!f) return false;
    std::vector<unsigned char> head(kMarkSearchBytes);
    size_t n = fread(head.data(), 1, head.size(), f.get());
    return ImageHelperIsMarked(head.data(), n);
}

Resize resizePicture(const char* fullPath, const char* work, int tw, int th) {
    int w = 0, h = 0, c = 0;
    std::unique_ptr<unsigned char, StbFree> pixels(stbi_load(fullPath, &w, &h, &c, 0));
    if (!pixels) {
        LogErrorPrintf("Cannot load image: %s", fullPath);
        return Resize::Failed;
    }
    if (w == 0 || h == 0 || c == 0) {
        LogErrorPrintf("Invalid image: %s", fullPath);
        return Resize::Failed;
    }
    if (h == th || w == tw) return Resize::Unchanged;

    // A buffer we can't have is a shortage, not a bad picture: keep the file.
    unsigned long long bytes = static_cast<unsigned long long>(tw) * th * c;
    if (bytes > SIZE_MAX || bytes > INT_MAX) {
        LogErrorPrintf("Cannot allocate resized image %s", fullPath);
        return Resize::Skipped;
    }
    std::unique_ptr<unsigned char, PoolFree> out(
        static_cast<unsigned char*>(ImageBufferAlloc(static_cast<size_t>(bytes))));
    if (!out || !stbir_resize_uint8(pixels.get(), w, h, 0, out.get(), tw, th, 0, c)) {
        LogErrorPrintf("Cannot allocate resized image %s", fullPath);
        return Resize::Skipped;
    }
    pixels.reset();
    if (!stbi_write_jpg(work, tw, th, c, out.get(), 100)) {
        LogErrorPrintf("Cannot save resized image %s", fullPath);
        return Resize::NotSaved;
    }
    return Resize::Done;
}

void optimiseFileSize(const std::string& folder, const char* work, int percent) {
    struct stat st;
    long long size = stat(work, &st) == 0 ? static_cast<long long>(st.st_size) : 0;
    int goal = ImageHelperSizeGoal(size, percent);

    // The optimizer may take long or die: have the log on the card first.
    LogSave();

    std::string cmd = ImageHelperShellQuote((folder + "jpegoptim").c_str());
    cmd += " -S" + std::to_string(goal) + " -s ";
    cmd += ImageHelperShellQuote(work);
    cmd += " >> ";
    cmd += ImageHelperShellQuote((folder + JPEGOPTIMLOG_FILENAME).c_str());
    int rc = system(cmd.c_str());
    (void)rc;  // a failing optimizer leaves the work file as it was
}

// A file the section reader can carry over: it starts with the start of
// image and has a scan. Anything else (an optimizer that left half a file)
// must not replace the picture.
bool isWholeJpeg(const JPEGFileData* jd) {
    if (!jd || jd->count < 3 || jd->sections[0].marker != JPEG_MARKER_SOI || jd->size == 0)
        return false;
    bool scan = false;
    for (unsigned int i = 0; i < jd->count; i++)
        if (jd->sections[i].marker == JPEG_MARKER_SOS) scan = true;
    return scan && jd->sections[jd->count - 1].marker == JPEG_MARKER_EOI;
}

// Puts the kept EXIF block and the processed mark into the work file and
// renames it over the picture. False when the picture stays as it was.
bool finishPicture(const char* fullPath, const char* work, ExifData* exif) {
    JpegPtr jd(jpeg_data_new_from_file(work));
    if (!isWholeJpeg(jd.get())) return false;
    if (exif) jpeg_data_set_exif_data(jd.get(), exif);
    unsigned char* raw = nullptr;
    unsigned int size = 0;
    jpeg_data_save_data(jd.get(), &raw, &size);
    std::unique_ptr<unsigned char, decltype(&free)> bytes(raw, &free);
    if (!bytes || size == 0) return false;
    std::vector<unsigned char> image(bytes.get(), bytes.get() + size);
    bytes.reset();
    if (!ImageHelperAddMark(image)) return false;
    return SafeFileReplace(fullPath, work, image.data(), image.size()) == 1;
}

enum class Outcome { Processed, AlreadyProcessed, NotProcessed };

Outcome processPicture(const std::string& folder, const char* fullPath, const ImageParams* params) {
    // An earlier run shrank it already and its upload has not gone through:
    // shrinking it again would only cost the owner picture quality.
    if (fileIsMarked(fullPath)) {
        LogInfoPrintf("Already processed: %s", fullPath);
        return Outcome::AlreadyProcessed;
    }
    ExifPtr exif = takeExif(fullPath);
    if (exif) ImageHelperRemoveThumbnail(exif.get());

    // Every rewrite goes to the work file; the picture itself is only ever
    // replaced whole, by one rename.
    const std::string work = std::string(fullPath) + SAFEFILE_WORK_SUFFIX;
    Resize r = Resize::Unchanged;
    if (params->target_width > 0 && params->target_height > 0)
        r = resizePicture(fullPath, work.c_str(), params->target_width, params->target_height);
    if (r == Resize::Failed) {
        unlink(fullPath);
        SafeFileSyncFolder(fullPath);
    }
    if (r == Resize::Failed || r == Resize::NotSaved || r == Resize::Skipped) {
        unlink(work.c_str());
        return Outcome::NotProcessed;
    }
    if (r == Resize::Unchanged && !SafeFileCopy(fullPath, work.c_str())) {
        LogErrorPrintf("Cannot save resized image %s", fullPath);
        return Outcome::NotProcessed;
    }
    optimiseFileSize(folder, work.c_str(), params->target_file_size_kb);
    if (!finishPicture(fullPath, work.c_str(), exif.get())) {
        unlink(work.c_str());
        LogErrorPrintf("Cannot save processed image %s", fullPath);
        return Outcome::NotProcessed;
    }
    return Outcome::Processed;
}

}  // namespace

// Example: FF D8 | FF E1 <len> Exif.. | FF FE <len> "PicTrimApp processed" | FF DB ..
bool ImageHelperIsMarked(const unsigned char* bytes, size_t n) {
    const size_t markLen = sizeof(IMAGEHELPER_MARK) - 1;
    if (!bytes || n < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) return false;
    size_t o = 2;
    while (o + 4 <= n) {
        if (bytes[o] != 0xFF) return false;
        unsigned char marker = bytes[o + 1];
        if (marker == 0xFF) {  // fill byte
            o++;
            continue;
        }
        // The scan or the end: no mark before it.
        if (marker == JPEG_MARKER_SOS || marker == JPEG_MARKER_EOI) return false;
        size_t len = (static_cast<size_t>(bytes[o + 2]) << 8) | bytes[o + 3];
        if (len < 2 || o + 2 + len > n) return false;
        if (marker == JPEG_MARKER_COM && len - 2 == markLen &&
            memcmp(bytes + o + 4, IMAGEHELPER_MARK, markLen) == 0)
            return true;
        o += 2 + len;
    }
    return false;
}

bool ImageHelperAddMark(std::vector<unsigned char>& image) {
    const size_t markLen = sizeof(IMAGEHELPER_MARK) - 1;
    if (image.size() < 4 || image[0] != 0xFF || image[1] != 0xD8) return false;
    // After the EXIF block, which stays right behind the start of image.
    size_t at = 2;
    if (image[2] == 0xFF && image[3] == JPEG_MARKER_APP1) {
        if (image.size() < 6) return false;
        size_t len = (static_cast<size_t>(image[4]) << 8) | image[5];
        if (len < 2 || 4 + len > image.size()) return false;
        at = 4 + len;
    }
    const size_t segLen = markLen + 2;
    unsigned char head[4] = {0xFF, JPEG_MARKER_COM, static_cast<unsigned char>(segLen >> 8),
                             static_cast<unsigned char>(segLen & 0xFF)};
    const char* mark = IMAGEHELPER_MARK;
    image.insert(image.begin() + static_cast<std::ptrdiff_t>(at), mark, mark + markLen);
    image.insert(image.begin() + static_cast<std::ptrdiff_t>(at), head, head + 4);
    return true;
}

void ImageHelperRemoveThumbnail(ExifData* exif) {
    ExifContent* ifd1 = exif->ifd[EXIF_IFD_1];
    for (ExifTag tag : {EXIF_TAG_JPEG_INTERCHANGE_FORMAT,
                        EXIF_TAG_JPEG_INTERCHANGE_FORMAT_LENGTH}) {
        ExifEntry* e = exif_content_get_entry(ifd1, tag);
        if (e) exif_content_remove_entry(ifd1, e);
    }
    // libexif allocated the thumbnail with its default allocator.
    if (exif->data) {
        ExifMem* mem = exif_mem_new_default();
        exif_mem_free(mem, exif->data);
        exif_mem_unref(mem);
    }
    exif->data = nullptr;
    exif->size = 0;
}

std::string ImageHelperShellQuote(const char* text) {
    std::string q = "'";
    for (const char* p = text; *p; ++p) {
        if (*p == '\'')
            q += "'\\''";
        else
            q += *p;
    }
    q += "'";
    return q;
}

int ImageHelperSizeGoal(long long fileBytes, int percent) {
    long long goal = fileBytes * (100 - static_cast<long long>(percent)) / 102400;
    if (goal < 20) goal = 20;
    if (goal > INT_MAX) goal = INT_MAX;
    return static_cast<int>(goal);
}

int ImageHelperProcessFiles(const char* path, const ImageParams* params) {
    if (!path || !params) {
        LogError("Invalid ImageHelper arguments");
        return 1;
    }
    std::unique_ptr<DIR, DirCloser> dir(opendir(path));
    if (!dir) {
        LogErrorPrintf("Cannot access path: %s", path);
        return 3;
    }
    const std::string folder = path;
    unlink((folder + JPEGOPTIMLOG_FILENAME).c_str());
    // Work files of a run that lost its power: the pictures they belong to
    // are whole, and these must never be announced.
    SafeFileCleanFolder(path);

    // Take the listing first: the pictures are rewritten by rename while we
    // go, and a directory being read need not show a renamed entry only once.
    std::vector<std::string> pictures;
    while (const dirent* ent = readdir(dir.get())) {
        if (!isRegularEntry(folder, ent)) continue;
        char fullPath[255];
        int n = snprintf(fullPath, sizeof fullPath, "%s%s", path, ent->d_name);
        if (n < 0 || n >= static_cast<int>(sizeof fullPath)) continue;
        if (hasJpgSuffix(fullPath)) pictures.emplace_back(fullPath);
    }
    dir.reset();

    // A picture an earlier run processed counts: it is ready for the upload.
    int processed = 0;
    for (const std::string& fullPath : pictures)
        if (processPicture(folder, fullPath.c_str(), params) != Outcome::NotProcessed) processed++;
    ImageBufferRelease();
    // An optimizer that could not write (a full card) leaves its own work
    // file beside the picture; none may stay after the run.
    SafeFileCleanFolder(path);

    if (processed == 0) {
        LogError("No files processed");
        return 4;
    }
    return 0;
}
