#pragma once
// Full-resolution ("HD") pictures asked for by the API: found anywhere on
// the card, copied into the transmit folder as "HD<name>", uploaded into the
// request's slot, deleted, and every outcome reported in one camera PUT.
#include <string>

enum {
    HD_READY = 0,        // the copy is ready, its path filled in
    HD_UNAVAILABLE = 1,  // no such picture (or a name that is not a plain file name)
    HD_NO_CARD = 2,      // "/media/sdcard" is not a directory
};

// `path` is a 1024-byte buffer; it is emptied unless HD_READY.
int prepareHdPicture(const char* name, const char* date, char* path);

// The first entry called `name` at or below `top`, in the order find(1)
// lists them (depth first, each folder in the order it reads back, an entry
// before what lies below it), without following symbolic links; "" when
// there is none.
std::string findFirstByName(const std::string& top, const char* name);
