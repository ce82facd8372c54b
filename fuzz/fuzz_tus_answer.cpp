// The header lines of a resumable upload's answer, as a server may send
// them: the Upload-Offset and Upload-Length values taken from any line and
// checked against the upload's size. An accepted offset is always within
// 0..size and is exactly the decimal number the value spells.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "cloud/tus.h"

namespace {

// What the value means, by a slower road: digits only, and the number,
// compared as a string of digits (any length, leading zeros and all), within
// 0..size.
bool reference(const std::string& v, int64_t size, int64_t* out) {
    if (v.empty() || size < 0) return false;
    for (char c : v)
        if (c < '0' || c > '9') return false;
    size_t first = v.find_first_not_of('0');
    std::string digits = first == std::string::npos ? "0" : v.substr(first);
    std::string limit = std::to_string(size);
    if (digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit)) return false;
    *out = std::stoll(digits);
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Layout: 8 bytes of upload size (any sign), then header lines split at '\n'.
    if (size < 8) return 0;
    int64_t uploadSize;
    memcpy(&uploadSize, data, sizeof uploadSize);
    if ((data[0] & 1) != 0) uploadSize &= 0xffffff;  // often a picture-sized length
    std::string text(reinterpret_cast<const char*>(data + 8), size - 8);
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        // An exact heap copy of the line, so any read past its end is caught.
        std::string line = text.substr(pos, end - pos);
        std::unique_ptr<char[]> copy(new char[line.size()]);
        memcpy(copy.get(), line.data(), line.size());
        for (const char* name : {"Upload-Offset", "Upload-Length"}) {
            std::string value;
            if (!tusHeaderValue(copy.get(), line.size(), name, &value)) continue;
            if (!value.empty() && (value.front() == ' ' || value.back() == ' ')) __builtin_trap();
            int64_t offset = -1;
            int64_t expected = -1;
            bool ok = tusParseOffset(value.c_str(), uploadSize, &offset);
            // A NUL inside the value ends the text the parser sees.
            std::string seen(value.c_str());
            if (ok != reference(seen, uploadSize, &expected)) __builtin_trap();
            if (ok && (offset != expected || offset < 0 || offset > uploadSize)) __builtin_trap();
        }
        pos = end + 1;
    }
    return 0;
}
