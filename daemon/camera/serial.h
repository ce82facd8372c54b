#pragma once
// A small terminal-device layer: open non-blocking, raw mode with a chosen
// speed and framing, chunked writes, one read per call. Problems are printed
// on standard output; this layer sits below the log file.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

struct SerialConfig {
    uint32_t baudrate;
    uint32_t dataBits;     // 5..8
    uint32_t stopBits;     // 1 or 2
    uint32_t parity;       // 0 none, 1 odd, 2 even
    uint32_t flowControl;  // 0 none, 1 RTS/CTS, 2 XON/XOFF
};

// Descriptor, or -1 (the reason is printed on standard output).
int serialOpen(const char* path, uint32_t baudrate, uint32_t flowControl);
// 0, or -1 for a negative descriptor or a missing record.
int serialConfigure(int fd, const SerialConfig* config);
// Bytes written; -1 for a negative descriptor or missing data; 0 after a
// write error (the rest of the text is dropped).
ssize_t serialWrite(int fd, const void* data, size_t length);
// One read of at most `size` bytes.
ssize_t serialRead(int fd, void* buffer, size_t size);

// Applies a configuration to terminal attributes (no I/O). False when the
// rate is not supported; the speed is then left as it was.
struct termios;
bool applySerialConfig(struct termios* tio, const SerialConfig* config);

// The terminal speed constant of a rate, or 0 when the rate is not supported.
unsigned serialSpeedConstant(uint32_t baudrate);
