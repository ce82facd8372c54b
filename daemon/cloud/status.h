#pragma once
// The "status" member of the first camera PUT of a sync.
#include <json-c/json.h>

// A new object owned by the caller. Reads the DSP status file first.
json_object* buildStatusReport();
