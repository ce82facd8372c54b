#pragma once
// The SD card of a test: on the module it is FAT, shared with the DSP. One
// switch, TN_CARD, picks what a test's card folder is:
//   fat       (default where FUSE is there) the card simulator with FAT's
//             rules: sim/card/fatcard.py --engine fat
//   fatimage  a real FAT32 image mounted with fusefat (for the workloads it
//             serves: see docs/sd-card.md)
//   folder    a plain folder on the desk's file system
// Unset, a test that ctest runs with TN_CARD_UNUSED=1 (it has no "card"
// label) gets a folder, the others "fat".
// Without FUSE a FAT choice falls back to a folder with a one-line notice.
// The mount goes with the object; a test that dies leaves no mount either
// (the card's watchdog ends when its standard input does), and a FUSE
// process that answers nothing for TN_CARD_DEADLINE seconds (60) is killed
// with a clear message, failing the test instead of hanging CI.
//
// Needs TN_FATCARD_PY and TN_FATCARD_PYTHON as compile definitions (every
// target under tests/ gets them); without them the card is a folder.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace sdcard {

enum class Kind { Folder, Fat, FatImage };

inline const char* kindName(Kind k) {
    return k == Kind::Fat ? "fat" : k == Kind::FatImage ? "fatimage" : "folder";
}

inline bool onPath(const char* tool) {
    const char* path = getenv("PATH");
    std::string p = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= p.size()) {
        size_t end = p.find(':', start);
        if (end == std::string::npos) end = p.size();
        std::string file = p.substr(start, end - start) + "/" + tool;
        if (access(file.c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return access((std::string("/usr/sbin/") + tool).c_str(), X_OK) == 0 ||
           access((std::string("/sbin/") + tool).c_str(), X_OK) == 0;
}

// Why `k` cannot be had here ("" when it can).
inline std::string whyNot(Kind k) {
    if (k == Kind::Folder) return "";
    if (access("/dev/fuse", R_OK | W_OK) != 0) return "no usable /dev/fuse";
#if defined(TN_FATCARD_PY) && defined(TN_FATCARD_PYTHON)
    if (k == Kind::Fat && std::string(TN_FATCARD_PYTHON).empty())
        return "no Python with pyfuse3 (python3-pyfuse3)";
    if (k == Kind::FatImage && !(onPath("fusefat") && onPath("mkfs.vfat")))
        return "no fusefat or mkfs.vfat (fusefat, dosfstools)";
    return "";
#else
    return "built without the FAT card";
#endif
}

// TN_CARD's choice, after the fallback (noticed once per process).
inline Kind chosen() {
    static const Kind kind = [] {
        const char* v = getenv("TN_CARD");
        // Tests that never look at the card as FAT (no "card" label in
        // cmake/test-labels.cmake) skip the mount unless TN_CARD asks.
        const char* unused = getenv("TN_CARD_UNUSED");
        if (!(v && *v) && unused && strcmp(unused, "1") == 0) return Kind::Folder;
        std::string want = v && *v ? v : "fat";
        Kind k = want == "folder" ? Kind::Folder : want == "fatimage" ? Kind::FatImage : Kind::Fat;
        std::string why = whyNot(k);
        if (!why.empty()) {
            fprintf(stderr, "sdcard: %s: the card is a plain folder (TN_CARD=%s)\n", why.c_str(),
                    want.c_str());
            k = Kind::Folder;
        }
        return k;
    }();
    return kind;
}

// A card mounted over `folder`, its medium kept in `work`; what `folder`
// held goes onto the card.
class Mount {
public:
    Mount(const std::string& folder, const std::string& work, Kind kind = chosen())
        : folder_(folder), kind_(kind) {
        if (kind_ == Kind::Folder) return;
#if defined(TN_FATCARD_PY) && defined(TN_FATCARD_PYTHON)
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("sdcard: pipe failed");
        const char* deadline = getenv("TN_CARD_DEADLINE");
        std::string secs = deadline && *deadline ? deadline : "60";
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("sdcard: fork failed");
        if (pid_ == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            // The card serves the daemon: it must not pass syncs on itself.
            unsetenv("LD_PRELOAD");
            execl(TN_FATCARD_PYTHON, TN_FATCARD_PYTHON, TN_FATCARD_PY, "--mount", folder.c_str(),
                  "--work", work.c_str(), "--engine", kindName(kind), "--deadline", secs.c_str(),
                  (char*)nullptr);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        toCard_ = in[1];
        fromCard_ = out[0];
        if (readLine(60000) != "READY") {
            finish();
            throw std::runtime_error("sdcard: no " + std::string(kindName(kind)) + " card at " +
                                     folder + " (its reason is on standard error)");
        }
#else
        (void)work;
        kind_ = Kind::Folder;
#endif
    }
    ~Mount() { finish(); }
    Mount(const Mount&) = delete;
    Mount& operator=(const Mount&) = delete;

    Kind kind() const { return kind_; }

    // Unmounts now and leaves the card's content in the folder as plain
    // files (for a test that puts another card of its own there).
    void release() {
        if (pid_ <= 0) return;
        std::string saved = folder_ + ".content";
        std::error_code ec;
        std::filesystem::remove_all(saved, ec);
        std::filesystem::copy(folder_, saved, std::filesystem::copy_options::recursive, ec);
        if (ec) throw std::runtime_error("sdcard: cannot copy the card's content: " + ec.message());
        finish();
        std::filesystem::remove_all(folder_, ec);
        std::filesystem::rename(saved, folder_);
        kind_ = Kind::Folder;
    }

private:
    std::string readLine(int timeoutMs) {
        std::string line;
        char c;
        for (;;) {
            struct pollfd p = {fromCard_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0) return line;
            if (read(fromCard_, &c, 1) != 1 || c == '\n') return line;
            line += c;
        }
    }
    // Closing its input tells the card to unmount; it answers by ending.
    void finish() {
        if (toCard_ >= 0) close(toCard_);
        toCard_ = -1;
        if (pid_ > 0) {
            // Bounded: the card kills a FUSE process that does not go in 15 s.
            for (int i = 0; i < 6000; i++) {
                if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                    pid_ = -1;
                    break;
                }
                usleep(5000);
            }
            if (pid_ > 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                pid_ = -1;
            }
        }
        if (fromCard_ >= 0) close(fromCard_);
        fromCard_ = -1;
    }

    std::string folder_;
    Kind kind_;
    pid_t pid_ = -1;
    int toCard_ = -1;
    int fromCard_ = -1;
};

}  // namespace sdcard
