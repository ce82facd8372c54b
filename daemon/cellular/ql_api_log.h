#pragma once
// The API log of every QL_ operation: "[function_line] message" handed to the
// platform system log with the tag "ql_api".

enum {
    QL_LOG_TRACE = 2,  // "enter" / "exit"
    QL_LOG_INFO = 3,
    QL_LOG_WARN = 4,
    QL_LOG_ERROR = 6,
};

// Levels 2..7 are passed on, others dropped; the whole text is bounded to 512 bytes.
void ql_api_log(const char* func, int line, int level, const char* format, ...)
    __attribute__((format(printf, 4, 5)));

#define QL_LOG(level, ...) ql_api_log(__func__, __LINE__, (level), __VA_ARGS__)
