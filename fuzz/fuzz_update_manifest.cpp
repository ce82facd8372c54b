// The manifest of an update package (from the card or the cloud): any line,
// then the version decision against a current version taken from the input.
#include <cstdint>
#include <string>

#include "update/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t split = text.find('\n');
    std::string line = text.substr(0, split);
    std::string current = split == std::string::npos ? "V1.00.34" : text.substr(split + 1);
    UpdateManifest m = parseManifest(line.c_str());
    if (m.dsp.present) updateRequired(m.dsp, current.c_str());
    if (m.modem.present) updateRequired(m.modem, current.c_str());
    return 0;
}
