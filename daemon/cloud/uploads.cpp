#include "cloud/uploads.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "camera/protocol.h"
#include "cloud/camapi.h"
#include "cloud/tus.h"
#include "core/jsonutil.h"
#include "core/atomicfile.h"
#include "core/config.h"
#include "core/log.h"
#include "core/rootpath.h"
#include "core/sdcard.h"

namespace {

const char kTransmitFolder[] = "/media/sdcard/TRANSMIT/";

struct DirClose {
    void operator()(DIR* d) const { closedir(d); }
};
struct FileClose {
    void operator()(FILE* f) const { fclose(f); }
};

// Some file systems leave d_type unknown: ask the inode then.
bool isRegularEntry(const std::string& folder, const dirent* e) {
    if (e->d_type == DT_REG) return true;
    if (e->d_type != DT_UNKNOWN) return false;
    struct stat st;
    std::string full = folder + "/" + e->d_name;
    return lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string transmitPath(const char* name) {
    char path[1024];
    snprintf(path, sizeof path, "%s%s", rootPath(kTransmitFolder).c_str(), name);
    return path;
}

// A printable copy of a peer's text for the log (no line breaks in the log).
std::string printable(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0' && out.size() < 200; p++)
        out += (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f) ? '?' : *p;
    return out;
}

const char* stringMember(json_object* o, const char* key) {
    json_object* v = nullptr;
    if (!json_object_object_get_ex(o, key, &v) || !json_object_is_type(v, json_type_string))
        return nullptr;
    return json_object_get_string(v);
}

// One slot: 1 uploaded (and deleted), 0 not.
int uploadOne(json_object* slot) {
    const char* name = stringMember(slot, "name");
    if (name == nullptr) return 0;
    if (!isPlainFileName(name)) {
        logMessage("upload", LOG_ERROR, "Refused upload slot name: %s", printable(name).c_str());
        return 0;
    }
    std::string path = transmitPath(name);
    std::unique_ptr<FILE, FileClose> file(fopen(path.c_str(), "rb"));
    if (!file) {
        logMessage("sync", LOG_ERROR, "Failed to open file: %s", path.c_str());
        return 0;
    }
    const char* host = stringMember(slot, "host");
    const char* urlPath = stringMember(slot, "path");
    const char* protocol = tusSlotProtocol(slot);
    if (protocol == nullptr) {
        logMessage("upload", LOG_ERROR, "Unknown upload protocol for %s: picture kept", name);
        return 0;
    }
    bool tus = strcmp(protocol, "tus") == 0;
    // A tus slot names no verb: HEAD and PATCH are the protocol's own.
    const char* verb = tus ? "PATCH" : stringMember(slot, "verb");
    json_object* sizeValue = nullptr;
    if (host == nullptr || urlPath == nullptr || verb == nullptr ||
        !json_object_object_get_ex(slot, "size", &sizeValue))
        return 0;
    json_object* headers = nullptr;
    json_object_object_get_ex(slot, "headers", &headers);

    char url[1024];
    if (snprintf(url, sizeof url, "%s%s", host, urlPath) >= static_cast<int>(sizeof url) ||
        strlen(verb) > 255) {
        logMessage("upload", LOG_ERROR, "Upload slot too long: %s", name);
        return 0;
    }
    // Sending fewer bytes than the file holds and then deleting it would lose
    // the rest of the picture.
    int32_t size = json_object_get_int(sizeValue);
    struct stat st;
    if (fstat(fileno(file.get()), &st) != 0 || st.st_size != static_cast<off_t>(size)) {
        logMessage("upload", LOG_ERROR, "Upload size %d does not match %s", size, path.c_str());
        return 0;
    }

    if (tus) {
        file.reset();
        if (tusUpload(name, false, path.c_str(), size, static_cast<int64_t>(st.st_mtime), url,
                      headers) != TUS_SENT)
            return 0;
        // The record goes after the picture, and only once the deletion is on
        // the card: a cut that undid an unflushed deletion after the record
        // went would leave a picture without its record, sent again whole.
        // A cut between the two leaves a record whose picture is gone, which
        // the next save drops.
        if (unlink(path.c_str()) != 0) {
            // Kept with its record: the next attempt finds it complete and
            // deletes it without sending a byte.
            logMessage("upload", LOG_ERROR, "Failed to delete %s", path.c_str());
            return 1;
        }
        if (syncFolderOf(path.c_str()) != 1) return 1;  // the record stays: the next save drops it
        tusForget(name, false);
        return 1;
    }

    int result = camApiUploadFile(url, verb, file.get(), size, headers, jsonMember(slot, "checksum"));
    file.reset();
    if (result == CAMAPI_DONE) {
        long code = camApiLastResponseCode();
        if (code < 200 || code > 299) {
            logMessage("sync", LOG_ERROR, "File transfer failed: HTTP %ld", code);
            return 0;
        }
        if (unlink(path.c_str()) != 0)
            logMessage("upload", LOG_ERROR, "Failed to delete %s", path.c_str());
        return 1;
    }
    if (result == CAMAPI_FAILED)
        logMessage("sync", LOG_ERROR, "File transfer failed: %s", camApiLastErrorText());
    else
        logMessage("sync", LOG_ERROR, "File transfer failed: Curl fatal error");
    return 0;
}

}  // namespace

int newestFirst(const void* a, const void* b) {
    const auto* x = static_cast<const DirEntry*>(a);
    const auto* y = static_cast<const DirEntry*>(b);
    if (x->mtime != y->mtime) return x->mtime > y->mtime ? -1 : 1;
    return -strcmp(x->name, y->name);
}

bool isPlainFileName(const char* name) {
    if (name == nullptr || name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
        return false;
    if (strlen(name) > 255) return false;
    for (const char* p = name; *p != '\0'; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

int listDirectory(const char* path, DirEntry** entries, int* count, int limit, DirOrdering ordering) {
    if (path == nullptr || entries == nullptr || count == nullptr || ordering == nullptr) return -1;
    int total = 0;
    {
        std::unique_ptr<DIR, DirClose> dir(opendir(path));
        if (!dir) return -1;
        while (const dirent* e = readdir(dir.get()))
            if (isRegularEntry(path, e)) total++;
    }
    *entries = nullptr;
    if (total == 0) {
        *count = 0;
        return 0;
    }
    auto* list = static_cast<DirEntry*>(calloc(total, sizeof(DirEntry)));
    if (list == nullptr) return -1;
    std::unique_ptr<DIR, DirClose> dir(opendir(path));
    if (!dir) {
        free(list);
        return -1;
    }
    int stored = 0;
    while (stored < total) {
        const dirent* e = readdir(dir.get());
        if (e == nullptr) break;
        if (!isRegularEntry(path, e)) continue;
        snprintf(list[stored].name, sizeof list[stored].name, "%s", e->d_name);
        std::string full = std::string(path) + e->d_name;
        struct stat st;
        list[stored].mtime = stat(full.c_str(), &st) == 0 ? static_cast<int32_t>(st.st_mtime) : 0;
        stored++;
    }
    // The batch is the newest pictures, not whatever the folder yields first.
    qsort(list, stored, sizeof(DirEntry), ordering);
    *entries = list;
    *count = (limit > 0 && limit < stored) ? limit : stored;
    return 0;
}

int addUploadList(json_object* body, int firstSync) {
    int limit = firstSync ? 1 : getUploadPictureCount();
    DirEntry* entries = nullptr;
    int count = 0;
    std::string folder = rootPath(kTransmitFolder);
    if (listDirectory(folder.c_str(), &entries, &count, limit, newestFirst) != 0) {
        logMessage("uploads", LOG_ERROR, "Unable to access transmit folder");
        return -1;
    }
    std::unique_ptr<DirEntry, decltype(&free)> owned(entries, &free);
    if (sdcardState() != SDCARD_RW) return -1;
    if (count <= 0) return -2;

    JsonPtr array(json_object_new_array());
    for (int i = 0; i < count; i++) {
        std::string path = transmitPath(entries[i].name);
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
            logMessage("uploads", LOG_ERROR, "stat failed %s", path.c_str());
        } else if (st.st_size == 0) {
            unlink(path.c_str());
        } else if (isTransmitEnabled()) {
            json_object* item = json_object_new_object();
            json_object_object_add(item, "name", json_object_new_string(entries[i].name));
            json_object_object_add(item, "size", json_object_new_int(static_cast<int32_t>(st.st_size)));
            json_object_array_add(array.get(), item);
        } else {
            unlink(path.c_str());
        }
    }
    int announced = static_cast<int>(json_object_array_length(array.get()));
    if (announced == 0) return -2;
    logMessage("uploads", LOG_INFO, "%d %s", announced, json_object_to_json_string(array.get()));
    json_object_object_add(body, "uploads", array.release());
    return 1;
}

int uploadPictures(json_object* uploads) {
    int total = json_object_is_type(uploads, json_type_array)
                    ? static_cast<int>(json_object_array_length(uploads))
                    : 0;
    logMessage("upload", LOG_INFO, "Picture to upload: %d", total);
    int uploaded = 0;
    for (int i = 0; i < total; i++) {
        sendAck();
        uploaded += uploadOne(json_object_array_get_idx(uploads, i));
    }
    if (uploaded == total)
        raiseUploadPictureCount(uploaded);
    else
        setUploadPictureCount(uploaded);
    return uploaded;
}
