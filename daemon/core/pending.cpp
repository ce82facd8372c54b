// Stand-ins for operations whose subsystems have not landed yet, so the
// daemon links and runs at every step. Each is deleted here when its real
// implementation arrives.
#include <cstring>

#include "cellular/cellular.h"
#include "cellular/power.h"
#include "core/identity.h"
#include "core/log.h"
#include "update/update.h"
