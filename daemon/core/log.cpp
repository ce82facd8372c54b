#include "core/log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "core/atomicfile.h"
#include "core/rootpath.h"
#include "core/sdcard.h"
#include "core/timefmt.h"

namespace {
// The one lock of the daemon: lines never interleave.
std::mutex logMutex;

struct FileCloser {
    void operator()(FILE* f) const { fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;
}  // namespace

int logMessage(const char* module, const char* level, const char* format, ...) {
    char message[1024];
    va_list ap;
    va_start(ap, format);
    vsnprintf(message, sizeof message, format, ap);  // cut to 1023 characters
    va_end(ap);
    if (message[0] == '\0') return -1;

    char when[30];
    formatLogTime(when, sizeof when);

    // Without a card mounted read-write the mount point belongs to the
    // module's own file system: write nothing there.
    if (sdcardState() != SDCARD_RW) return -1;

    std::lock_guard<std::mutex> lock(logMutex);
    FilePtr f(fopen(rootPath("/media/sdcard/log.txt").c_str(), "a+"));
    if (!f) return -1;
    fprintf(f.get(), "[%s]%s: %s: %s\r\n", when, level, module, message);
    // Each line reaches the medium before the next: power may go at any time.
    fflush(f.get());
    fsync(fileno(f.get()));
    return 1;
}

int trimFileToLastLines(const char* path, long keep) {
    if (!isRegularFile(path)) return 0;
    FilePtr in(fopen(path, "rb"));
    if (!in) return 1;
    std::string data;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, in.get())) > 0) data.append(buf, n);
    in.reset();

    // Walk back over `keep` line ends; a final line end does not start a line.
    size_t pos = data.size();
    if (pos > 0 && data[pos - 1] == '\n') pos--;
    long lines = 0;
    size_t start = 0;
    while (pos > 0) {
        pos--;
        if (data[pos] == '\n' && ++lines == keep) {
            start = pos + 1;
            break;
        }
    }
    if (start == 0) return 1;  // already short enough

    // Write the tail beside the log and rename it over: a power cut leaves
    // either the old or the trimmed log, never a half one.
    std::string tmp = std::string(path) + ".trim";
    {
        FilePtr out(fopen(tmp.c_str(), "wb"));
        if (!out) return 1;
        if (fwrite(data.data() + start, 1, data.size() - start, out.get()) !=
                data.size() - start ||
            fflush(out.get()) != 0 || fsync(fileno(out.get())) != 0) {
            out.reset();
            unlink(tmp.c_str());
            return 1;
        }
    }
    // Unflushed, the rename could be undone by a cut, and the lines written
    // after it lost with the file they went to.
    if (rename(tmp.c_str(), path) != 0)
        unlink(tmp.c_str());
    else
        syncFolderOf(path);
    return 1;
}

int trimLogFile() {
    std::lock_guard<std::mutex> lock(logMutex);
    return trimFileToLastLines(rootPath("/media/sdcard/log.txt").c_str(), 10000);
}

bool isRegularFile(const char* path) {
    struct stat st;
    return path != nullptr && stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

bool isDirectory(const char* path) {
    struct stat st;
    return path != nullptr && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {
// Finds the count-th occurrence of `marker` at or after `from`, each search
// starting right after the previous occurrence; nullptr when one is missing
// or lies beyond `end`.
const char* findOccurrence(const char* from, const char* end, const char* marker, int count) {
    size_t mlen = strlen(marker);
    const char* hit = nullptr;
    const char* p = from;
    for (int i = 0; i < count; i++) {
        hit = nullptr;
        if (mlen == 0 || p > end) return nullptr;
        for (const char* q = p; q + mlen <= end; q++) {
            if (memcmp(q, marker, mlen) == 0) {
                hit = q;
                break;
            }
        }
        if (hit == nullptr) return nullptr;
        p = hit + mlen;
    }
    return hit;
}
}  // namespace

void extractBetween(char* dest, const char* src, size_t srcLen, const char* startMarker,
                    uint8_t startCount, int8_t startOffset, const char* endMarker,
                    uint8_t endCount, int8_t endOffset, size_t maxLen) {
    memset(dest, 0, maxLen + 1);
    if (src == nullptr) return;
    // Pointer arithmetic is done on offsets so that a negative offset before
    // the source start cannot form an out-of-range pointer.
    const long srcEnd = static_cast<long>(srcLen);
    long start = 0;
    long windowEnd = srcEnd;

    if (startMarker != nullptr) {
        if (startCount != 0) {
            const char* hit = findOccurrence(src, src + srcLen, startMarker, startCount);
            if (hit == nullptr) return;
            start = (hit - src) + startOffset;
        } else {
            start = startOffset - static_cast<long>(strlen(startMarker));
        }
        if (start > windowEnd) return;
    }
    if (start < 0) start = 0;  // never read before the source

    if (endMarker != nullptr) {
        long newEnd;
        if (endCount != 0) {
            const char* hit = findOccurrence(src + start, src + srcLen, endMarker, endCount);
            if (hit == nullptr) return;
            newEnd = (hit - src) + endOffset;
        } else {
            newEnd = start + endOffset - static_cast<long>(strlen(endMarker));
        }
        if (newEnd > windowEnd) return;
        windowEnd = newEnd;
    }
    if (windowEnd <= start) return;
    size_t n = static_cast<size_t>(windowEnd - start);
    if (n > maxLen) n = maxLen;
    size_t i = 0;
    for (; i < n && src[start + i] != '\0'; i++) dest[i] = src[start + i];
    dest[i] = '\0';
}
