// Saves the daemon configuration in a loop, alternating two value sets, until
// it is killed. Writes one byte on standard output after the first save.
#include <unistd.h>

#include "core/config.h"
#include "saver_values.h"

int main() {
    for (unsigned long i = 0;; i++) {
        fillSaverValues(static_cast<int>((i + 1) % 2));
        if (!saveDaemonConfig()) return 1;
        if (i == 0 && write(1, "R", 1) != 1) return 1;
    }
}
