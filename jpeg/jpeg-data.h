#pragma once
// A JPEG file as a list of marker sections. Image data is never decoded:
// everything after the start-of-scan header is one opaque block. The APP1
// section holds the EXIF block as libexif's ExifData.
#include <libexif/exif-data.h>
#include <libexif/exif-log.h>

#include "jpeg-marker.h"

struct JPEGContentGeneric {
    unsigned char* data;  // segment payload without the two length bytes
    unsigned int size;
};

union JPEGContent {
    JPEGContentGeneric generic;  // every marker but SOI, EOI and APP1
    ExifData* app1;              // one reference held; may be null
};

struct JPEGMarkerSection {
    JPEGMarkerCode marker;
    JPEGContent content;
};

struct JPEGFileDataPrivate;

struct JPEGFileData {
    JPEGMarkerSection* sections;
    unsigned int count;
    unsigned char* data;  // the entropy-coded scan after the SOS header
    unsigned int size;
    JPEGFileDataPrivate* priv;
};

// Every function accepts a null container and then does nothing.
JPEGFileData* jpeg_data_new(void);
JPEGFileData* jpeg_data_new_from_data(const unsigned char* data, unsigned int size);
JPEGFileData* jpeg_data_new_from_file(const char* path);

void jpeg_data_load_data(JPEGFileData* data, const unsigned char* d, unsigned int size);
void jpeg_data_load_file(JPEGFileData* data, const char* path);
void jpeg_data_save_data(JPEGFileData* data, unsigned char** d, unsigned int* size);
int jpeg_data_save_file(JPEGFileData* data, const char* path);

void jpeg_data_ref(JPEGFileData* data);
void jpeg_data_unref(JPEGFileData* data);
void jpeg_data_free(JPEGFileData* data);

ExifData* jpeg_data_get_exif_data(JPEGFileData* data);
void jpeg_data_set_exif_data(JPEGFileData* data, ExifData* exif_data);
void jpeg_data_append_section(JPEGFileData* data);

void jpeg_data_dump(JPEGFileData* data);
void jpeg_data_log(JPEGFileData* data, ExifLog* log);
