#pragma once
// Power-cut cards (sim/card/cardfs.py) over a root tree's /media/sdcard,
// /etc and /usrdata: each keeps what the daemon writes in its own cache until
// it is flushed the Linux way, and a cut throws away what was not.
//
// What a folder held before is moved to the card's medium first. The
// daemon must run with env() (the preload library that passes sync() on) and
// the `sync` stand-in from syncStandIn() so both kinds of sync reach the cards.
//
// Needs TN_CARD_PYTHON, TN_CARD_FS and TN_CARDSYNC_LIB as compile definitions
// (tn_add_powercard_test in tests/robust/CMakeLists.txt). whyNot() tells why
// the cards cannot run here (no FUSE, no pyfuse3), for a one-line skip.
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "roottree.h"

namespace powercard {

inline std::string whyNot() {
    if (access("/dev/fuse", R_OK | W_OK) != 0) return "no usable /dev/fuse on this machine";
#ifndef TN_CARD_PYTHON
    return "built without the card";
#else
    if (std::string(TN_CARD_PYTHON).empty()) return "no Python with pyfuse3 (python3-pyfuse3)";
    return "";
#endif
}

// One card: a FUSE process serving `medium` at `mount`.
class Card {
public:
    Card(const std::string& medium, const std::string& mount, const std::string& control)
        : mount_(mount), control_(control) {
#ifdef TN_CARD_PYTHON
        int out[2];
        if (pipe(out) != 0) throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            dup2(out[1], 1);
            close(out[0]);
            close(out[1]);
            // The card itself must not pass its own syncs on.
            unsetenv("LD_PRELOAD");
            std::string log = control + ".log";
            FILE* e = freopen(log.c_str(), "a", stderr);
            (void)e;
            execl(TN_CARD_PYTHON, TN_CARD_PYTHON, TN_CARD_FS, "--backing", medium.c_str(),
                  "--mount", mount.c_str(), "--control", control.c_str(), (char*)nullptr);
            _exit(127);
        }
        close(out[1]);
        std::string line;
        char c;
        while (read(out[0], &c, 1) == 1 && c != '\n') line += c;
        close(out[0]);
        if (line != "READY") {
            stop();
            throw std::runtime_error("card at " + mount + " did not start: see " + control + ".log");
        }
#else
        (void)medium;
        throw std::runtime_error("built without the card");
#endif
    }
    ~Card() { stop(); }
    Card(const Card&) = delete;
    Card& operator=(const Card&) = delete;

    const std::string& mount() const { return mount_; }
    const std::string& control() const { return control_; }

    // One control command (see the top of sim/card/cardfs.py); the reply line.
    std::string command(const std::string& line, int timeoutSeconds = 60) const {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return "";
        struct timeval tv = {timeoutSeconds, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        struct sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s", control_.c_str());
        std::string reply;
        std::string msg = line + "\n";
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            write(fd, msg.data(), msg.size()) == static_cast<ssize_t>(msg.size())) {
            char c;
            while (read(fd, &c, 1) == 1 && c != '\n') reply += c;
        }
        close(fd);
        return reply;
    }
    // Cuts the power, or brings it back, and makes sure it took: a reply lost
    // on a loaded machine must not leave the card in a state the test does
    // not know (a card still off would fail every write of the next round).
    void power(bool on) {
        const std::string want = on ? "\"power\": \"on\"" : "\"power\": \"off\"";
        for (int attempt = 0; attempt < 3; attempt++) {
            if (command(on ? "on" : "cut", 120) == "ok") return;
            if (command("stats", 120).find(want) != std::string::npos) return;
        }
        throw std::runtime_error("card at " + mount_ + " did not power " + (on ? "on" : "off") +
                                 ": see " + control_ + ".log");
    }
    // A number from the "stats" reply ("ops", "fsync", "sync", ...).
    long stat(const std::string& key) const {
        std::string s = command("stats");
        size_t at = s.find("\"" + key + "\": ");
        return at == std::string::npos ? -1 : std::stol(s.substr(at + key.size() + 4));
    }

    void stop() {
        if (pid_ <= 0) return;
        if (command("quit", 30) == "ok") {
            for (int i = 0; i < 3000; i++) {
                if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                    pid_ = -1;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        umount2(mount_.c_str(), MNT_DETACH);
        pid_ = -1;
    }

private:
    std::string mount_;
    std::string control_;
    pid_t pid_ = -1;
};

// Cards over the root tree's folders (by default the three the daemon keeps
// state in).
class Cards {
public:
    explicit Cards(const RootTree& root,
                   const std::vector<std::string>& folders = {"/media/sdcard", "/etc",
                                                              "/usrdata"}) {
        root.mkdirs("/cards");
        // The preload library comes ahead of a sanitizer's runtime in the daemon.
        const char* asan = getenv("ASAN_OPTIONS");
        std::string opts = asan ? asan : "";
        if (opts.find("verify_asan_link_order") == std::string::npos)
            setenv("ASAN_OPTIONS", (opts + ":verify_asan_link_order=0").c_str(), 1);
        for (const auto& f : folders) {
            // The power-cut card takes the card's place, with its content.
            if (f == "/media/sdcard") root.releaseCard();
            std::string name = f.substr(f.rfind('/') + 1);
            std::string medium = root.path("/cards/" + name);
            std::filesystem::rename(root.path(f), medium);
            root.mkdirs(f);
            cards_.emplace_back(new Card(medium, root.path(f), root.path("/cards/" + name + ".sock")));
            byFolder_[f] = cards_.back().get();
        }
    }
    ~Cards() {
        for (auto it = cards_.rbegin(); it != cards_.rend(); ++it) (*it)->stop();
    }

    Card& operator[](const std::string& folder) { return *byFolder_.at(folder); }
    // Every card at once, as power goes for the whole module.
    void cut() {
        for (auto& c : cards_) c->power(false);
    }
    void powerOn() {
        for (auto& c : cards_) c->power(true);
    }
    long total(const std::string& key) const {
        long n = 0;
        for (auto& c : cards_) n += c->stat(key);
        return n;
    }
    void reset() {
        for (auto& c : cards_) c->command("reset");
    }
    // What the card processes wrote on their error output, for a failure message.
    std::string logs() const {
        std::string out;
        for (auto& c : cards_) {
            std::ifstream f(c->control() + ".log");
            std::stringstream ss;
            ss << f.rdbuf();
            std::string s = ss.str();
            if (!s.empty()) out += "== " + c->mount() + "\n" + s.substr(s.size() > 4000 ? s.size() - 4000 : 0);
        }
        return out;
    }

    // What the daemon's environment needs so sync()/syncfs() reach the cards.
    std::vector<std::string> env() const {
        std::string list;
        for (auto& c : cards_) list += (list.empty() ? "" : ":") + c->mount() + "=" + c->control();
        std::vector<std::string> e = {"TN_CARD_SYNC=" + list};
#ifdef TN_CARDSYNC_LIB
        e.push_back(std::string("LD_PRELOAD=") + TN_CARDSYNC_LIB);
#endif
        return e;
    }
    // The body of a `sync` stand-in that really syncs (sync() of the real tool).
    static std::string syncStandIn() { return "exec /bin/sync \"$@\""; }

private:
    std::vector<std::unique_ptr<Card>> cards_;
    std::map<std::string, Card*> byFolder_;
};

}  // namespace powercard
