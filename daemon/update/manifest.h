#pragma once
// "manifest.json" of an update package: one JSON line, for example
//   {"keepUpdateFile": 0, "doBackup": 1,
//    "dsp": {"version": "V2.1.3", "forceUpdate": false},
//    "modem": {"version": "1.4.0", "forceUpdate": false},
//    "rollback_index": 3}
// Every member is optional.

struct ManifestPart {
    bool present;
    char version[32];  // cut to 31 characters
    bool forceUpdate;
};

struct UpdateManifest {
    bool parsed;  // the line was JSON
    bool hasKeepUpdateFile;
    int keepUpdateFile;
    bool hasDoBackup;
    int doBackup;
    ManifestPart dsp;
    ManifestPart modem;
    // Signed packages below the floor the module keeps are refused; absent
    // is 0. Anything but a whole number from 0 up leaves rollbackValid false.
    bool rollbackValid;
    long long rollbackIndex;
};

// Parses the first line of the member (at most 511 characters are looked at).
// Text that is empty or not JSON gives a manifest with nothing present.
UpdateManifest parseManifest(const char* line);

// A part is required when forced, or when both version texts parse and the
// new one is the greater.
bool updateRequired(const ManifestPart& part, const char* currentVersion);
