#pragma once
// Uploads the folder's pictures: one announcement PUT to the camera resource,
// then each picture into the upload slot the answer gives for it.
#include <cstddef>
#include <cstdint>

#define CAMAPI_UCID_SIZE 64
#define CAMAPI_TOKEN_SIZE 64
#define CAMAPI_HOST_SIZE 100

struct CamApiParams {
    char ucid[CAMAPI_UCID_SIZE];
    char token[CAMAPI_TOKEN_SIZE];
    char host[CAMAPI_HOST_SIZE];  // API host, without scheme
    int32_t port;                 // parsed and kept, not used by any request
};

// A body received from libcurl: NUL-terminated text and its length.
struct ResponseText {
    char* ptr;
    size_t len;
};

// Starts a ResponseText as the empty text; false when memory runs out.
bool init_string(ResponseText* s);

// 0 when every slot was served or there was nothing to announce, else the
// code of the step that failed (1 missing slot parameters, 2 transfer or slot failure).
int CamApiControllerUploadProcess(const char* path, const CamApiParams* params);

// The most answer text taken from the server; a larger answer aborts the transfer.
#define CAMAPI_MAX_RESPONSE (4u * 1024u * 1024u)
