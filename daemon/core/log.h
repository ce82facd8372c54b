#pragma once
// The daemon log "/media/sdcard/log.txt": one "[time]LEVEL: module: message\r\n"
// line per call, serialised by one mutex and flushed to the medium.
#include <cstddef>
#include <cstdint>

#define LOG_INFO "INFO"
#define LOG_WARNING "WARNING"
#define LOG_ERROR "ERROR"

// Returns 1 when the line was written, -1 when the message is empty or the
// file cannot be written (no card, read-only card).
int logMessage(const char* module, const char* level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Keeps the last 10000 lines of the log; 1 when the file existed, else 0.
int trimLogFile();
// Keeps the last `keep` lines of `path`; 1 when the file existed, else 0.
int trimFileToLastLines(const char* path, long keep);

bool isRegularFile(const char* path);  // follows symbolic links
bool isDirectory(const char* path);

// Copies a piece of `src` (of `srcLen` bytes) into `dest` (maxLen + 1 bytes):
// from the startCount-th occurrence of startMarker plus startOffset up to the
// endCount-th occurrence of endMarker (searched from the start) plus
// endOffset, at most maxLen characters. A missing marker leaves `dest` empty.
void extractBetween(char* dest, const char* src, size_t srcLen, const char* startMarker,
                    uint8_t startCount, int8_t startOffset, const char* endMarker,
                    uint8_t endCount, int8_t endOffset, size_t maxLen);
