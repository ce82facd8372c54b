// Time to find a full-resolution picture on a card laid out like the
// camera's (DCIM/1NNMEDIA/PICTnnnn.JPG), for a name near the start, one at
// the end and one that is missing, beside find(1) doing the same; then the
// time and peak memory of preparing the HD copy of a large picture.
#include <sys/resource.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cloud/hd_requests.h"
#include "support/roottree.h"

namespace {

long peakKiB() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

double since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double timeFind(const std::string& top, const std::string& name) {
    auto t0 = std::chrono::steady_clock::now();
    std::string cmd = "find '" + top + "' -name '" + name + "' | head -n 1 > /dev/null";
    if (system(cmd.c_str()) != 0) return -1;
    return since(t0);
}

}  // namespace

int main(int argc, char** argv) {
    int folders = argc > 1 ? atoi(argv[1]) : 10;
    int perFolder = argc > 2 ? atoi(argv[2]) : 1000;
    RootTree root;
    root.mountCard(1);
    root.mkdirs("/media/sdcard/TRANSMIT");
    int n = 0;
    std::string first, last;
    for (int f = 0; f < folders; f++) {
        std::string dir = "/media/sdcard/DCIM/" + std::to_string(100 + f) + "MEDIA";
        root.mkdirs(dir);
        for (int i = 0; i < perFolder; i++) {
            char name[32];
            snprintf(name, sizeof name, "PICT%05d.JPG", ++n);
            root.write(dir + "/" + name, "jpeg");
            if (first.empty()) first = name;
            last = name;
        }
    }
    std::string top = root.path("/media/sdcard");
    printf("card: %d folders x %d pictures\n", folders, perFolder);
    printf("%-14s %12s %12s\n", "name", "walk s", "find s");
    for (const std::string& name : {first, last, std::string("MISSING.JPG")}) {
        auto t0 = std::chrono::steady_clock::now();
        std::string found = findFirstByName(top, name.c_str());
        double walk = since(t0);
        printf("%-14s %12.4f %12.4f %s\n", name.c_str(), walk, timeFind(top, name),
               found.empty() ? "(none)" : "");
    }

    const int mib = 16;
    root.write("/media/sdcard/DCIM/100MEDIA/BIG.JPG", std::string(static_cast<size_t>(mib) << 20, 'x'));
    long before = peakKiB();
    char path[1024];
    auto t0 = std::chrono::steady_clock::now();
    int rc = prepareHdPicture("BIG.JPG", "bench", path);
    printf("HD copy of %d MiB: result %d, %.3f s, peak KiB %ld -> %ld\n", mib, rc, since(t0), before,
           peakKiB());
    return rc == 0 ? 0 : 1;
}
