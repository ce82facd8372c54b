// Uploads pictures of growing size through the daemon's transport to the
// cloud simulator and prints time, throughput and the process's peak
// resident memory: the peak must stay flat as pictures grow (the transport
// streams from the file).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cloud/camapi.h"
#include "support/cloudsim.h"
#include "support/roottree.h"

static long peakKiB() {
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

int main(int argc, char** argv) {
    std::vector<int> sizesMiB;
    for (int i = 1; i < argc; i++) sizesMiB.push_back(atoi(argv[i]));
    if (sizesMiB.empty()) sizesMiB = {1, 8, 32, 64};

    RootTree root;
    CloudSim sim(root.path("/usrdata/cacert.pem"));
    if (!camApiInit()) return 1;
    printf("%8s %10s %10s %12s\n", "MiB", "seconds", "MiB/s", "peak KiB");
    printf("%8s %10s %10s %12ld\n", "start", "", "", peakKiB());
    for (int mib : sizesMiB) {
        std::string path = root.path("/media/sdcard/bench.jpg");
        FILE* f = fopen(path.c_str(), "w+b");
        std::vector<char> block(1 << 20, 'x');
        for (int i = 0; i < mib; i++) fwrite(block.data(), 1, block.size(), f);
        rewind(f);
        auto t0 = std::chrono::steady_clock::now();
        std::string url = sim.base() + "/upload/bench.jpg";
        int result = camApiUploadFile(url.c_str(), "PUT", f, mib << 20, nullptr);
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        fclose(f);
        if (result != 1) {
            printf("upload of %d MiB failed: %s\n", mib, camApiLastErrorText());
            return 1;
        }
        printf("%8d %10.3f %10.1f %12ld\n", mib, s, mib / s, peakKiB());
    }
    camApiCleanup();
    return 0;
}
