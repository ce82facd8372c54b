// The stb image libraries, built once for PicTrimApp, with their buffers
// taken from the image buffer pool.
#include "ImageHelper.h"

// stb_image uses NEON only when told; the module's core has it.
#if defined(__ARM_NEON) || defined(__ARM_NEON__)
#define STBI_NEON
#endif
#define STBI_MALLOC(sz) ImageBufferAlloc(sz)
#define STBI_REALLOC(p, newsz) ImageBufferRealloc(p, newsz)
#define STBI_FREE(p) ImageBufferFree(p)
#define STB_IMAGE_IMPLEMENTATION
#include <stb/stb_image.h>

#define STBIR_MALLOC(size, c) ((void)(c), ImageBufferAlloc(size))
#define STBIR_FREE(ptr, c) ((void)(c), ImageBufferFree(ptr))
#define STB_IMAGE_RESIZE_IMPLEMENTATION
#include <stb/stb_image_resize.h>

#define STBIW_MALLOC(sz) ImageBufferAlloc(sz)
#define STBIW_REALLOC(p, newsz) ImageBufferRealloc(p, newsz)
#define STBIW_FREE(p) ImageBufferFree(p)
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>
