#pragma once
// Framing between the host stand-ins of the platform libraries and the modem
// simulator: a fixed header and a bounded payload over a Unix stream socket.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace simwire {

constexpr uint32_t kMagic = 0x4D4F4431;       // "MOD1"
constexpr uint32_t kMaxPayload = 64 * 1024;   // a peer cannot make us allocate more

enum Kind : uint32_t {
    kMcmRequest = 1,     // id = message, arg = answer length wanted
    kMcmAnswer = 2,      // seq of the request, arg = result
    kMcmIndication = 3,  // id = message
    kMcmAsyncRequest = 4,
    kMcmAsyncAnswer = 5,  // id = message, seq of the request
    kMgmtSet = 6,         // id = message
    kMgmtGet = 7,
    kMgmtAnswer = 8,  // arg = result; payload (may be empty) replaces the record
    kMgmtEvent = 9,   // id = event
};

struct Header {
    uint32_t magic;
    uint32_t kind;
    uint32_t id;
    uint32_t seq;
    int32_t arg;
    uint32_t length;
};
static_assert(sizeof(Header) == 24, "frame header is 24 bytes on every target");

struct Frame {
    Header h{};
    std::vector<uint8_t> payload;
};

// Socket paths under $TRAILNETD_ROOT/tmp.
std::string socketPath(const char* name);
constexpr const char* kMcmSocket = "mcm_service.sock";
constexpr const char* kMgmtSocket = "ql_manager.sock";
constexpr const char* kControlSocket = "modem_sim.ctl";

int connectUnix(const std::string& path);  // -1 on failure
int listenUnix(const std::string& path);   // -1 on failure

// Whole-frame I/O on a blocking descriptor; false on EOF, error or a bad frame.
bool writeFrame(int fd, const Header& h, const void* payload);
bool readFrame(int fd, Frame& out);

// Incremental decoder for the simulator's non-blocking loop.
class Decoder {
public:
    void feed(const uint8_t* data, size_t n);
    // 1: a frame was popped; 0: more bytes needed; -1: the stream is corrupt.
    int next(Frame& out);

private:
    std::vector<uint8_t> buf_;
};

}  // namespace simwire
