#pragma once
// The DSP command protocol on the camera UART and the modem AT channel.
#include <cstddef>

int openAtChannel();
int openCameraUart();
void cameraSend(const char* text);
void sendAck();
void sendOk();
void sendError();
// Clears atResponse, then writes the line to the AT channel when it is open.
void atSend(const char* line);
// The text of the most recent read from the AT channel (1024 bytes).
char* atResponse();
bool isCameraActive();
void executeCommand(const char* word);
