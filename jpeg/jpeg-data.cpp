#include "jpeg-data.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

#define JPEG_DATA_DOMAIN "jpeg-data"

struct JPEGFileDataPrivate {
    unsigned int ref_count;
    ExifLog* log;
};

namespace {

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

ExifLog* logOf(JPEGFileData* data) { return data->priv ? data->priv->log : nullptr; }

void noMemory(JPEGFileData* data, unsigned long bytes) {
    exif_log(logOf(data), EXIF_LOG_CODE_NO_MEMORY, JPEG_DATA_DOMAIN,
             "Could not allocate %lu byte(s).", bytes);
}

void corrupt(JPEGFileData* data) {
    exif_log(logOf(data), EXIF_LOG_CODE_CORRUPT_DATA, JPEG_DATA_DOMAIN,
             "Data does not follow JPEG specification.");
}

// Grows the section table by one zeroed section; false when memory runs out.
bool growSections(JPEGFileData* data) {
    size_t bytes = sizeof(JPEGMarkerSection) * (static_cast<size_t>(data->count) + 1);
    void* s = realloc(data->sections, bytes);
    if (!s) {
        noMemory(data, bytes);
        return false;
    }
    data->sections = static_cast<JPEGMarkerSection*>(s);
    memset(&data->sections[data->count], 0, sizeof(JPEGMarkerSection));
    data->count++;
    return true;
}

void releaseSection(JPEGMarkerSection* s) {
    switch (s->marker) {
        case JPEG_MARKER_SOI:
        case JPEG_MARKER_EOI:
            break;
        case JPEG_MARKER_APP1:
            if (s->content.app1) exif_data_unref(s->content.app1);
            break;
        default:
            free(s->content.generic.data);
            break;
    }
    memset(&s->content, 0, sizeof(s->content));
}

// A growable output buffer for the file image.
struct Image {
    unsigned char* bytes = nullptr;
    size_t size = 0;
    size_t cap = 0;
    bool failed = false;

    void put(const void* p, size_t n) {
        if (failed || n == 0) return;
        if (size + n > cap) {
            size_t want = cap ? cap : 4096;
            while (want < size + n) want *= 2;
            void* b = realloc(bytes, want);
            if (!b) {
                failed = true;
                return;
            }
            bytes = static_cast<unsigned char*>(b);
            cap = want;
        }
        memcpy(bytes + size, p, n);
        size += n;
    }
    void put16(size_t v) {
        unsigned char b[2] = {static_cast<unsigned char>((v >> 8) & 0xFF),
                              static_cast<unsigned char>(v & 0xFF)};
        put(b, 2);
    }
};

bool buildImage(JPEGFileData* data, Image& img) {
    for (unsigned int i = 0; i < data->count && !img.failed; i++) {
        const JPEGMarkerSection& s = data->sections[i];
        unsigned char m[2] = {0xFF, static_cast<unsigned char>(s.marker)};
        switch (s.marker) {
            case JPEG_MARKER_SOI:
            case JPEG_MARKER_EOI:
                img.put(m, 2);
                break;
            case JPEG_MARKER_APP1: {
                unsigned char* ed = nullptr;
                unsigned int es = 0;
                if (s.content.app1) exif_data_save_data(s.content.app1, &ed, &es);
                // A marker without length or payload makes the file unreadable
                // for strict readers: leave an empty EXIF section out.
                if (ed && es > 0 && es <= 0xFFFF - 2) {
                    img.put(m, 2);
                    img.put16(es + 2);
                    img.put(ed, es);
                }
                free(ed);
                break;
            }
            default:
                img.put(m, 2);
                img.put16(static_cast<size_t>(s.content.generic.size) + 2);
                img.put(s.content.generic.data, s.content.generic.size);
                if (s.marker == JPEG_MARKER_SOS) img.put(data->data, data->size);
                break;
        }
    }
    if (img.failed) {
        free(img.bytes);
        img.bytes = nullptr;
        img.size = 0;
        return false;
    }
    return true;
}

}  // namespace

JPEGFileData* jpeg_data_new(void) {
    auto* data = static_cast<JPEGFileData*>(calloc(1, sizeof(JPEGFileData)));
    if (!data) return nullptr;
    data->priv = static_cast<JPEGFileDataPrivate*>(calloc(1, sizeof(JPEGFileDataPrivate)));
    if (!data->priv) {
        free(data);
        return nullptr;
    }
    data->priv->ref_count = 1;
    return data;
}

JPEGFileData* jpeg_data_new_from_data(const unsigned char* d, unsigned int size) {
    JPEGFileData* data = jpeg_data_new();
    jpeg_data_load_data(data, d, size);
    return data;
}

JPEGFileData* jpeg_data_new_from_file(const char* path) {
    JPEGFileData* data = jpeg_data_new();
    jpeg_data_load_file(data, path);
    return data;
}

void jpeg_data_append_section(JPEGFileData* data) {
    if (!data) return;
    growSections(data);
}

void jpeg_data_load_data(JPEGFileData* data, const unsigned char* d, unsigned int size) {
    if (!data || !d) return;
    const uint32_t n = size;
    uint32_t o = 0;
    while (o < n) {
        // Up to seven fill bytes may precede a marker.
        uint32_t i = 0;
        while (i < 7 && i < n - o && d[o + i] == 0xFF) i++;
        if (i >= n - o || !JPEG_IS_MARKER(d[o + i])) {
            corrupt(data);
            return;
        }
        if (!growSections(data)) return;
        JPEGMarkerSection* s = &data->sections[data->count - 1];
        s->marker = d[o + i];
        const uint32_t markerAt = o + i;
        o = markerAt + 1;

        if (s->marker == JPEG_MARKER_SOI || s->marker == JPEG_MARKER_EOI) continue;

        if (n - o < 2) return;
        const uint32_t L = (static_cast<uint32_t>(d[o]) << 8) | d[o + 1];
        const uint32_t len = L - 2;  // L < 2 wraps to a huge value and stops below
        if (len > n) return;
        o += 2;
        if (len > n - o) return;

        if (s->marker == JPEG_MARKER_APP1) {
            // libexif wants the segment from its marker on; the 0xFF before
            // the marker is only there when the file had a fill byte.
            if (i > 0)
                s->content.app1 = exif_data_new_from_data(d + markerAt - 1, L + 2);
            else
                s->content.app1 = exif_data_new_from_data(d + markerAt, L + 1);
        } else {
            s->content.generic.data = static_cast<unsigned char*>(malloc(len ? len : 1));
            if (!s->content.generic.data) {
                noMemory(data, len);
                return;
            }
            memcpy(s->content.generic.data, d + o, len);
            s->content.generic.size = len;

            if (s->marker == JPEG_MARKER_SOS) {
                const uint32_t start = o + len;
                uint32_t r = n - start;
                // Leave the closing end-of-image marker to the next section;
                // any other last two bytes (a cut-off file) are scan data and
                // must not be lost.
                if (r >= 2 && d[n - 2] == 0xFF && d[n - 1] == JPEG_MARKER_EOI) r -= 2;
                free(data->data);
                data->data = static_cast<unsigned char*>(malloc(r ? r : 1));
                if (!data->data) {
                    noMemory(data, r);
                    data->size = 0;
                    return;
                }
                memcpy(data->data, d + start, r);
                data->size = r;
                o += r;
            }
        }
        o += len;
    }
}

void jpeg_data_load_file(JPEGFileData* data, const char* path) {
    if (!data || !path) return;
    FilePtr f(fopen(path, "rb"));
    if (!f) {
        exif_log(logOf(data), EXIF_LOG_CODE_CORRUPT_DATA, JPEG_DATA_DOMAIN, "Path '%s' invalid.",
                 path);
        return;
    }
    if (fseek(f.get(), 0, SEEK_END) != 0) return;
    long end = ftell(f.get());
    rewind(f.get());
    if (end < 0 || static_cast<unsigned long>(end) > UINT32_MAX) {
        exif_log(logOf(data), EXIF_LOG_CODE_CORRUPT_DATA, JPEG_DATA_DOMAIN,
                 "Could not read '%s'.", path);
        return;
    }
    if (end == 0) return;
    const size_t size = static_cast<size_t>(end);
    std::unique_ptr<unsigned char, decltype(&free)> buf(
        static_cast<unsigned char*>(malloc(size)), &free);
    if (!buf) {
        noMemory(data, size);
        return;
    }
    if (fread(buf.get(), 1, size, f.get()) < size) {
        f.reset();
        exif_log(logOf(data), EXIF_LOG_CODE_CORRUPT_DATA, JPEG_DATA_DOMAIN,
                 "Could not read '%s'.", path);
        return;
    }
    f.reset();
    jpeg_data_load_data(data, buf.get(), static_cast<unsigned int>(size));
}

void jpeg_data_save_data(JPEGFileData* data, unsigned char** d, unsigned int* size) {
    if (!data || !d || !size) return;
    *d = nullptr;
    *size = 0;
    Image img;
    if (!buildImage(data, img) || img.size > UINT32_MAX) {
        free(img.bytes);
        return;
    }
    *d = img.bytes;
    *size = static_cast<unsigned int>(img.size);
}

int jpeg_data_save_file(JPEGFileData* data, const char* path) {
    if (!data || !path || data->count == 0) return 0;
    Image img;
    if (!buildImage(data, img)) return 0;
    std::unique_ptr<unsigned char, decltype(&free)> bytes(img.bytes, &free);

    // Write beside the file and rename over it, so a full card, a failed open
    // or a power cut never costs the picture that is already there.
    std::string tmp = std::string(path) + ".part";
    FilePtr f(fopen(tmp.c_str(), "wb"));
    if (!f) return 0;
    size_t written = fwrite(bytes.get(), 1, img.size, f.get());
    bool ok = written == img.size && fflush(f.get()) == 0 && fsync(fileno(f.get())) == 0;
    ok = (fclose(f.release()) == 0) && ok;
    if (!ok || rename(tmp.c_str(), path) != 0) {
        unlink(tmp.c_str());
        return 0;
    }
    return 1;
}

void jpeg_data_ref(JPEGFileData* data) {
    if (!data) return;
    data->priv->ref_count++;
}

void jpeg_data_unref(JPEGFileData* data) {
    if (!data) return;
    if (data->priv->ref_count > 0) data->priv->ref_count--;
    if (data->priv->ref_count == 0) jpeg_data_free(data);
}

void jpeg_data_free(JPEGFileData* data) {
    if (!data) return;
    for (unsigned int i = 0; i < data->count; i++) releaseSection(&data->sections[i]);
    free(data->sections);
    free(data->data);
    if (data->priv) {
        if (data->priv->log) exif_log_unref(data->priv->log);
        free(data->priv);
    }
    free(data);
}

ExifData* jpeg_data_get_exif_data(JPEGFileData* data) {
    if (!data) return nullptr;
    for (unsigned int i = 0; i < data->count; i++) {
        if (data->sections[i].marker == JPEG_MARKER_APP1) {
            ExifData* ed = data->sections[i].content.app1;
            if (ed) exif_data_ref(ed);
            return ed;
        }
    }
    return nullptr;
}

void jpeg_data_set_exif_data(JPEGFileData* data, ExifData* exif_data) {
    if (!data) return;
    for (unsigned int i = 0; i < data->count; i++) {
        JPEGMarkerSection& s = data->sections[i];
        if (s.marker == JPEG_MARKER_APP1) {
            // Take the new reference first: old and new may be the same.
            if (exif_data) exif_data_ref(exif_data);
            if (s.content.app1) exif_data_unref(s.content.app1);
            s.content.app1 = exif_data;
            return;
        }
    }
    if (data->count == 0) return;
    if (!growSections(data)) return;
    memmove(&data->sections[2], &data->sections[1],
            sizeof(JPEGMarkerSection) * (data->count - 2));
    memset(&data->sections[1], 0, sizeof(JPEGMarkerSection));
    data->sections[1].marker = JPEG_MARKER_APP1;
    data->sections[1].content.app1 = exif_data;
    if (exif_data) exif_data_ref(exif_data);
}

void jpeg_data_dump(JPEGFileData* data) {
    if (!data) return;
    printf("Dumping JPEG data (%i bytes of data)...\n", static_cast<int>(data->size));
    for (unsigned int i = 0; i < data->count; i++) {
        const JPEGMarkerSection& s = data->sections[i];
        const char* name = jpeg_marker_get_name(s.marker);
        const char* desc = jpeg_marker_get_description(s.marker);
        printf("Section %i (marker 0x%x - %s):\n", static_cast<int>(i),
               static_cast<unsigned>(s.marker), name ? name : "(null)");
        printf("  Description: %s\n", desc ? desc : "(null)");
        switch (s.marker) {
            case JPEG_MARKER_SOI:
            case JPEG_MARKER_EOI:
                break;
            case JPEG_MARKER_APP1:
                if (s.content.app1) exif_data_dump(s.content.app1);
                break;
            default:
                printf("  Size: %i\n", static_cast<int>(s.content.generic.size));
                printf("  Unknown content.\n");
                break;
        }
    }
}

void jpeg_data_log(JPEGFileData* data, ExifLog* log) {
    if (!data || !data->priv) return;
    if (log) exif_log_ref(log);
    if (data->priv->log) exif_log_unref(data->priv->log);
    data->priv->log = log;
}
