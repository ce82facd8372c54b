#pragma once
// Shell commands that build test fixtures (packages, archives, folders).
// Where a test stage puts other tools first on PATH (BusyBox applets), it
// names the desk's own PATH in TN_FIXTURE_PATH: fixtures keep the tools they
// were written for (zip, GNU tar's --transform), while the code under test
// meets the stage's tools.
#include <cstdlib>
#include <string>

inline int fixtureShell(const std::string& cmd) {
    const char* path = getenv("TN_FIXTURE_PATH");
    if (path == nullptr || *path == '\0') return system(cmd.c_str());
    std::string quoted = "'";
    for (const char* p = path; *p; p++) quoted += *p == '\'' ? std::string("'\\''") : std::string(1, *p);
    quoted += "'";
    return system(("PATH=" + quoted + "; export PATH; " + cmd).c_str());
}
