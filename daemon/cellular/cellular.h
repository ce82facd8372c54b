#pragma once
// The cellular handler thread, SIM select line and signal.
void cellHandlerStart();
int simGpioInit();
int signalBars();
