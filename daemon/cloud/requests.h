#pragma once
// The server's requests carried in the answer to a camera PUT: full-
// resolution pictures and maintenance (update, modem update, SIM update, log).
#include <json-c/json.h>

void serveHdRequests(json_object* pictures, const char* cameraUrl, const char* token);
void serveUpdateRequest(json_object* update);
void serveModemUpdateRequest(json_object* updateModem);
void serveSimUpdateRequest(json_object* updateSim);
void serveLogRequest(json_object* log);
