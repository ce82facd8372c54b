#pragma once
// When PicTrimApp's requests give up. A transfer ends on a stall, not on a
// clock: when fewer than kLowSpeedBytes per second moved for the whole stall
// window. The connect phase (TCP and TLS) has its own time-out, and an
// overall cap that grows with the transfer's size at a floor rate keeps a
// trickle from running for ever. A fixed time-out cannot fit both a picture
// on a good link and the same picture at one bar of signal.
#include <curl/curl.h>

struct TransferLimits {
    long connectSeconds = 30;
    long stallSeconds = 60;
    long lowSpeedBytes = 10;
    long capBaseSeconds = 120;
    long floorRate = 500;  // bytes per second the cap grows by
    // SO_SNDBUF of each connection. libcurl counts bytes as they enter the
    // socket; the kernel's own buffer holds many seconds of a slow link, so
    // the picture's tail would cross with no progress to see and the stall
    // window would cut an upload the server is getting whole.
    long sendBufferBytes = 16 * 1024;
};

// The limits in use. PICTRIM_STALL_SECONDS (a whole number from 1 to 3600)
// shortens or lengthens the stall window and the connect time-out with it;
// the cap's base follows as connect time-out plus stall window plus a few
// seconds.
TransferLimits transferLimits();

// The overall cap of one transfer, watched by libcurl's progress callback.
// It must outlive the transfer it is set on.
struct TransferCap {
    TransferLimits limits;
    curl_off_t startUs = 0;
    long hit = 0;  // seconds after which the cap ended the transfer (0: it did not)
    curl_off_t most = 0;  // the largest byte count seen
    // Told of every new connection the transfer opens (an upload's body
    // starts again there); null: nobody.
    void (*freshConnection)(void* data) = nullptr;
    void* freshConnectionData = nullptr;
};

// Sets the connect time-out, the stall window, TCP keep-alive, the send
// queue bound and the cap
// (which grows with the size libcurl announces or has moved).
void applyTransferLimits(CURL* curl, TransferCap* cap);

// The error text of a failed transfer: libcurl's, or the cap's.
const char* transferErrorText(CURLcode rc, const TransferCap& cap);
