// The image stage for bench/run, on a folder prepared by the caller.
//
//   pictrim_stage_tool stage FOLDER/ TW TH PERCENT
//       runs ImageHelperProcessFiles once over the folder (what PicTrimApp
//       does before its uploads) and prints {"result": R, "ms": T}.
//   pictrim_stage_tool split FOLDER/ TW TH PERCENT
//       the same steps, one library call at a time, with a clock around each:
//       prints one JSON line per picture with the milliseconds of
//       "exif" (take it, drop the thumbnail), "decode", "resize", "encode",
//       "optimizer" (jpegoptim through the shell) and "restore" (EXIF back).
//       The stage itself has no clocks; this is its twin for the split only.
//
// The folder must hold the `jpegoptim` the stage runs, as PicTrimApp's does.
#include <dirent.h>
#include <libexif/exif-data.h>
#include <stb/stb_image.h>
#include <stb/stb_image_resize.h>
#include <stb/stb_image_write.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ImageHelper.h"
#include "Logger.h"
#include "jpeg-data.h"

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0) {
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

std::vector<std::string> pictures(const std::string& folder) {
    std::vector<std::string> out;
    DIR* d = opendir(folder.c_str());
    if (!d) return out;
    while (const dirent* e = readdir(d)) {
        size_t n = strlen(e->d_name);
        if (n > 4 && strcasecmp(e->d_name + n - 4, ".jpg") == 0) out.push_back(folder + e->d_name);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

int split(const std::string& folder, int tw, int th, int percent) {
    for (const std::string& path : pictures(folder)) {
        const char* p = path.c_str();
        auto t = Clock::now();
        JPEGFileData* jd = jpeg_data_new_from_file(p);
        ExifData* exif = jpeg_data_get_exif_data(jd);
        jpeg_data_free(jd);
        if (exif) ImageHelperRemoveThumbnail(exif);
        double tExif = msSince(t);

        t = Clock::now();
        int w = 0, h = 0, c = 0;
        unsigned char* px = stbi_load(p, &w, &h, &c, 0);
        double tDecode = msSince(t);
        if (!px) {
            fprintf(stderr, "cannot load %s\n", p);
            return 1;
        }
        t = Clock::now();
        auto* out = static_cast<unsigned char*>(ImageBufferAlloc(static_cast<size_t>(tw) * th * c));
        stbir_resize_uint8(px, w, h, 0, out, tw, th, 0, c);
        stbi_image_free(px);
        double tResize = msSince(t);
        t = Clock::now();
        int wrote = stbi_write_jpg(p, tw, th, c, out, 100);
        ImageBufferFree(out);
        double tEncode = msSince(t);
        if (!wrote) return 1;

        t = Clock::now();
        struct stat st;
        long long size = stat(p, &st) == 0 ? static_cast<long long>(st.st_size) : 0;
        std::string cmd = ImageHelperShellQuote((folder + "jpegoptim").c_str());
        cmd += " -S" + std::to_string(ImageHelperSizeGoal(size, percent)) + " -s ";
        cmd += ImageHelperShellQuote(p);
        cmd += " >> ";
        cmd += ImageHelperShellQuote((folder + JPEGOPTIMLOG_FILENAME).c_str());
        if (system(cmd.c_str()) != 0) fprintf(stderr, "jpegoptim failed on %s\n", p);
        double tOpt = msSince(t);

        t = Clock::now();
        if (exif) {
            jd = jpeg_data_new_from_file(p);
            jpeg_data_set_exif_data(jd, exif);
            jpeg_data_save_file(jd, p);
            jpeg_data_free(jd);
            exif_data_unref(exif);
        }
        double tRestore = msSince(t);
        printf("{\"exif\": %.2f, \"decode\": %.2f, \"resize\": %.2f, \"encode\": %.2f, "
               "\"optimizer\": %.2f, \"restore\": %.2f}\n",
               tExif, tDecode, tResize, tEncode, tOpt, tRestore);
    }
    ImageBufferRelease();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: pictrim_stage_tool stage|split FOLDER/ TW TH PERCENT\n");
        return 2;
    }
    std::string mode = argv[1];
    std::string folder = argv[2];
    if (folder.empty() || folder.back() != '/') folder += '/';
    int tw = atoi(argv[3]), th = atoi(argv[4]), percent = atoi(argv[5]);
    snprintf(LoggerFilePath, sizeof LoggerFilePath, "%slog.txt", folder.c_str());
    if (mode == "split") return split(folder, tw, th, percent);

    ImageParams params{tw, th, percent};
    auto t = Clock::now();
    int rc = ImageHelperProcessFiles(folder.c_str(), &params);
    double ms = msSince(t);
    LogSave();
    printf("{\"result\": %d, \"ms\": %.2f}\n", rc, ms);
    return rc == 0 ? 0 : 1;
}
