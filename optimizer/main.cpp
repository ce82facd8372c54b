// PicTrimApp: shrinks the pictures of one folder, keeps their EXIF data and
// uploads them. The outcome is the CODE line; the exit status is always 0.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CamApiController.h"
#include "ImageHelper.h"
#include "Logger.h"

#define PATH_SIZE 256
#define UCID_SIZE CAMAPI_UCID_SIZE
#define TOKEN_SIZE CAMAPI_TOKEN_SIZE
#define HOST_SIZE CAMAPI_HOST_SIZE
// The folder must leave room for "log.txt" in the logger's 64-byte path.
#define FOLDER_MAX (LOGGER_PATH_SIZE - 1 - (sizeof("log.txt") - 1))

static const char kUsage[] =
    "Usage: PicTrimApp <target_width> <target_height> <target_file_size_kb> <path> <UCID> <host> "
    "<port>";

// Arguments that would not fit their fields are refused rather than cut:
// a cut folder or host would quietly point somewhere else.
static bool argumentsFit(char** argv) {
    size_t pathLen = strlen(argv[4]);
    if (pathLen == 0) return false;
    size_t folderLen = pathLen + (argv[4][pathLen - 1] == '/' ? 0 : 1);
    return folderLen <= FOLDER_MAX && strlen(argv[5]) < UCID_SIZE && strlen(argv[6]) < HOST_SIZE;
}

static bool readToken(const char* file, char* token) {
    FILE* f = fopen(file, "r");
    if (!f) return false;
    size_t n = fread(token, 1, TOKEN_SIZE - 1, f);
    fclose(f);
    token[n] = '\0';
    return true;
}

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (argc != 8 || !argumentsFit(argv)) {
        printf("%s\n", kUsage);
        return 0;
    }

    ImageParams image = {};
    image.target_width = static_cast<int32_t>(strtol(argv[1], nullptr, 10));
    image.target_height = static_cast<int32_t>(strtol(argv[2], nullptr, 10));
    image.target_file_size_kb = static_cast<int32_t>(strtol(argv[3], nullptr, 10));

    char path[PATH_SIZE];
    snprintf(path, sizeof path, "%s", argv[4]);
    size_t len = strlen(path);
    if (path[len - 1] != '/') {
        path[len] = '/';
        path[len + 1] = '\0';
    }

    CamApiParams api = {};
    snprintf(api.ucid, sizeof api.ucid, "%s", argv[5]);
    snprintf(api.host, sizeof api.host, "%s", argv[6]);
    api.port = static_cast<int32_t>(strtol(argv[7], nullptr, 10));

    // Fits: the folder was checked against the logger's path above.
    if (snprintf(LoggerFilePath, sizeof LoggerFilePath, "%slog.txt", path) < 0) return 0;
    printf("START PROGRAM 2.0\n");

    int code = 1;
    char tokenFile[PATH_SIZE];
    bool named = snprintf(tokenFile, sizeof tokenFile, "%s.token", path) < PATH_SIZE;
    if (!named || !readToken(tokenFile, api.token)) {
        LogError("Could not read token");
    } else if (ImageHelperProcessFiles(path, &image) == 0) {
        code = CamApiControllerUploadProcess(path, &api) == 0 ? 0 : 1;
    }

    LogSave();
    printf("CODE %d END PROGRAM\n", code);
    return 0;
}
