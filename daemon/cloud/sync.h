#pragma once
// One sync run with the cloud API: status report, picture announcements and
// acknowledgements up, server requests, settings and upload slots down.
#include <json-c/json.h>

// 0 when the sync succeeded, -1 when it did not. firstSync: 1 for FIRSTSYNC.
int runSync(int firstSync);
// Fills `token` (65 bytes) from the API; 0 on success, non-zero otherwise.
int requestToken(char* token);
// 0 when the exchange with the API succeeded, -1 when a camera PUT failed or
// the data call went down during a pass whose uploads all failed.
int syncWithCloud(char* token, int firstSync);
// Adds {"execute": false} acknowledgements of carried-out requests; 1 when any.
// The bits stay set (`carried` gets them) until a PUT carrying them succeeded:
// a lost acknowledgement makes the cloud repeat its request.
int addRequestAcks(json_object* body, int* carried);
