// extractBetween over any text with any markers, counts and offsets: it must
// never read before or after the source nor write past maxLen + 1 bytes.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/log.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Layout: 5 parameter bytes, then start marker, end marker and source
    // separated by 0x00 bytes.
    if (size < 5) return 0;
    uint8_t startCount = data[0] & 0x07;
    int8_t startOffset = static_cast<int8_t>(data[1]);
    uint8_t endCount = data[2] & 0x07;
    int8_t endOffset = static_cast<int8_t>(data[3]);
    size_t maxLen = data[4];
    std::string rest(reinterpret_cast<const char*>(data + 5), size - 5);

    std::vector<std::string> parts;
    size_t pos = 0;
    for (int i = 0; i < 2; i++) {
        size_t nul = rest.find('\0', pos);
        if (nul == std::string::npos) break;
        parts.push_back(rest.substr(pos, nul - pos));
        pos = nul + 1;
    }
    std::string src = rest.substr(pos < rest.size() ? pos : rest.size());
    const char* startMarker = parts.size() > 0 && !parts[0].empty() ? parts[0].c_str() : nullptr;
    const char* endMarker = parts.size() > 1 && !parts[1].empty() ? parts[1].c_str() : nullptr;

    // The source as an exact heap copy, so any read past its end is caught.
    std::vector<char> source(src.begin(), src.end());
    source.push_back('\0');
    std::vector<char> dest(maxLen + 1);
    extractBetween(dest.data(), source.data(), src.size(), startMarker, startCount, startOffset,
                   endMarker, endCount, endOffset, maxLen);
    if (strnlen(dest.data(), dest.size()) > maxLen) __builtin_trap();
    return 0;
}
