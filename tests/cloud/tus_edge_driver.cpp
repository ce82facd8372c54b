// The daemon's own resumable upload (tusUpload over the cloud transport),
// in-process, for scripts/tus-edge-harness: one easy handle for all of this
// worker's pictures, so HEADs and PATCHes reuse connections as in a sync.
//   TRAILNETD_ROOT=ROOT tus_edge_driver [STALL_SECONDS]
// Reads one job a line on stdin, "NAME URL", the picture being
// ROOT/media/sdcard/TRANSMIT/NAME; answers each with one JSON line:
//   {"name": ..., "result": "sent"|"kept", "syncs": N,
//    "reads": [[FROM, BYTES], ...]}
// "syncs" counts the calls (a kept picture is tried again, as the next sync
// would, up to four times); "reads" are the picture's bytes as libcurl took
// them from the file, in order: what the transport handed towards the link.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "cellular/cellular_state.h"
#include "cloud/camapi.h"
#include "cloud/tus.h"
#include "core/rootpath.h"

namespace {

std::vector<std::pair<long long, size_t>> reads;
ino_t pictureIno = 0;  // the picture of the job at hand (0: none)

}  // namespace

namespace {

bool isPicture(int fd) {
    struct stat st;
    return pictureIno != 0 && fd >= 0 && fstat(fd, &st) == 0 && st.st_ino == pictureIno;
}

}  // namespace

// The transport hands libcurl the picture's bytes through fread on a stream
// (libcurl's default read callback) or pread on a descriptor (its own read
// callback); these note where each read of the picture began and what it took.
extern "C" size_t fread(void* ptr, size_t size, size_t count, FILE* stream) {
    using Fread = size_t (*)(void*, size_t, size_t, FILE*);
    static Fread real = reinterpret_cast<Fread>(dlsym(RTLD_NEXT, "fread"));
    bool picture = stream != nullptr && isPicture(fileno(stream));
    long long from = picture ? static_cast<long long>(ftello(stream)) : 0;
    size_t n = real(ptr, size, count, stream);
    if (picture) reads.emplace_back(from, n * size);
    return n;
}

extern "C" ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
    using Pread = ssize_t (*)(int, void*, size_t, off_t);
    // Where off_t is 64 bits on a 32-bit system the header names pread64.
    static Pread real = reinterpret_cast<Pread>(
        dlsym(RTLD_NEXT, sizeof(off_t) > sizeof(long) ? "pread64" : "pread"));
    ssize_t n = real(fd, buf, count, offset);
    if (isPicture(fd)) reads.emplace_back(static_cast<long long>(offset), n > 0 ? n : 0);
    return n;
}

int main(int argc, char** argv) {
    if (argc > 1) {
        long stall = atol(argv[1]);
        if (stall > 0) camApiLimits().uploadStallSeconds = camApiLimits().jsonStallSeconds = stall;
    }
    cellularState().dataConnected = 1;
    if (!camApiInit()) {
        fprintf(stderr, "tus_edge_driver: no transfer handle\n");
        return 1;
    }
    std::string name, url;
    while (std::cin >> name >> url) {
        std::string path = rootPath("/media/sdcard/TRANSMIT/") + name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0) {
            printf("{\"name\": \"%s\", \"result\": \"missing\"}\n", name.c_str());
            fflush(stdout);
            continue;
        }
        reads.clear();
        pictureIno = st.st_ino;
        int result = TUS_KEPT;
        int syncs = 0;
        while (result != TUS_SENT && syncs < 4) {
            syncs++;
            result = tusUpload(name.c_str(), false, path.c_str(), static_cast<int64_t>(st.st_size),
                               static_cast<int64_t>(st.st_mtime), url.c_str(), nullptr);
        }
        pictureIno = 0;
        if (result == TUS_SENT) tusForget(name.c_str(), false);
        std::string list;
        for (const auto& r : reads)
            list += (list.empty() ? "" : ", ") + std::string("[") + std::to_string(r.first) + ", " +
                    std::to_string(r.second) + "]";
        printf("{\"name\": \"%s\", \"result\": \"%s\", \"syncs\": %d, \"reads\": [%s]}\n",
               name.c_str(), result == TUS_SENT ? "sent" : "kept", syncs, list.c_str());
        fflush(stdout);
    }
    camApiCleanup();
    return 0;
}
