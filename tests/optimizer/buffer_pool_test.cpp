// The image buffer pool: what one picture's decode, resize and encode ask of
// it, picture after picture.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ImageHelper.h"

namespace {

// The requests of one 4000x3000 picture to 1280x720, in the order the stb
// libraries make them: the three planes, the decoded picture, the planes
// given back, the resized picture and the resizer's work buffer.
struct Picture {
    void* planeY = nullptr;
    void* planeCb = nullptr;
    void* planeCr = nullptr;
    void* pixels = nullptr;
    void* resized = nullptr;
    void* work = nullptr;
};

Picture onePicture() {
    Picture p;
    p.planeY = ImageBufferAlloc(12032015);
    p.planeCb = ImageBufferAlloc(3008015);
    p.planeCr = ImageBufferAlloc(3008015);
    p.pixels = ImageBufferAlloc(36000001);
    ImageBufferFree(p.planeY);
    ImageBufferFree(p.planeCb);
    ImageBufferFree(p.planeCr);
    p.resized = ImageBufferAlloc(2764800);
    p.work = ImageBufferAlloc(508656);
    ImageBufferFree(p.work);
    ImageBufferFree(p.pixels);
    ImageBufferFree(p.resized);
    return p;
}

class BufferPool : public ::testing::Test {
protected:
    void TearDown() override { ImageBufferRelease(); }
};

TEST_F(BufferPool, LargeBuffersServeTheNextPictureOfTheSameSize) {
    Picture first = onePicture();
    ASSERT_NE(first.pixels, nullptr);
    // The small work buffer of the resizer must not cost the next picture
    // its decoded-picture buffer or its largest plane.
    for (int i = 0; i < 3; i++) {
        Picture next = onePicture();
        EXPECT_EQ(next.pixels, first.pixels) << "picture " << i + 2;
        EXPECT_EQ(next.planeY, first.planeY) << "picture " << i + 2;
    }
}

TEST_F(BufferPool, ReallocKeepsTheBytesAndFreedBuffersComeBack) {
    auto* a = static_cast<unsigned char*>(ImageBufferAlloc(100000));
    ASSERT_NE(a, nullptr);
    memset(a, 0x5a, 100000);
    auto* b = static_cast<unsigned char*>(ImageBufferRealloc(a, 400000));
    ASSERT_NE(b, nullptr);
    std::vector<unsigned char> want(100000, 0x5a);
    EXPECT_EQ(memcmp(b, want.data(), want.size()), 0);
    // Shrinking stays in place.
    EXPECT_EQ(ImageBufferRealloc(b, 1000), b);
    ImageBufferFree(b);
    // A request much smaller than a kept buffer does not take it.
    void* small = ImageBufferAlloc(70000);
    EXPECT_NE(small, b);
    ImageBufferFree(small);
    EXPECT_EQ(ImageBufferAlloc(390000), b);
    ImageBufferFree(b);
}

TEST_F(BufferPool, LimitRefusesOnlyLargerRequests) {
    ImageBufferSetLimit(1 << 20);
    EXPECT_EQ(ImageBufferAlloc((1 << 20) + 1), nullptr);
    void* p = ImageBufferAlloc(1 << 20);
    EXPECT_NE(p, nullptr);
    ImageBufferFree(p);
    ImageBufferSetLimit(0);
}

}  // namespace
