#pragma once
// Safety check of an archive before it is unpacked, from its verbose listing,
// so a hostile package can write nothing outside the folder it is unpacked
// into, whatever the tar on the module does on its own.
//
// Example lines of "tar -tvf" (GNU and BusyBox tar differ only in the time):
//   -rw-r--r-- root/root       123 2024-05-01 10:00 bin/trailnetd
//   lrwxrwxrwx root/root         0 2024-05-01 10:00:00 lib/libx.so -> libx.so.1
//   hrw-r--r-- root/root         0 2024-05-01 10:00 bin/b link to bin/a
#include <set>
#include <string>

class ArchiveListingCheck {
public:
    // Module packages may carry symbolic and hard links that stay inside;
    // DSP archives go onto a FAT card and hold only files and folders.
    enum Policy { LinksInside, FilesOnly };

    explicit ArchiveListingCheck(Policy policy) : policy_(policy) {}

    // One "tar -tvf" line. Returns false (and remembers why) when the member
    // is unsafe; later lines are then ignored.
    bool tarLine(const std::string& line, bool cut = false);
    // One member read from the archive's own headers (archive_members.h):
    // kind '-', 'd', 'l', 'h' or anything else (refused).
    bool member(char kind, const std::string& name, const std::string& target);
    // One line of "unzip -Z" (zipinfo): only the entry kind is looked at.
    bool zipInfoLine(const std::string& line, bool cut = false);
    // One line of "unzip -Z1": the entry's name.
    bool zipNameLine(const std::string& line, bool cut = false);

    bool safe() const { return unsafe_.empty(); }
    // The offending member (or line) of the first refusal.
    const std::string& unsafeMember() const { return unsafe_; }

private:
    bool refuse(const std::string& what);
    bool checkName(const std::string& name, std::string& normal);

    Policy policy_;
    std::set<std::string> links_;  // symbolic links seen so far (normalised)
    std::string unsafe_;
};

// "./a//b/" -> "a/b"; false when the name is absolute, empty or has a ".."
// component.
bool normaliseMemberName(const std::string& name, std::string& out);
