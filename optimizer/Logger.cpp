#include "Logger.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

char LoggerFilePath[LOGGER_PATH_SIZE];

static char buffer[LOGGER_BUFFER_SIZE];
static int bufferIndex;
static time_t timeRef;

// Appends the buffer to the file; false (and a note on stdout) when the file
// can't be opened, in which case the buffer keeps its content.
static bool flushBuffer() {
    FILE* f = fopen(LoggerFilePath, "ab");
    if (!f) {
        printf("ERROR: Cannot save log\n");
        return false;
    }
    fwrite(buffer, 1, static_cast<size_t>(bufferIndex), f);
    fclose(f);
    return true;
}

static void addPiece(const char* piece, size_t n) {
    // A piece larger than the whole buffer is cut to fit it.
    if (n > LOGGER_BUFFER_SIZE) n = LOGGER_BUFFER_SIZE;
    if (static_cast<size_t>(bufferIndex) + n <= LOGGER_BUFFER_SIZE) {
        memcpy(buffer + bufferIndex, piece, n);
        bufferIndex += static_cast<int>(n);
        return;
    }
    if (!flushBuffer()) return;
    memcpy(buffer, piece, n);
    bufferIndex = static_cast<int>(n);
}

static void logEntry(const char* level, const char* message) {
    long elapsed = 0;
    time_t now = time(nullptr);
    if (timeRef == 0)
        timeRef = now;
    else
        elapsed = static_cast<long>(now - timeRef);

    char prefix[512];
    int p = snprintf(prefix, sizeof prefix, "%ld,%s,", elapsed, level);
    if (p < 0) p = 0;
    if (p >= static_cast<int>(sizeof prefix)) p = sizeof prefix - 1;
    if (!message || !*message) message = "???";
    addPiece(prefix, static_cast<size_t>(p));
    addPiece(message, strlen(message));
    addPiece("\r\n", 2);
}

static void logFormatted(const char* level, const char* format, va_list ap) {
    char message[1024];
    message[0] = '\0';
    if (format) vsnprintf(message, sizeof message, format, ap);
    logEntry(level, message);
}

void LogError(const char* message) { logEntry("ERROR", message); }
void LogWarning(const char* message) { logEntry("WARNING", message); }
void LogInfo(const char* message) { logEntry("INFO", message); }

void LogErrorPrintf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    logFormatted("ERROR", format, ap);
    va_end(ap);
}

void LogWarningPrintf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    logFormatted("WARNING", format, ap);
    va_end(ap);
}

void LogInfoPrintf(const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    logFormatted("INFO", format, ap);
    va_end(ap);
}

void LogSave(void) {
    if (bufferIndex == 0) return;
    if (flushBuffer()) bufferIndex = 0;
}

void LogReset(void) {
    bufferIndex = 0;
    timeRef = 0;
}
