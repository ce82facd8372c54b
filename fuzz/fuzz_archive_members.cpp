// Archive headers from a hostile package: a tar stream (fed in pieces whose
// size the first byte picks) or a zip's end record and central directory.
// Every member handed on goes through the same safety check the update uses.
#include <cstdint>
#include <string>

#include "update/archive_listing.h"
#include "update/archive_members.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool zip = data[0] & 1;
    const size_t step = 1 + (data[0] >> 1);
    const std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    ArchiveListingCheck check(ArchiveListingCheck::LinksInside);
    auto onMember = [&](char kind, const std::string& name, const std::string& target) {
        return check.member(kind, name, target);
    };
    if (zip) {
        ZipDirectory d;
        if (findZipDirectory(bytes, bytes.size(), d)) {
            std::string error;
            readZipDirectory(bytes.substr(static_cast<size_t>(d.offset), static_cast<size_t>(d.size)),
                             d.entries, onMember, error);
        }
    } else {
        TarMemberReader reader(onMember);
        for (size_t at = 0; at < bytes.size(); at += step)
            if (!reader.feed(bytes.data() + at, std::min(step, bytes.size() - at))) break;
        reader.finish();
    }
    return 0;
}
