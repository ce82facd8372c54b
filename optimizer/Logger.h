#pragma once
// The log of one PicTrimApp run: entries are gathered in a 2000-byte buffer
// and appended to log.txt in the picture folder in a few large writes.
#include <ctime>

#define LOGGER_BUFFER_SIZE 2000
#define LOGGER_PATH_SIZE 64

// The log file's path; set by the program before the first entry.
extern char LoggerFilePath[LOGGER_PATH_SIZE];

void LogError(const char* message);
void LogWarning(const char* message);
void LogInfo(const char* message);
void LogErrorPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogWarningPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void LogInfoPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Appends what the buffer holds to the log file and empties it.
void LogSave(void);

// Back to the state at program start (empty buffer, no time reference).
void LogReset(void);
