#pragma once
// Brings every .jpg of a folder to a pixel size and a file size, keeping each
// picture's EXIF data (without its thumbnail). A picture is processed once:
// the result carries a mark, and a marked picture is left as it is. Each
// picture is replaced whole (SafeFile.h), never rewritten in place.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

typedef struct _ExifData ExifData;

struct ImageParams {
    int32_t target_width;         // 0 disables resizing
    int32_t target_height;        // 0 disables resizing
    int32_t target_file_size_kb;  // percentage by which each file shrinks
};

#define JPEGOPTIMLOG_FILENAME "jpegoptimlog.txt"

// The text of the comment segment that marks a processed picture. It rides
// along in the upload untouched, after the EXIF block.
#define IMAGEHELPER_MARK "PicTrimApp processed"

// 0 at least one picture processed, 1 missing arguments, 3 folder can't be
// opened, 4 no picture could be processed. `path` ends in '/'.
int ImageHelperProcessFiles(const char* path, const ImageParams* params);

// Size goal in KB for the optimizer: the file shrunk by `percent`, 20 at least.
int ImageHelperSizeGoal(long long fileBytes, int percent);

// Drops the thumbnail (IFD 1 pointers and its bytes) from EXIF data.
void ImageHelperRemoveThumbnail(ExifData* exif);

// True when the JPEG bytes (the whole file or its head) carry the processed
// mark among the segments before the scan.
bool ImageHelperIsMarked(const unsigned char* bytes, size_t n);

// Puts the processed mark into a JPEG image, after its start of image and
// its EXIF block. False (image unchanged) when it does not start as a JPEG.
bool ImageHelperAddMark(std::vector<unsigned char>& image);

// Quotes a text for the shell, so names with blanks, quotes or ';' stay one word.
std::string ImageHelperShellQuote(const char* text);

// Pixel buffers of the stb libraries. Freed large buffers are kept for the next
// picture of the run, so a folder of same-sized pictures allocates once.
void* ImageBufferAlloc(size_t size);
void* ImageBufferRealloc(void* p, size_t size);
void ImageBufferFree(void* p);
// Gives every kept buffer back to the system (end of the stage).
void ImageBufferRelease(void);
// Refuses any single buffer larger than `bytes` (0: no limit). Lets a test
// stand for a card-sized picture on a module short of memory.
void ImageBufferSetLimit(size_t bytes);
