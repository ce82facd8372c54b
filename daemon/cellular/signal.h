#pragma once
// Signal level and bars: the network service's signal record, with the
// module's serving-cell AT query where the LTE report has no usable RSRP.
#include <cstdint>

#include "modem/mcm_nw.h"

// One reading in dBm; 1 for a missing SIM card, 0 for no reading.
int signalRead();
// signalReadEx and signalBars are declared in cellular/cellular.h.
int servingCellLevel();

// The process-wide network client (0 while none), created on first need:
// 0 or the creation's error.
int nwClientEnsure();
nw_client_handle_type nwClientHandle();

// ---- pure helpers ----
enum SignalSource { SIGNAL_NONE, SIGNAL_VALUE, SIGNAL_SERVING_CELL };
// The first valid part of a signal record (GSM, WCDMA, TD-SCDMA, LTE, CDMA,
// HDR). *value gets its reading; SIGNAL_SERVING_CELL when the LTE part is
// valid without a negative RSRP. *lte is set when the LTE part was used.
SignalSource signalFromRecord(const QL_MCM_NW_Signal& sig, int* value, bool* lte);
// Bars 1..5 for a reading already corrected; 0 outside the table.
int barsForReading(int reading);
// The level in a serving-cell answer, 0 when there is none.
int servingCellLevelFromText(const char* answer);
