// A whole answer to the camera PUT (requests, "config", "uploads") handled by
// the real sync code, with the HTTPS transfers replaced by stand-ins that
// hand back the input. Pictures of the transmit folder are either still there
// byte-identical or were handed to an upload whole; the configuration file
// parses with every key.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "camera/dsp_files.h"
#include "cellular/cellular_state.h"
#include "cloud/camapi.h"
#include "cloud/sync.h"
#include "config_keys.h"
#include "core/config.h"
#include "fuzz_root.h"

namespace {
const char* gAnswer = nullptr;
size_t gAnswerSize = 0;
long gCode = 200;
int gPuts = 0;
bool gUploadsFail = false;
const std::string kPictures[] = {"IMG_0001.JPG", "IMG_0002.JPG", "IMG_0003.JPG"};
std::string pictureBytes(size_t i) { return std::string(100 + 37 * i, static_cast<char>('A' + i)); }
std::string uploaded;  // names handed to a successful upload, whole
}  // namespace

// ---- transfers: stand-ins (the linker takes these before the library's) ----
bool camApiInit() { return true; }
void camApiCleanup() {}
const char* camApiLastErrorText() { return "stub"; }
long camApiLastResponseCode() { return gCode; }

int camApiGetJson(const char*, json_object** response) {
    *response = json_tokener_parse("{\"token\": \"fuzztoken\"}");
    gCode = 200;
    return CAMAPI_DONE;
}

int camApiPutJson(const char*, json_object** response, json_object* body, const char*) {
    if (body != nullptr) json_object_to_json_string(body);
    if (++gPuts > 4) return CAMAPI_FAILED;  // follow-up PUTs end somewhere
    if (response != nullptr) {
        json_tokener* tok = json_tokener_new();
        *response = json_tokener_parse_ex(tok, gAnswer, static_cast<int>(gAnswerSize));
        json_tokener_free(tok);
    }
    return CAMAPI_DONE;
}

int camApiUploadFile(const char*, const char*, FILE* stream, int32_t size, json_object* headers,
                     json_object*) {
    if (headers != nullptr) json_object_to_json_string(headers);
    if (gUploadsFail) return CAMAPI_FAILED;
    // The transfer reads the whole stream: check it holds what was announced.
    std::string got;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, stream)) > 0) got.append(buf, n);
    if (got.size() != static_cast<size_t>(size)) abort();
    uploaded += got;
    return CAMAPI_DONE;
}

int camApiDownloadFile(const char*, const char*, FILE*, json_object*) {
    gCode = 404;
    return CAMAPI_DONE;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzzroot::ensureSafePath();
    if (size == 0 || size > 64 * 1024) return 0;
    fuzzroot::mountCard(1);
    fuzzroot::dropLog();
    daemonConfig() = DaemonConfig{};
    resetDspFiles();
    loadDaemonConfig();
    setUploadPictureCount(50);
    daemonConfig().transmitUser = daemonConfig().transmitAuto = true;
    setS3Token("fuzztoken");
    if (saveDaemonConfig() != 1) abort();
    cellularState().dataConnected = 1;

    uint8_t mode = data[0];
    int firstSync = mode & 1;
    static const long kCodes[] = {200, 200, 204, 401, 403, 500, 302, 0};
    gCode = kCodes[(mode >> 1) & 7];
    gUploadsFail = (mode & 0x10) != 0;
    gAnswer = reinterpret_cast<const char*>(data + 1);
    gAnswerSize = size - 1;
    gPuts = 0;
    uploaded.clear();

    fuzzroot::mkdirs("/media/sdcard/TRANSMIT");
    for (size_t i = 0; i < 3; i++)
        fuzzroot::writeFile("/media/sdcard/TRANSMIT/" + kPictures[i], pictureBytes(i));

    char token[65];
    getS3Token(token);
    syncWithCloud(token, firstSync);

    // Every picture is still there unchanged, or went up whole.
    for (size_t i = 0; i < 3; i++) {
        std::string p = fuzzroot::path("/media/sdcard/TRANSMIT/" + kPictures[i]);
        FILE* f = fopen(p.c_str(), "rb");
        if (f == nullptr) {
            if (uploaded.find(pictureBytes(i)) == std::string::npos) {
                fprintf(stderr, "%s lost\n", kPictures[i].c_str());
                abort();
            }
            continue;
        }
        std::string got;
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0) got.append(buf, n);
        fclose(f);
        if (got != pictureBytes(i)) {
            fprintf(stderr, "%s changed\n", kPictures[i].c_str());
            abort();
        }
    }
    // Nothing written outside the transmit folder's pictures by a slot name.
    struct stat st;
    if (stat(fuzzroot::path("/etc/passwd").c_str(), &st) == 0) abort();
    std::string wrong = configkeys::fileProblems(fuzzroot::path("/etc/trailnetd_conf.json"));
    if (!wrong.empty()) {
        fprintf(stderr, "configuration incomplete: %s\n", wrong.c_str());
        abort();
    }
    return 0;
}
