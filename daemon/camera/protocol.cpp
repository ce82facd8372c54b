#include "camera/protocol.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <strings.h>

#include <cstring>
#include <ctime>
#include <mutex>

#include "camera/dsp_files.h"
#include "camera/dsp_line.h"
#include "camera/serial.h"
#include "cellular/cellular.h"
#include "cellular/cellular_state.h"
#include "cellular/data_call.h"
#include "cellular/power.h"
#include "cellular/wall_clock.h"
#include "cloud/sync.h"
#include "core/config.h"
#include "core/log.h"
#include "core/rootpath.h"
#include "core/sdcard.h"
#include "core/timefmt.h"
#include "update/update.h"

namespace {

// ---- the two devices ----
std::atomic<int> cameraFd{-1};
std::atomic<int> atFd{-1};
std::atomic<bool> cameraActive{false};
// Serialises writes to the camera UART and the flag check of the "RDY"
// announcement, so the DSP never sees "RDY" after its first reply.
std::mutex cameraWriteMutex;

const SerialConfig kCameraConfig{115200, 8, 1, 0, 0};
const SerialConfig kAtConfig{38400, 8, 1, 0, 0};

// ---- atResponse: what the AT channel returned since the last atSend ----
constexpr size_t kAtResponseSize = 1024;
std::mutex atResponseMutex;
char atResponseText[kAtResponseSize];
size_t atResponseLength = 0;

void atResponseClear() {
    std::lock_guard<std::mutex> lock(atResponseMutex);
    memset(atResponseText, 0, sizeof atResponseText);
    atResponseLength = 0;
}

// A reply may come in several reads: keep them together until the next
// atSend. When the buffer is full, the newest read replaces what was there.
void atResponseAppend(const char* data, size_t length) {
    size_t n = strnlen(data, length);
    if (n >= kAtResponseSize) n = kAtResponseSize - 1;
    std::lock_guard<std::mutex> lock(atResponseMutex);
    if (atResponseLength + n >= kAtResponseSize) {
        memset(atResponseText, 0, sizeof atResponseText);
        atResponseLength = 0;
    }
    memcpy(atResponseText + atResponseLength, data, n);
    atResponseLength += n;
    atResponseText[atResponseLength] = '\0';
}

// ---- receive threads ----
constexpr size_t kReadSize = 1024;

using ReadHandler = void (*)(const char* data, size_t length);

struct ReceiveLoop {
    const std::atomic<int>* fd;
    ReadHandler handle;
};

// A UART hands a line to read() in as many pieces as its bytes took to
// arrive (a pseudo-terminal hands it whole). The DSP writes each command at
// once, so a piece that begins like a command ("SP+" or "AT", any case) and
// has neither its CR nor a NUL waits for the rest, up to kPieceGapMs after
// the last byte, before it counts as one message. Anything else is a
// message as it came, so noise never swallows the command after it.
constexpr int kPieceGapMs = 50;

bool beginsLikeCommand(const char* buffer, size_t have) {
    auto startOf = [&](const char* word) {
        size_t n = strlen(word) < have ? strlen(word) : have;
        return strncasecmp(buffer, word, n) == 0;
    };
    return have > 0 && (startOf("SP+") || startOf("AT"));
}

// Bytes [0, have) of `buffer` were read; adds the rest of their line (at
// most up to `size`) and returns the new length.
size_t restOfLine(int fd, char* buffer, size_t have, size_t size) {
    if (!beginsLikeCommand(buffer, have)) return have;
    while (have < size && memchr(buffer, '\r', have) == nullptr && memchr(buffer, '\0', have) == nullptr) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, kPieceGapMs) <= 0) break;
        ssize_t m = serialRead(fd, buffer + have, size - have);
        if (m <= 0) break;
        have += static_cast<size_t>(m);
    }
    return have;
}

void* receiveLoop(void* arg) {
    const ReceiveLoop* loop = static_cast<const ReceiveLoop*>(arg);
    int fd = loop->fd->load();
    if (fd < 0) return nullptr;
    // One byte more than a read takes, so a full read is still a terminated text.
    char buffer[kReadSize + 1];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, 3000);
        if (r == 0) continue;
        if (r < 0) {
            if (errno == EINTR) continue;
            printf("< failed to select >");
            fflush(stdout);
            _exit(-1);
        }
        ssize_t n;
        do {
            memset(buffer, 0, sizeof buffer);
            n = serialRead(fd, buffer, kReadSize);
            if (n > 0) {
                size_t have = restOfLine(fd, buffer, static_cast<size_t>(n), kReadSize);
                loop->handle(buffer, have);
                n = static_cast<ssize_t>(have);
            }
        } while (n == static_cast<ssize_t>(kReadSize));
        // A hung-up line stays "readable" forever: do not spin on it.
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) sleep(1);
    }
    return nullptr;
}

void handleAtRead(const char* data, size_t length) { atResponseAppend(data, length); }

const ReceiveLoop kAtLoop{&atFd, handleAtRead};
const ReceiveLoop kCameraLoop{&cameraFd, handleCameraMessage};

bool startThread(const char* name, const ReceiveLoop* loop) {
    pthread_t t;
    if (pthread_create(&t, nullptr, receiveLoop, const_cast<ReceiveLoop*>(loop)) != 0)
        return false;
    pthread_setname_np(t, name);
    pthread_detach(t);
    return true;
}

// Waits for a flag of the cellular handler: one check, then one-second sleeps
// each followed by a check, `sleeps` sleeps at most.
bool waitForFlag(const std::atomic<uint8_t>& flag, int sleeps, bool checkAfterLast) {
    if (flag.load()) return true;
    sleep(1);
    for (int i = 1; i < sleeps; i++) {
        if (flag.load()) return true;
        sleep(1);
    }
    return checkAfterLast && flag.load();
}

// The DSP may cut the power as soon as it has an answer: what the command
// changed on the card, in /etc and /usrdata goes to the medium first.
void flushBeforeAnswer() { sync(); }

void runSyncCommand(bool first) {
    const char* module = first ? "firstsync" : "sync";
    // A clock not yet set (a first start in 1970) would stamp the camera's
    // installation date wrong for good: taken after the sync, which waits
    // for the clock, in that case.
    bool powerOnLater = false;
    if (first) {
        logMessage(module, LOG_INFO, "Start first sync");
        if (clockKnownTrue())
            setPowerOnTime(time(nullptr));
        else
            powerOnLater = true;
    } else {
        logMessage(module, LOG_INFO, "Start cellular transfert");
    }
    int result = 0;
    if (isCellularEnabled()) {
        dataCallCheck();  // a call the manager no longer holds must not look up to the sync
        result = runSync(first ? 1 : 0);
    }
    if (powerOnLater && clockKnownTrue()) setPowerOnTime(time(nullptr));
    logMessage(module, LOG_INFO, first ? "End first sync" : "End cellular transfert");
    if (recoverDspFirmware() == 1) setRequestDspUpdate(1);
    if (result != 0) {
        // Pictures uploaded and deleted, the status consumed: all of it on
        // the medium before the answer, or a cut brings it back.
        flushBeforeAnswer();
        sendError();
        return;
    }
    writeDspConfig();
    flushBeforeAnswer();  // the DSP reads the settings file as soon as it sees OK
    sendOk();
}

}  // namespace

// ---- opening ----
int openAtChannel() {
    int fd = serialOpen(rootPath("/dev/smd9").c_str(), kAtConfig.baudrate, 0);
    serialConfigure(fd, &kAtConfig);
    atFd = fd;
    if (!startThread("uart_smd_rcv", &kAtLoop))
        logMessage("uart", LOG_ERROR, "Fail to create uart_smd_rcv");
    return fd < 0 ? -1 : 0;
}

int openCameraUart() {
    cameraActive = false;
    int fd = serialOpen(rootPath("/dev/ttyHS0").c_str(), kCameraConfig.baudrate, 0);
    serialConfigure(fd, &kCameraConfig);
    cameraFd = fd;
    if (!startThread("uart_rcv", &kCameraLoop))
        logMessage("uart", LOG_ERROR, "Fail to create uart_rcv");
    return fd < 0 ? -1 : 0;
}

// ---- sending ----
void cameraWrite(const void* data, size_t length) {
    std::lock_guard<std::mutex> lock(cameraWriteMutex);
    int fd = cameraFd.load();
    if (fd >= 0) serialWrite(fd, data, length);
}

void cameraSend(const char* text) { cameraWrite(text, strlen(text)); }

void announceReady() {
    std::lock_guard<std::mutex> lock(cameraWriteMutex);
    int fd = cameraFd.load();
    if (fd >= 0 && !cameraActive.load()) serialWrite(fd, "RDY\r\n", 5);
}

void sendAck() {
    logMessage("uart", LOG_INFO, "Sent ACK");
    cameraWrite("\x06", 1);
}

void sendOk() {
    logMessage("uart", LOG_INFO, "Sent OK");
    cameraWrite("SP+OK\n", 6);
}

void sendError() {
    logMessage("uart", LOG_INFO, "Sent ERROR");
    cameraWrite("SP+ERROR\n", 9);
}

void atSend(const char* line) {
    atResponseClear();
    int fd = atFd.load();
    if (fd >= 0 && line != nullptr) serialWrite(fd, line, strlen(line));
}

size_t atResponse(char* buffer, size_t size) {
    if (buffer == nullptr || size == 0) return 0;
    std::lock_guard<std::mutex> lock(atResponseMutex);
    size_t n = atResponseLength < size - 1 ? atResponseLength : size - 1;
    memcpy(buffer, atResponseText, n);
    buffer[n] = '\0';
    return n;
}

bool atResponseContains(const char* needle) {
    std::lock_guard<std::mutex> lock(atResponseMutex);
    return needle != nullptr && strstr(atResponseText, needle) != nullptr;
}

bool isCameraActive() { return cameraActive.load(); }

// ---- commands ----
void handleCameraMessage(const char* data, size_t length) {
    DspLine line = parseDspMessage(data, length);
    // Logged with the whole text, as received up to its first NUL.
    switch (line.kind) {
        case DSP_LINE_IGNORE:
            return;
        case DSP_LINE_AT_TOO_LONG:
            logMessage("uart", LOG_WARNING, "AT command longer than %zu characters, ignored",
                       kDspBodySize - 1);
            return;
        case DSP_LINE_AT:
            logMessage("uart", LOG_INFO, "AT command: %.*s", static_cast<int>(strnlen(data, length)),
                       data);
            atSend(line.text);
            return;
        case DSP_LINE_BODY_TOO_LONG:
            logMessage("executeCommand", LOG_WARNING,
                       "Received command longer than %zu characters, ignored", kDspBodySize - 1);
            return;
        case DSP_LINE_COMMAND:
            break;
    }
    logMessage("uart", LOG_INFO, "SP command: %.*s", static_cast<int>(strnlen(data, length)),
               data);
    {
        std::lock_guard<std::mutex> lock(cameraWriteMutex);
        cameraActive = true;
    }
    char word[kDspWordMax + 1];
    if (!dspCommandWord(line.text, word))
        logMessage("executeCommand", LOG_WARNING, "Received command length > 25, ignored");
    executeCommand(word);
}

void executeCommand(const char* word) {
    switch (matchDspCommand(word)) {
        case CMD_PROCESS:
            sendOk();
            break;
        case CMD_SYNC:
            runSyncCommand(false);
            break;
        case CMD_FIRSTSYNC:
            runSyncCommand(true);
            break;
        case CMD_CELL:
            cellHandlerStart();
            if (isCellularEnabled())
                waitForFlag(cellularState().dataConnected, 59, false);
            else
                readDspStatus();
            flushBeforeAnswer();
            sendOk();
            break;
        case CMD_GETSIGNALBAR: {
            int bars = signalBars();
            char text[16];
            snprintf(text, sizeof text, "%d\r\n", bars);
            cameraSend(text);
            if (bars > 0)
                sendOk();
            else
                sendError();
            break;
        }
        case CMD_GETDATETIME:
            if (!isCellularEnabled()) {
                logMessage("getdatetime", LOG_INFO,
                           "Cellular setting disabled. Date time is not valid.");
            } else if (!waitForFlag(cellularState().timeSet, 29, true)) {
                logMessage("getdatetime", LOG_INFO, "Date time is not initialized.");
            } else if (!clockKnownTrue()) {
                // The camera stamps its pictures with what it gets here: no
                // date (as when the network never came) beats a false one.
                char reads[24];
                formatUtc(wallClock().now(), reads, sizeof reads);
                logMessage("getdatetime", LOG_WARNING,
                           "Date time is not known: the clock reads %s UTC, before the build's date", reads);
            } else {
                char now[30];
                formatDspDateTime(now, sizeof now);
                char text[40];
                snprintf(text, sizeof text, "%s\r\n", now);
                cameraSend(text);
                logMessage("getdatetime", LOG_INFO, "%s", now);
            }
            sendOk();
            break;
        case CMD_STATE: {
            const char* text = sdcardState() != SDCARD_ABSENT ? "1\n" : "3\n";
            logMessage("uart", LOG_INFO, "Sent %s", text);
            cameraWrite(text, 2);
            sendOk();
            break;
        }
        case CMD_POWERDOWN:
            logMessage("main", LOG_INFO, "Modem powerdown");
            flushBeforeAnswer();
            sendOk();
            module_power_down(0);
            fflush(stdout);
            // Other threads may still be running: leave without running
            // static destructors under them.
            _exit(0);
        case CMD_UNKNOWN: {
            char block[50] = {};
            snprintf(block, sizeof block, "Unknown command : %s\r\n", word);
            cameraWrite(block, sizeof block);
            logMessage("uart", LOG_INFO, "Unknow command: %s", word);
            break;
        }
    }
}
