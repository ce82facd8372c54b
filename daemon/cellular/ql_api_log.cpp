#include "cellular/ql_api_log.h"

#include <cstdarg>
#include <cstdio>

#include <ql_sys_log.h>

void ql_api_log(const char* func, int line, int level, const char* format, ...) {
    if (level < 2 || level > 7 || format == nullptr) return;
    char text[512];
    int n = snprintf(text, sizeof text, "[%s_%d] ", func ? func : "", line);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof text) {
        va_list ap;
        va_start(ap, format);
        vsnprintf(text + n, sizeof text - static_cast<size_t>(n), format, ap);
        va_end(ap);
    }
    ql_sys_log_puts(0, level, "ql_api", text);
}
