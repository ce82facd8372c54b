// Image stage on large camera pictures: time per picture and peak memory.
// Goal: the stage holds at most one decoded and one resized picture, so its
// peak stays near W*H*C + w*h*C above the program's base, however many
// pictures the folder holds.
//
//   pictrim_stage_bench [pictures=3] [width=4000] [height=3000] [tw=1920] [th=1080]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "ImageHelper.h"
#include "Logger.h"
#include "pictures.h"

static long childPeakKb() {
    struct rusage ru;
    getrusage(RUSAGE_CHILDREN, &ru);
    return ru.ru_maxrss;
}

int main(int argc, char** argv) {
    int count = argc > 1 ? atoi(argv[1]) : 3;
    int w = argc > 2 ? atoi(argv[2]) : 4000;
    int h = argc > 3 ? atoi(argv[3]) : 3000;
    int tw = argc > 4 ? atoi(argv[4]) : 1920;
    int th = argc > 5 ? atoi(argv[5]) : 1080;

    char tmpl[] = "/tmp/pictrim-bench.XXXXXX";
    std::string dir = std::string(mkdtemp(tmpl)) + "/";
    std::filesystem::copy_file(JPEGOPTIM_PROGRAM, dir + "jpegoptim");
    pictures::Options o;
    o.width = w;
    o.height = h;
    pictures::Bytes picture = pictures::make(o);
    for (int i = 0; i < count; i++)
        pictures::writeFile(dir + "PICT" + std::to_string(1000 + i) + ".JPG", picture);
    snprintf(LoggerFilePath, sizeof LoggerFilePath, "%slog.txt", dir.c_str());

    // The stage runs in a child of its own, so making the pictures above does
    // not count in its peak.
    auto t0 = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        ImageParams p{tw, th, 50};
        int rc = ImageHelperProcessFiles(dir.c_str(), &p);
        LogSave();
        _exit(rc);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    auto t1 = std::chrono::steady_clock::now();
    int rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    long stagePeak = childPeakKb();

    double ms = std::chrono::duration<double, std::milli>(t1 - t0).count();
    double bound = (static_cast<double>(w) * h * 3 + static_cast<double>(tw) * th * 3) / 1024;
    printf("pictures %d of %dx%d (%zu bytes) -> %dx%d, result %d\n", count, w, h,
           picture.size(), tw, th, rc);
    printf("time per picture: %.0f ms (decode, resize, encode, jpegoptim, EXIF)\n", ms / count);
    printf("peak RSS of the stage: %ld KB\n", stagePeak);
    printf("one decoded + one resized picture: %.0f KB\n", bound);
    std::filesystem::remove_all(dir);
    return rc == 0 ? 0 : 1;
}
