// Full-resolution picture requests. The picture names come from the cloud,
// so the search and the copy run without a shell and never leave the card.
#include "cloud/hd_requests.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "camera/protocol.h"
#include "cloud/camapi.h"
#include "cloud/request_slot.h"
#include "cloud/requests.h"
#include "cloud/tus.h"
#include "core/jsonutil.h"
#include "core/log.h"
#include "core/rootpath.h"
#include "core/unique_fd.h"

namespace {

const char kCard[] = "/media/sdcard";
const char kHdCopyPrefix[] = "/media/sdcard/TRANSMIT/HD";
const size_t kPathSize = 1024;
// The card's folders are a few levels deep; a deeper tree is not walked
// further rather than exhausting the stack.
const int kMaxDepth = 64;
const size_t kDateLogSize = 32;

struct DirClose {
    void operator()(DIR* d) const { closedir(d); }
};
struct FileClose {
    void operator()(FILE* f) const { fclose(f); }
};

std::string baseName(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Depth first, as find does: an entry is looked at before what lies below it.
std::string walk(const std::string& folder, const char* name, int depth) {
    std::vector<std::string> entries;
    {
        std::unique_ptr<DIR, DirClose> dir(opendir(folder.c_str()));
        if (!dir) return "";
        while (const dirent* e = readdir(dir.get())) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
            entries.emplace_back(e->d_name);
        }
    }
    for (const std::string& entry : entries) {
        std::string path = folder + "/" + entry;
        if (entry == name) return path;
        struct stat st;
        if (depth < kMaxDepth && lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
            std::string found = walk(path, name, depth + 1);
            if (!found.empty()) return found;
        }
    }
    return "";
}

// Copies a regular file (not a link to one) into a new file; false on any
// failure, with nothing left at `to`.
bool copyPicture(const std::string& from, const std::string& to) {
    Fd in(open(from.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    struct stat st;
    if (in.get() < 0 || fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    Fd out(open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (out.get() < 0) return false;
    char buffer[16384];
    bool ok = true;
    for (;;) {
        ssize_t n = read(in.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        for (ssize_t done = 0; done < n && ok;) {
            ssize_t w = write(out.get(), buffer + done, n - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) ok = false;
            else done += w;
        }
        if (!ok) break;
    }
    // The copy keeps the original's modification time: a cut resumable
    // upload of the same picture is found again from a fresh copy.
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (ok && futimens(out.get(), times) != 0) ok = false;
    if (close(out.release()) != 0) ok = false;
    if (!ok) unlink(to.c_str());
    return ok;
}

std::string logDate(const char* date) {
    char cut[kDateLogSize];
    copyCut(cut, sizeof cut, date);
    return peerText(cut);
}

json_object* result(const char* name, const char* date, bool success, const char* message) {
    json_object* r = json_object_new_object();
    json_object_object_add(r, "name", json_object_new_string(name));
    json_object_object_add(r, "date", json_object_new_string(date));
    json_object_object_add(r, "success", json_object_new_boolean(success));
    json_object_object_add(r, "message", json_object_new_string(message));
    return r;
}

void sendResults(json_object* results, const char* cameraUrl, const char* token) {
    JsonPtr report(json_object_new_object());
    json_object* requests = json_object_new_object();
    json_object* pictures = json_object_new_object();
    json_object_object_add(pictures, "result", results);
    json_object_object_add(requests, "pictures", pictures);
    json_object_object_add(report.get(), "requests", requests);
    int rc = camApiPutJson(cameraUrl, nullptr, report.get(), token);
    if (rc == CAMAPI_FAILED)
        logMessage("hdresult", LOG_ERROR, "Send pictures results failed: %s", camApiLastErrorText());
    else if (rc != CAMAPI_DONE)
        logMessage("hdresult", LOG_ERROR, "Send pictures results failed: Fatal CURL error");
    else if (!transferSucceeded(rc))
        logMessage("hdresult", LOG_ERROR, "Send pictures results failed: HTTP %ld",
                   camApiLastResponseCode());
}

// The copy into a resumable slot ("verb" is not used there).
const char* uploadCopyTus(json_object* element, const char* name, const std::string& copy,
                          const struct stat& st) {
    const char* host = slotText(element, "host");
    const char* path = slotText(element, "path");
    char url[kPathSize];
    if (host == nullptr || path == nullptr) return "uploadFailed";
    int n = snprintf(url, sizeof url, "%s%s", host, path);
    if (n < 0 || n >= static_cast<int>(sizeof url)) {
        logMessage("hdod", LOG_ERROR, "HD picture request failed (%s): slot too long",
                   peerText(name).c_str());
        return "uploadFailed";
    }
    std::string copyName = "HD" + std::string(name);
    if (tusUpload(copyName.c_str(), true, copy.c_str(), static_cast<int64_t>(st.st_size),
                  static_cast<int64_t>(st.st_mtime), url, jsonMember(element, "headers")) != TUS_SENT) {
        logMessage("hdod", LOG_ERROR, "HD picture request failed (%s): resumable upload not complete",
                   peerText(name).c_str());
        return "uploadFailed";
    }
    tusForget(copyName.c_str(), true);
    sendAck();
    return "";
}

// Uploads one prepared copy; the message of its result ("" on success).
const char* uploadCopy(json_object* element, const char* name, const std::string& copy) {
    std::unique_ptr<FILE, FileClose> file(fopen(copy.c_str(), "rb"));
    if (!file) {
        logMessage("log", LOG_ERROR, "Failed to open file: %s", peerText(name).c_str());
        return nullptr;  // the copy stays for the next picture upload
    }
    struct stat st;
    if (fstat(fileno(file.get()), &st) != 0) return "sdCardError";
    const char* protocol = tusSlotProtocol(element);
    if (protocol == nullptr) {
        logMessage("hdod", LOG_ERROR, "HD picture request failed (%s): unknown upload protocol",
                   peerText(name).c_str());
        return "uploadFailed";
    }
    if (strcmp(protocol, "tus") == 0) return uploadCopyTus(element, name, copy, st);
    SlotTarget target;
    SlotCheck check = readSlotTarget(element, &target);
    if (check != SLOT_OK) {
        if (check == SLOT_TOO_LONG)
            logMessage("hdod", LOG_ERROR, "HD picture request failed (%s): slot too long",
                       peerText(name).c_str());
        return "uploadFailed";
    }
    int rc = camApiUploadFile(target.url, target.verb, file.get(), static_cast<int32_t>(st.st_size),
                              target.headers, target.checksum);
    file.reset();
    if (transferSucceeded(rc)) {
        sendAck();
        return "";
    }
    logMessage("hdod", LOG_ERROR, "HD picture request failed (%s): %s", peerText(name).c_str(),
               transferFailure(rc).c_str());
    return "uploadFailed";
}

}  // namespace

std::string findFirstByName(const std::string& top, const char* name) {
    if (name == nullptr || name[0] == '\0') return "";
    if (baseName(top) == name) return top;
    return walk(top, name, 0);
}

int prepareHdPicture(const char* name, const char* date, char* path) {
    path[0] = '\0';
    const std::string card = rootPath(kCard);
    if (!isDirectory(card.c_str())) return HD_NO_CARD;

    bool ready = false;
    if (isPlainRequestName(name)) {
        std::string match = findFirstByName(card, name);
        struct stat st;
        // A link could point anywhere on the module: only the card's own files.
        if (!match.empty() && lstat(match.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
            std::string copy = rootPath(kHdCopyPrefix) + name;
            if (copy.size() < kPathSize && copyPicture(match, copy)) {
                snprintf(path, kPathSize, "%s", copy.c_str());
                ready = true;
            }
        }
    }
    if (ready) {
        logMessage("hd", LOG_INFO, "HD picture ready: %s (%s)", name, logDate(date).c_str());
        return HD_READY;
    }
    logMessage("hd", LOG_ERROR, "HD picture not available: %s (%s)", peerText(name).c_str(),
               logDate(date).c_str());
    return HD_UNAVAILABLE;
}

void serveHdRequests(json_object* pictures, const char* cameraUrl, const char* token) {
    json_object* content = nullptr;
    if (!json_object_object_get_ex(pictures, "content", &content)) return;
    size_t n = json_object_is_type(content, json_type_array) ? json_object_array_length(content) : 0;
    json_object* results = json_object_new_array();

    for (size_t i = 0; i < n; i++) {
        json_object* element = json_object_array_get_idx(content, i);
        sendAck();
        const char* name = slotText(element, "name");
        const char* date = slotText(element, "date");
        if (name == nullptr || date == nullptr) continue;

        char copy[kPathSize];
        int prepared = prepareHdPicture(name, date, copy);
        if (prepared != HD_READY) {
            json_object_array_add(results, result(name, date, false,
                                                  prepared == HD_NO_CARD ? "sdCardError" : "unavailable"));
            continue;
        }
        const char* message = uploadCopy(element, name, copy);
        if (message == nullptr) {
            json_object_array_add(results, result(name, date, false, "sdCardError"));
            continue;
        }
        json_object_array_add(results, result(name, date, message[0] == '\0', message));
        unlink(copy);
        // A copy that cannot be deleted means a card in trouble: stop here
        // rather than fill it.
        if (isRegularFile(copy)) break;
    }
    sendResults(results, cameraUrl, token);
}
