#pragma once
// JPEG marker codes and their names.

// The byte that follows 0xFF. Valid markers are 0xC0 to 0xFE.
typedef int JPEGMarkerCode;

enum {
    JPEG_MARKER_SOF0 = 0xC0,
    JPEG_MARKER_DHT = 0xC4,
    JPEG_MARKER_SOI = 0xD8,
    JPEG_MARKER_EOI = 0xD9,
    JPEG_MARKER_SOS = 0xDA,
    JPEG_MARKER_DQT = 0xDB,
    JPEG_MARKER_APP0 = 0xE0,
    JPEG_MARKER_APP1 = 0xE1,
    JPEG_MARKER_COM = 0xFE,
};

#define JPEG_IS_MARKER(m) ((m) >= 0xC0 && (m) <= 0xFE)

struct JPEGMarkerTableRow {
    JPEGMarkerCode marker;
    const char* name;
    const char* description;
};

// 62 rows and a terminating row whose name is null.
extern const JPEGMarkerTableRow JPEGMarkerTable[];

const char* jpeg_marker_get_name(JPEGMarkerCode marker);
const char* jpeg_marker_get_description(JPEGMarkerCode marker);
