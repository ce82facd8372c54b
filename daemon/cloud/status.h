#pragma once
// The "status" member of the first camera PUT of a sync.
#include <json-c/json.h>

// Name of a battery-type code of the DSP status ("AA", "12V", "LIT10", "AA_LIT").
const char* batteryTypeName(int code);
// A new object owned by the caller. Reads the DSP status file first.
json_object* buildStatusReport();
