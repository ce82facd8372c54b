// The processed mark over any bytes: the search reads only what it is given
// and stops at the scan, and a mark put into bytes that start as a JPEG is
// always found again, and found in the head alone.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "ImageHelper.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A copy of exactly the input, so reading past it is caught.
    std::vector<unsigned char> bytes(data, data + size);
    bool before = ImageHelperIsMarked(bytes.data(), bytes.size());
    (void)before;
    std::vector<unsigned char> image = bytes;
    if (ImageHelperAddMark(image)) {
        if (image.size() != bytes.size() + 4 + sizeof(IMAGEHELPER_MARK) - 1) abort();
        if (!ImageHelperIsMarked(image.data(), image.size())) abort();
    } else if (image != bytes) {
        abort();  // refused, yet changed
    }
    return 0;
}
