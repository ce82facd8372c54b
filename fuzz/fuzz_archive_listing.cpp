// The safety check of an archive listing: lines of "tar -tvf", "unzip -Z"
// and "unzip -Z1" from a hostile package. Any name it lets through must
// normalise to a relative path without ".." (empty for the archive's own
// root, "./").
#include <cstdint>
#include <sstream>
#include <string>

#include "update/archive_listing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    int mode = data[0] % 3;
    auto policy = (data[0] & 0x80) ? ArchiveListingCheck::FilesOnly
                                    : ArchiveListingCheck::LinksInside;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    ArchiveListingCheck check(policy);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        bool cut = line.size() > 200;
        if (mode == 0) check.tarLine(line, cut);
        else if (mode == 1) check.zipInfoLine(line, cut);
        else check.zipNameLine(line, cut);
        std::string normal;
        if (normaliseMemberName(line, normal)) {
            if ((!normal.empty() && normal[0] == '/') || normal == ".." ||
                normal.compare(0, 3, "../") == 0 || normal.find("/../") != std::string::npos ||
                (normal.size() >= 3 && normal.compare(normal.size() - 3, 3, "/..") == 0))
                __builtin_trap();
        }
    }
    return 0;
}
