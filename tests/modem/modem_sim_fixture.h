#pragma once
// Runs the modem simulator on a throw-away root tree for one test process.
// The platform libraries keep their connections for the life of the process,
// so every test of a process shares one simulator and resets its scenario.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "../support/roottree.h"
#include "sim_wire.h"

// A module in good coverage: one card in slot 0, LTE at -95 dBm RSRP, the
// network registered and giving the time. The daemon's end-to-end rounds
// start from it.
inline constexpr char kGoodCoverageScenario[] =
    R"({"dm":{"imei":"861234567890123","firmware":"EG91EXGAR08A05M1G_01.001.01.001"},)"
    R"("sim":{"slots":[{"iccid":"8914800000123456789","imsi":"311480123456789"},{"present":false}]},)"
    R"("nw":{"signal":{"lte":{"rssi":-65,"rsrq":-10,"rsrp":-95,"snr":12}},)"
    R"("reg":{"radio_tech":4,"mcc":"310","mnc":"410","cell_id":10627843,"lac":0,"tac":11039},)"
    R"("nitz":"26/12/07,11:00:00-20,0"}})";

class ModemSim {
public:
    explicit ModemSim(const std::string& scenarioFile = "") : own_(new RootTree), root_(*own_) {
        root_.mountCard(1);
        launch(scenarioFile);
    }
    // On a root tree someone else owns (the daemon harness's).
    ModemSim(const RootTree& root, const std::string& scenarioFile) : root_(root) { launch(scenarioFile); }

    void launch(const std::string& scenarioFile) {
        int pipefd[2];
        if (pipe(pipefd) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(pipefd[1], 1);
            close(pipefd[0]);
            if (scenarioFile.empty())
                execl(MODEM_SIM_PATH, MODEM_SIM_PATH, "--root", root_.dir().c_str(), (char*)nullptr);
            else
                execl(MODEM_SIM_PATH, MODEM_SIM_PATH, "--root", root_.dir().c_str(), "--scenario",
                      scenarioFile.c_str(), (char*)nullptr);
            _exit(127);
        }
        close(pipefd[1]);
        // Wait for "READY" (generous: a loaded machine may be slow to start it).
        pollfd p{pipefd[0], POLLIN, 0};
        std::string out;
        char buf[64];
        while (out.find("READY") == std::string::npos && poll(&p, 1, 20000) > 0) {
            ssize_t n = read(pipefd[0], buf, sizeof buf);
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        close(pipefd[0]);
        ready_ = out.find("READY") != std::string::npos;
        std::string path = getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin";
        setenv("PATH", (root_.path("/sim/bin") + ":" + path).c_str(), 1);
    }
    ~ModemSim() {
        if (pid_ > 0) {
            ctl("quit");
            for (int i = 0; i < 200; ++i) {
                if (waitpid(pid_, nullptr, WNOHANG) == pid_) return;
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
            }
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    bool ready() const { return ready_; }
    const RootTree& root() const { return root_; }

    // One control line; returns the answer line ("OK ..." / "ERR ...").
    std::string ctl(const std::string& line) const {
        int fd = simwire::connectUnix(root_.path("/tmp/modem_sim.ctl"));
        if (fd < 0) return "ERR no simulator";
        std::string l = line + "\n";
        send(fd, l.data(), l.size(), MSG_NOSIGNAL);
        std::string reply;
        char c;
        while (read(fd, &c, 1) == 1 && c != '\n') reply += c;
        close(fd);
        return reply;
    }
    // The JSON text of a scenario value, "null" when absent.
    std::string get(const std::string& path) const {
        std::string r = ctl("get " + path);
        return r.rfind("OK ", 0) == 0 ? r.substr(3) : r;
    }

    // The platform system log of this process (the API log lands there).
    std::string apiLog() const { return root_.read("/tmp/ql_sys_log.txt"); }
    std::string daemonLog() const { return root_.read("/media/sdcard/log.txt"); }
    void clearLogs() const {
        root_.write("/tmp/ql_sys_log.txt", "");
        root_.write("/media/sdcard/log.txt", "");
    }

private:
    std::unique_ptr<RootTree> own_;
    const RootTree& root_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

// Polls a condition every 10 ms up to a generous limit.
inline bool waitFor(const std::function<bool()>& cond, int timeoutMs = 10000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return cond();
}
