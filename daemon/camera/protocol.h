#pragma once
// The DSP command protocol on the camera UART "/dev/ttyHS0" and the modem AT
// channel "/dev/smd9": one receive thread for each, command dispatch on the
// camera thread, replies and keep-alive bytes to the DSP.
#include <cstddef>

// Open the device and start its receive thread (uart_smd_rcv, uart_rcv).
// 0 when the device is open, -1 when it is not (the thread then ends at once).
int openAtChannel();
int openCameraUart();

// Writes to the camera UART when it is open; nothing otherwise.
void cameraSend(const char* text);
void cameraWrite(const void* data, size_t length);
// "RDY\r\n" while no SP+ command has arrived yet. Checked and sent under the
// camera's write lock, so no announcement follows the first reply.
void announceReady();
void sendAck();    // the keep-alive byte 0x06
void sendOk();     // "SP+OK\n"
void sendError();  // "SP+ERROR\n"

// Clears atResponse, then writes the line to the AT channel when it is open.
void atSend(const char* line);
// Copies what the AT channel returned since the last atSend (at most
// size - 1 bytes, NUL-terminated) and returns its length. The reader thread
// keeps filling it, so callers poll this copy rather than a shared buffer.
size_t atResponse(char* buffer, size_t size);
// True when the text since the last atSend contains `needle`.
bool atResponseContains(const char* needle);

// Set by the first well-formed, non-empty SP+ command; never cleared after.
bool isCameraActive();

// Handles one read from the camera UART (framing, logging, dispatch).
void handleCameraMessage(const char* data, size_t length);
// Runs one command word (already checked for length) and answers the DSP.
void executeCommand(const char* word);
