#pragma once
// How many rounds a long robustness test runs. The native stage of
// scripts/test runs them at full size; the other stages (sanitizers,
// emulation) set TN_ROUNDS=short for a small run at the same fixed seed, as
// they look for other faults than the rounds do. A count given by the test's
// own variable (TN_CUTS, ...) wins over both.
#include <cstdlib>
#include <cstring>

namespace rounds {

inline bool shortRun() {
    const char* v = getenv("TN_ROUNDS");
    return v != nullptr && strcmp(v, "short") == 0;
}

// `fullCount` or `shortCount` by TN_ROUNDS, unless `variable` gives one.
inline int count(const char* variable, int fullCount, int shortCount) {
    const char* v = variable != nullptr ? getenv(variable) : nullptr;
    if (v != nullptr && *v != '\0') return atoi(v);
    return shortRun() ? shortCount : fullCount;
}

// The seed of a seeded round: TN_CUT_SEED when set, so that a printed seed
// repeats a run, else the test's own fixed one.
inline unsigned seed(unsigned fixedSeed) {
    const char* v = getenv("TN_CUT_SEED");
    return v != nullptr && *v != '\0' ? static_cast<unsigned>(strtoul(v, nullptr, 10)) : fixedSeed;
}

}  // namespace rounds
