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
using ExifPtr = std::unique_ptr<ExifData, ExifUnref>;
using JpegPtr = std::unique_ptr<JPEGFileData, JpegFree>;

enum class Resize { Done, Failed, Skipped };

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

Resize resizePicture(const char* fullPath, int tw, int th) {
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
    if (h == th || w == tw) return Resize::Done;

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
    if (!stbi_write_jpg(fullPath, tw, th, c, out.get(), 100)) {
        LogErrorPrintf("Cannot save resized image %s", fullPath);
        return Resize::Failed;
    }
    return Resize::Done;
}

void optimiseFileSize(const std::string& folder, const char* fullPath, int percent) {
    struct stat st;
    long long size = stat(fullPath, &st) == 0 ? static_cast<long long>(st.st_size) : 0;
    int goal = ImageHelperSizeGoal(size, percent);

    // The optimizer may take long or die: have the log on the card first.
    LogSave();

    std::string cmd = ImageHelperShellQuote((folder + "jpegoptim").c_str());
    cmd += " -S" + std::to_string(goal) + " -s ";
    cmd += ImageHelperShellQuote(fullPath);
    cmd += " >> ";
    cmd += ImageHelperShellQuote((folder + JPEGOPTIMLOG_FILENAME).c_str());
    int rc = system(cmd.c_str());
    (void)rc;  // a failing optimizer leaves the file as it was
}

void restoreExif(const char* fullPath, ExifData* exif) {
    JpegPtr jd(jpeg_data_new_from_file(fullPath));
    jpeg_data_set_exif_data(jd.get(), exif);
    jpeg_data_save_file(jd.get(), fullPath);
}

// True when the picture was processed and counts.
bool processPicture(const std::string& folder, const char* fullPath, const ImageParams* params) {
    ExifPtr exif = takeExif(fullPath);
    if (exif) ImageHelperRemoveThumbnail(exif.get());

    if (params->target_width > 0 && params->target_height > 0) {
        Resize r = resizePicture(fullPath, params->target_width, params->target_height);
        if (r == Resize::Skipped) return false;
        if (r == Resize::Failed) {
            unlink(fullPath);
            return false;
        }
    }
    optimiseFileSize(folder, fullPath, params->target_file_size_kb);
    if (exif) restoreExif(fullPath, exif.get());
    return true;
}

}  // namespace

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

    int processed = 0;
    for (const std::string& fullPath : pictures)
        if (processPicture(folder, fullPath.c_str(), params)) processed++;
    ImageBufferRelease();

    if (processed == 0) {
        LogError("No files processed");
        return 4;
    }
    return 0;
}
