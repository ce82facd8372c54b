#pragma once
// The four fixed textual forms of the local time. Each writes at most `size`
// bytes including the NUL and reads the clock once per call.
#include <cstddef>
#include <ctime>

void formatLogTime(char* buffer, size_t size);      // 2024/03/07 18:05:09
void formatDspDateTime(char* buffer, size_t size);  // 2024 3 7 18 5 9
void formatIsoTime(char* buffer, size_t size);      // 2024-03-07T18:05:09.000-00:00
void formatTimestamp(time_t t, char* buffer, size_t size);  // 2024-03-07 18:05:09

// The same forms for a given instant, for callers and tests that need a fixed time.
void formatLogTimeAt(time_t t, char* buffer, size_t size);
void formatDspDateTimeAt(time_t t, char* buffer, size_t size);
void formatIsoTimeAt(time_t t, char* buffer, size_t size);
