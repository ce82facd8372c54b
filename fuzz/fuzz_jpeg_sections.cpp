// The JPEG section container over any bytes: load, save, load the saved
// bytes again and save once more. Apart from the EXIF block (libexif may
// complete a damaged one with its mandatory tags on the next load), the
// second save must equal the first: whatever the loader kept, it keeps
// again, so a pass through the container changes no picture data.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "jpeg-data.h"

namespace {
struct Saved {
    unsigned char* bytes = nullptr;
    unsigned int size = 0;
    ~Saved() { free(bytes); }
};

// The saved bytes without their APP1 sections: walks the marker sections up
// to the scan and keeps all but APP1.
std::string withoutExif(const unsigned char* b, size_t n) {
    std::string out;
    size_t pos = 0;
    if (n >= 2 && b[0] == 0xff && b[1] == 0xd8) {
        out.append(reinterpret_cast<const char*>(b), 2);
        pos = 2;
    }
    while (pos + 2 <= n && b[pos] == 0xff && b[pos + 1] != 0xda) {
        if (b[pos + 1] == 0xd8 || b[pos + 1] == 0xd9) {  // SOI, EOI: no length
            out.append(reinterpret_cast<const char*>(b + pos), 2);
            pos += 2;
            continue;
        }
        if (pos + 4 > n) break;
        size_t len = 2 + ((static_cast<size_t>(b[pos + 2]) << 8) | b[pos + 3]);
        if (pos + len > n) break;
        if (b[pos + 1] != 0xe1) out.append(reinterpret_cast<const char*>(b + pos), len);
        pos += len;
    }
    out.append(reinterpret_cast<const char*>(b + pos), n - pos);
    return out;
}

void saveOf(const unsigned char* in, unsigned int size, Saved& out) {
    JPEGFileData* d = jpeg_data_new_from_data(in, size);
    if (d == nullptr) return;
    jpeg_data_save_data(d, &out.bytes, &out.size);
    // The EXIF block is reachable after a load and survives a reference cycle.
    ExifData* exif = jpeg_data_get_exif_data(d);
    if (exif != nullptr) exif_data_unref(exif);
    jpeg_data_unref(d);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1u << 20) return 0;
    Saved first;
    saveOf(data, static_cast<unsigned int>(size), first);
    if (first.bytes == nullptr || first.size == 0) return 0;
    Saved second;
    saveOf(first.bytes, first.size, second);
    if (second.bytes == nullptr) abort();  // a saved file must load again
    if (withoutExif(first.bytes, first.size) != withoutExif(second.bytes, second.size)) abort();
    return 0;
}
