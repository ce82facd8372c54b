#pragma once
// Pictures of the transmit folder: the batch announced in a camera PUT and
// the uploads into the slots of its answer.
#include <json-c/json.h>

#include <cstdint>

struct DirEntry {
    char name[256];
    int32_t mtime;  // 0 when the file could not be examined
};

using DirOrdering = int (*)(const void*, const void*);

// Later modification time first; equal times by name, descending.
int newestFirst(const void* a, const void* b);

// Lists the regular files of `path`, sorted by `ordering`, keeping at most
// `limit` (0: all; the array holds only those). 0 on success (no array
// allocated when the count is 0);
// -1 on a null argument, an unreadable folder or no memory. The caller
// frees *entries.
int listDirectory(const char* path, DirEntry** entries, int* count, int limit, DirOrdering ordering);
// The same; with `remember`, inside a transmit scan, each file's modification
// time is taken from the scan's memory once the file was examined.
int listDirectoryScanned(const char* path, DirEntry** entries, int* count, int limit,
                         DirOrdering ordering, bool remember);

// A sync run lists the transmit folder on every pass; between these two each
// picture is examined once (its modification time remembered by name).
void beginTransmitScan();
void endTransmitScan();
// What the listings read: entries of the folder, and entries examined with
// stat(). For the tests and the benchmarks; zeroed by assignment.
struct ScanCounts {
    long entries = 0;
    long examined = 0;
};
ScanCounts& scanCounts();

// 1 "uploads" added; -2 no picture qualified; -1 folder or SD card unusable.
int addUploadList(json_object* body, int firstSync);
// Uploads into the answer's slots; returns how many pictures went up.
int uploadPictures(json_object* uploads);
// A slot name the daemon may touch: a plain file name of the transmit folder.
bool isPlainFileName(const char* name);
