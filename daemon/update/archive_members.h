#pragma once
// Members of an archive read from its own bytes, not from a tool's listing:
// the tars of the module and of the desk differ in what they list (one strips
// "../" and a leading "/" from the names it shows), so only the headers say
// what an unpacking tar will be asked to write.
#include <cstdint>
#include <functional>
#include <string>

// A member's kind as a listing shows it: '-' file, 'd' folder, 'l' symbolic
// link, 'h' hard link (target = the member it names), '?' anything else.
using OnArchiveMember =
    std::function<bool(char kind, const std::string& name, const std::string& target)>;

// Reads a tar stream (already decompressed) fed in pieces of any size:
// ustar headers, GNU long names ("L"/"K") and pax records ("path",
// "linkpath", "size"). Stops at the end blocks or when `onMember` returns
// false; a bad header or a stream cut inside a member is an error.
class TarMemberReader {
public:
    explicit TarMemberReader(OnArchiveMember onMember) : onMember_(std::move(onMember)) {}
    // False once nothing more is wanted (end reached, stopped, or an error).
    bool feed(const char* data, size_t size);
    // Whole stream seen: true when it ended at a member boundary.
    bool finish();
    const std::string& error() const { return error_; }

private:
    enum State { Header, Skip, Extended, Done };
    bool header(const unsigned char* block);
    bool fail(const char* why);
    void applyPax(const std::string& records);

    OnArchiveMember onMember_;
    State state_ = Header;
    std::string block_;        // a header being collected
    uint64_t remaining_ = 0;   // bytes of content (and padding) still to pass
    char extKind_ = 0;         // 'L', 'K', 'x' or 'g' while collecting one
    std::string ext_;          // its content
    uint64_t extSize_ = 0;
    std::string nextName_, nextTarget_;
    bool haveNextSize_ = false;
    uint64_t nextSize_ = 0;
    std::string error_;
};

// A zip's central directory, from the last bytes of the file (`tail`, which
// ends where the file ends, `fileSize` long in all): where it starts and how
// long it is. False when no end record is found or it names a zip64 archive.
struct ZipDirectory {
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t entries = 0;
};
bool findZipDirectory(const std::string& tail, uint64_t fileSize, ZipDirectory& out);
// Hands each entry of the central directory bytes to `onMember`: a name
// ending in "/" is a folder, an entry made on Unix whose mode says link is a
// link (its target is in the data, not looked at: links are refused anyway).
bool readZipDirectory(const std::string& directory, uint64_t entries, const OnArchiveMember& onMember,
                      std::string& error);
