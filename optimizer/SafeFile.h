#pragma once
// Power-safe rewrites of the pictures on the card. The camera runs on
// batteries and loses power at any moment: a picture is never written in
// place. Its new bytes go to a work file in the same folder, reach the
// medium, and the work file is renamed over the picture; then the folder is
// flushed so the new name is on the medium too. A cut leaves the old picture
// or the new one, whole, and perhaps a work file that the next run removes.
#include <cstddef>

// The work file beside a picture: "<picture>.tmp". It never ends in ".jpg",
// so neither stage ever takes it for a picture.
#define SAFEFILE_WORK_SUFFIX ".tmp"

// Writes `len` bytes to `work` (created or emptied), flushes it to the
// medium, renames it over `path` and flushes the folder. Returns 1 on
// success; 0 on failure, with `path` untouched and `work` removed.
int SafeFileReplace(const char* path, const char* work, const void* data, size_t len);

// Copies `from` to `to` (created or emptied); the copy is not flushed, it is
// a work file that SafeFileReplace later rewrites. Returns 1 on success, 0 on
// failure with `to` removed.
int SafeFileCopy(const char* from, const char* to);

// Flushes the folder holding `path`, so a name created, renamed or removed
// there is on the medium. Returns 1 on success, 0 on failure.
int SafeFileSyncFolder(const char* path);

// Appends `len` bytes to `path` (created if missing) and flushes it, and the
// folder when the file is new. Returns 1 on success, 0 on failure.
int SafeFileAppend(const char* path, const void* data, size_t len);

// True for a name that a cut-off run may have left in the picture folder:
// a picture's work file ("x.jpg.tmp"), the section writer's ("x.jpg.part")
// and the optimizer's own ("jpegoptim-*.tmp").
bool SafeFileIsLeftover(const char* name);

// Removes every leftover of a cut-off run from `folder` (ending in '/') and
// flushes the folder when it removed one. Returns how many it removed.
int SafeFileCleanFolder(const char* folder);
