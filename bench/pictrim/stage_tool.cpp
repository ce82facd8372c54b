// The image stage for bench/run, on a folder prepared by the caller.
//
//   pictrim_stage_tool stage FOLDER/ TW TH PERCENT
//       runs ImageHelperProcessFiles once over the folder (what PicTrimApp
//       does before its uploads) and prints {"result": R, "ms": T}.
//   pictrim_stage_tool split FOLDER/ TW TH PERCENT
//       the same steps, one library call at a time, with a clock around each:
//       prints one JSON line per picture with the milliseconds of "mark"
//       (is it processed already?), "exif" (take it, drop the thumbnail),
//       "decode", "resize", "encode" (to the work file), "optimizer"
//       (jpegoptim through the shell on the work file), "restore" (EXIF back,
//       processed mark) and "replace" (the work file flushed and renamed over
//       the picture, the folder flushed).
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
#include "SafeFile.h"
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
        // Is it processed already? The stage reads the head of the file.
        auto t = Clock::now();
        {
            std::vector<unsigned char> head(70 * 1024);
            FILE* f = fopen(p, "rb");
            size_t got = f ? fread(head.data(), 1, head.size(), f) : 0;
            if (f) fclose(f);
            if (ImageHelperIsMarked(head.data(), got)) continue;
        }
        double tMark = msSince(t);

        t = Clock::now();
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
        const std::string work = path + SAFEFILE_WORK_SUFFIX;
        t = Clock::now();
        int wrote = stbi_write_jpg(work.c_str(), tw, th, c, out, 100);
        ImageBufferFree(out);
        double tEncode = msSince(t);
        if (!wrote) return 1;

        t = Clock::now();
        struct stat st;
        long long size = stat(work.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
        std::string cmd = ImageHelperShellQuote((folder + "jpegoptim").c_str());
        cmd += " -S" + std::to_string(ImageHelperSizeGoal(size, percent)) + " -s ";
        cmd += ImageHelperShellQuote(work.c_str());
        cmd += " >> ";
        cmd += ImageHelperShellQuote((folder + JPEGOPTIMLOG_FILENAME).c_str());
        if (system(cmd.c_str()) != 0) fprintf(stderr, "jpegoptim failed on %s\n", p);
        double tOpt = msSince(t);

        t = Clock::now();
        jd = jpeg_data_new_from_file(work.c_str());
        if (exif) jpeg_data_set_exif_data(jd, exif);
        unsigned char* raw = nullptr;
        unsigned int n = 0;
        jpeg_data_save_data(jd, &raw, &n);
        jpeg_data_free(jd);
        if (exif) exif_data_unref(exif);
        std::vector<unsigned char> image(raw, raw + n);
        free(raw);
        ImageHelperAddMark(image);
        double tRestore = msSince(t);

        // The safety: flushed work file renamed over the picture, folder flushed.
        t = Clock::now();
        if (!SafeFileReplace(p, work.c_str(), image.data(), image.size())) return 1;
        double tReplace = msSince(t);
        printf("{\"mark\": %.2f, \"exif\": %.2f, \"decode\": %.2f, \"resize\": %.2f, "
               "\"encode\": %.2f, \"optimizer\": %.2f, \"restore\": %.2f, \"replace\": %.2f}\n",
               tMark, tExif, tDecode, tResize, tEncode, tOpt, tRestore, tReplace);
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
