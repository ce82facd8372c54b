#pragma once
// Camera-like JPEG pictures made on the spot for the PicTrimApp tests: stb
// encodes the pixels, libexif builds the EXIF block (with a thumbnail if asked).
// Needs the stb implementation that pictrim_lib carries.
#include <libexif/exif-data.h>
#include <stb/stb_image.h>
#include <stb/stb_image_write.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace pictures {

using Bytes = std::string;

inline void appendBytes(void* ctx, void* data, int size) {
    static_cast<Bytes*>(ctx)->append(static_cast<const char*>(data), static_cast<size_t>(size));
}

// A smooth pattern with a little texture, so the optimizer has work to do.
inline Bytes encode(int w, int h, int channels, int quality = 90) {
    std::vector<unsigned char> px(static_cast<size_t>(w) * h * channels);
    uint32_t seed = 12345;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            for (int c = 0; c < channels; c++) {
                seed = seed * 1103515245u + 12345u;
                int v = (x * 255 / (w > 1 ? w - 1 : 1) + y * 128 / (h > 1 ? h - 1 : 1) + c * 60 +
                         static_cast<int>((seed >> 16) % 24)) % 256;
                px[(static_cast<size_t>(y) * w + x) * channels + c] = static_cast<unsigned char>(v);
            }
    Bytes out;
    stbi_write_jpg_to_func(appendBytes, &out, w, h, channels, px.data(), quality);
    return out;
}

inline void addAscii(ExifData* ed, ExifIfd ifd, ExifTag tag, const char* text) {
    ExifEntry* e = exif_entry_new();
    exif_content_add_entry(ed->ifd[ifd], e);
    e->tag = tag;
    e->format = EXIF_FORMAT_ASCII;
    e->components = strlen(text) + 1;
    e->size = static_cast<unsigned int>(e->components);
    e->data = static_cast<unsigned char*>(malloc(e->size));
    memcpy(e->data, text, e->size);
    exif_entry_unref(e);
}

// The EXIF block as libexif serialises it ("Exif\0\0" and the TIFF structure).
inline Bytes exifBlock(bool withThumbnail) {
    ExifData* ed = exif_data_new();
    exif_data_set_byte_order(ed, EXIF_BYTE_ORDER_INTEL);
    addAscii(ed, EXIF_IFD_0, EXIF_TAG_MAKE, "TrailCam");
    addAscii(ed, EXIF_IFD_0, EXIF_TAG_MODEL, "TC-1");
    addAscii(ed, EXIF_IFD_EXIF, EXIF_TAG_DATE_TIME_ORIGINAL, "2024:05:01 06:12:00");
    exif_data_fix(ed);
    if (withThumbnail) {
        Bytes thumb = encode(160, 120, 3, 70);
        ed->data = static_cast<unsigned char*>(malloc(thumb.size()));
        memcpy(ed->data, thumb.data(), thumb.size());
        ed->size = static_cast<unsigned int>(thumb.size());
    }
    unsigned char* buf = nullptr;
    unsigned int len = 0;
    exif_data_save_data(ed, &buf, &len);
    exif_data_unref(ed);
    // libexif completes a block as it loads it; one pass through a load makes
    // the block one that it reproduces unchanged.
    ed = exif_data_new_from_data(buf, len);
    free(buf);
    exif_data_save_data(ed, &buf, &len);
    Bytes block(reinterpret_cast<char*>(buf), len);
    free(buf);
    exif_data_unref(ed);
    return block;
}

inline Bytes segment(unsigned char marker, const Bytes& payload) {
    Bytes s;
    s += '\xFF';
    s += static_cast<char>(marker);
    size_t l = payload.size() + 2;
    s += static_cast<char>((l >> 8) & 0xFF);
    s += static_cast<char>(l & 0xFF);
    return s + payload;
}

// Puts a segment right after SOI.
inline Bytes insertAfterSoi(const Bytes& jpeg, const Bytes& seg) {
    return jpeg.substr(0, 2) + seg + jpeg.substr(2);
}

struct Options {
    int width = 64;
    int height = 48;
    int channels = 3;
    bool exif = true;
    bool thumbnail = true;
    bool comment = false;  // a COM segment as well
};

inline Bytes make(const Options& o) {
    Bytes jpeg = encode(o.width, o.height, o.channels);
    if (o.comment) jpeg = insertAfterSoi(jpeg, segment(0xFE, "trail camera 7"));
    if (o.exif) jpeg = insertAfterSoi(jpeg, segment(0xE1, exifBlock(o.thumbnail)));
    return jpeg;
}

inline void writeFile(const std::string& path, const Bytes& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << bytes;
}

inline Bytes readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

}  // namespace pictures
