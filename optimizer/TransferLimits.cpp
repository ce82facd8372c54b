#include "TransferLimits.h"

#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <initializer_list>

namespace {

// libcurl judges the speed over its last few seconds of samples, so a stall
// shows a few seconds after the window; the cap must not beat it to it.
constexpr long kAveragingSlack = 10;

curl_off_t monotonicUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<curl_off_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// libcurl calls this at least once a second while a transfer runs; the cap
// grows with the larger of what was announced and what moved so far.
int watchCap(void* slot, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow) {
    auto* cap = static_cast<TransferCap*>(slot);
    curl_off_t nowUs = monotonicUs();
    if (cap->startUs == 0) cap->startUs = nowUs;
    // The most seen so far: libcurl's counters start again from zero when it
    // resends a request on a fresh connection, and the cap must not shrink.
    for (curl_off_t b : {dltotal, dlnow, ultotal, ulnow})
        if (b > cap->most) cap->most = b;
    long rate = cap->limits.floorRate > 0 ? cap->limits.floorRate : 1;
    long seconds = cap->limits.capBaseSeconds + static_cast<long>(cap->most / rate);
    if ((nowUs - cap->startUs) / 1000000 >= seconds) {
        cap->hit = seconds;
        return 1;
    }
    return 0;
}

int boundSendQueue(void* slot, curl_socket_t fd, curlsocktype purpose) {
    auto* cap = static_cast<TransferCap*>(slot);
    int size = static_cast<int>(cap->limits.sendBufferBytes);
    if (purpose == CURLSOCKTYPE_IPCXN && size > 0) setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    if (purpose == CURLSOCKTYPE_IPCXN && cap->freshConnection)
        cap->freshConnection(cap->freshConnectionData);
    return CURL_SOCKOPT_OK;
}

}  // namespace

TransferLimits transferLimits() {
    TransferLimits l;
    const char* text = getenv("PICTRIM_STALL_SECONDS");
    if (text != nullptr && *text != '\0') {
        char* end = nullptr;
        long s = strtol(text, &end, 10);
        if (*end == '\0' && s >= 1 && s <= 3600) {
            l.stallSeconds = s;
            if (l.connectSeconds > s) l.connectSeconds = s;
            l.capBaseSeconds = l.connectSeconds + s + kAveragingSlack;
        }
    }
    return l;
}

void applyTransferLimits(CURL* curl, TransferCap* cap) {
    const TransferLimits& l = cap->limits;
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, l.connectSeconds);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, l.lowSpeedBytes);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, l.stallSeconds);
    // A link that died without a word (no FIN, no RST) shows on an idle connection too.
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPIDLE, 30L);
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPINTVL, 15L);
    curl_easy_setopt(curl, CURLOPT_SOCKOPTFUNCTION, boundSendQueue);
    curl_easy_setopt(curl, CURLOPT_SOCKOPTDATA, cap);
    // The connect phase and one stall window fit in the cap however small the body.
    long least = l.connectSeconds + l.stallSeconds + kAveragingSlack;
    if (cap->limits.capBaseSeconds < least) cap->limits.capBaseSeconds = least;
    cap->startUs = 0;
    cap->hit = 0;
    cap->most = 0;
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, watchCap);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, cap);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
}

const char* transferErrorText(CURLcode rc, const TransferCap& cap) {
    static char text[96];
    if (rc == CURLE_ABORTED_BY_CALLBACK && cap.hit > 0) {
        snprintf(text, sizeof text, "Transfer slower than the floor rate: cut after %ld s", cap.hit);
        return text;
    }
    return curl_easy_strerror(rc);
}
