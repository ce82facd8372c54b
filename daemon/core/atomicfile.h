#pragma once
// Power-safe file replacement. The camera loses power at any moment: a file
// rewritten in place can be left empty or half written, so every persistent
// file goes to a temporary file in the same folder, reaches the medium, and is
// renamed over the old one. A reader sees the old or the new content, never a
// mix.
#include <sys/types.h>

#include <cstddef>

// Replaces `path` with `len` bytes of `data`; the file gets permissions `mode`
// whatever the umask or the old file had (on a file system without
// permissions, such as the FAT card, the ones it shows). Returns 1 on
// success, 0 on failure with errno set; on failure the old file is untouched
// and the temporary file "<path>.tmp" is removed.
int writeFileAtomic(const char* path, const void* data, size_t len, mode_t mode);

// Flushes the folder holding `path`, so a name created, renamed or removed
// there is on the medium. Returns 1 on success, 0 on failure.
int syncFolderOf(const char* path);

// Like writeFileAtomic, but where `path` is a symbolic link (a read-only
// folder linking the file to a writable place) the file it finally points to
// is replaced, with the temporary file beside it, and the link stays. A link
// that points nowhere yet names the file to create.
int writeFileAtomicThroughLink(const char* path, const void* data, size_t len, mode_t mode);
