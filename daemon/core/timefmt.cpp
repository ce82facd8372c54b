#include "core/timefmt.h"

#include <cstdio>

namespace {
struct tm localOf(time_t t) {
    struct tm tmv {};
    localtime_r(&t, &tmv);
    return tmv;
}
}  // namespace

void formatLogTimeAt(time_t t, char* buffer, size_t size) {
    struct tm l = localOf(t);
    snprintf(buffer, size, "%4d/%02d/%02d %02d:%02d:%02d", l.tm_year + 1900, l.tm_mon + 1,
             l.tm_mday, l.tm_hour, l.tm_min, l.tm_sec);
}

void formatDspDateTimeAt(time_t t, char* buffer, size_t size) {
    struct tm l = localOf(t);
    snprintf(buffer, size, "%d %d %d %d %d %d", l.tm_year + 1900, l.tm_mon + 1, l.tm_mday,
             l.tm_hour, l.tm_min, l.tm_sec);
}

void formatIsoTimeAt(time_t t, char* buffer, size_t size) {
    struct tm l = localOf(t);
    // Milliseconds and offset are fixed: the cloud expects this exact form.
    snprintf(buffer, size, "%4d-%02d-%02dT%02d:%02d:%02d.000-00:00", l.tm_year + 1900,
             l.tm_mon + 1, l.tm_mday, l.tm_hour, l.tm_min, l.tm_sec);
}

void formatTimestamp(time_t t, char* buffer, size_t size) {
    struct tm l = localOf(t);
    snprintf(buffer, size, "%4d-%02d-%02d %02d:%02d:%02d", l.tm_year + 1900, l.tm_mon + 1,
             l.tm_mday, l.tm_hour, l.tm_min, l.tm_sec);
}

void formatLogTime(char* buffer, size_t size) { formatLogTimeAt(time(nullptr), buffer, size); }
void formatDspDateTime(char* buffer, size_t size) {
    formatDspDateTimeAt(time(nullptr), buffer, size);
}
void formatIsoTime(char* buffer, size_t size) { formatIsoTimeAt(time(nullptr), buffer, size); }
