#pragma once
// A throw-away root tree shared by every input of one fuzzing process: made
// on first use (in memory when /dev/shm exists, so per-input file work stays
// cheap) and removed when the process ends.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzzroot {

inline std::string& dir() {
    static std::string d;
    return d;
}

inline void removeTree() {
    std::error_code ec;
    if (!dir().empty()) std::filesystem::remove_all(dir(), ec);
}

inline std::string path(const std::string& abs) { return dir() + abs; }

inline void mkdirs(const std::string& abs) {
    std::error_code ec;
    std::filesystem::create_directories(path(abs), ec);
}

inline void writeFile(const std::string& abs, const void* data, size_t size) {
    FILE* f = fopen(path(abs).c_str(), "wb");
    if (f == nullptr) {
        // The tree may have been cleared under us (a shared /dev/shm on a
        // busy machine): build the folder again once before giving up.
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(path(abs)).parent_path(), ec);
        f = fopen(path(abs).c_str(), "wb");
    }
    if (f == nullptr) {
        perror(("fuzz harness: cannot write " + path(abs)).c_str());
        abort();  // the harness itself is broken: say so loudly
    }
    if (size > 0) fwrite(data, 1, size, f);
    fclose(f);
}

inline void writeFile(const std::string& abs, const std::string& text) {
    writeFile(abs, text.data(), text.size());
}

// state: 0 absent, 1 read-write, 2 read-only
inline void mountCard(int state) {
    std::string table = "rootfs / rootfs rw 0 0\n";
    if (state == 1) table += "/dev/mmcblk0p1 /media/sdcard vfat rw,relatime 0 0\n";
    if (state == 2) table += "/dev/mmcblk0p1 /media/sdcard vfat ro,relatime 0 0\n";
    writeFile("/proc/mounts", table);
}

// Idempotent: the first call builds the tree and points TRAILNETD_ROOT at it.
inline void ensure() {
    if (!dir().empty()) return;
    struct stat st;
    std::string base = stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
    std::string tmpl = base + "/tnfuzz.XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) abort();
    dir() = tmpl;
    setenv("TRAILNETD_ROOT", dir().c_str(), 1);
    for (const char* d : {"/proc", "/etc", "/usrdata", "/tmp", "/dev", "/media/sdcard"}) mkdirs(d);
    mountCard(0);
    atexit(removeTree);
}

}  // namespace fuzzroot

namespace fuzzroot {

// Harmless stand-ins first on PATH: an input must never make the fuzzing
// machine halt or reboot through a tool the daemon runs.
inline void ensureSafePath() {
    static bool done = false;
    if (done) return;
    done = true;
    ensure();
    mkdirs("/stubs");
    for (const char* tool : {"halt", "reboot", "sys_reboot", "poweroff", "shutdown", "ntpd", "sync"}) {
        std::string p = "/stubs/" + std::string(tool);
        writeFile(p, std::string("#!/bin/sh\nexit 0\n"));
        chmod(path(p).c_str(), 0755);
    }
    const char* old = getenv("PATH");
    std::string value = path("/stubs") + ":" + (old != nullptr ? old : "/usr/bin:/bin");
    setenv("PATH", value.c_str(), 1);
}

// The log grows with every input: start each input with none.
inline void dropLog() { unlink(path("/media/sdcard/log.txt").c_str()); }

}  // namespace fuzzroot
