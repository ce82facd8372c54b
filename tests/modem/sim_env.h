#pragma once
// One modem simulator for the whole test process (see ModemSim).
#include <gtest/gtest.h>

#include "modem_sim_fixture.h"

ModemSim& sim();

// Puts the scenario back to its start values between tests.
void resetScenario();
