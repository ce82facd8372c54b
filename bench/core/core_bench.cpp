// Figures of the daemon core, printed for a person to read:
//  - the log: lines per second when every line is flushed to the medium;
//  - the DSP round trip: SP+PROCESS to SP+OK through real pseudo-terminals
//    (median and worst), and the daemon's peak resident memory and threads
//    after that many commands;
//  - framing: parsed reads per second.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "camera/dsp_line.h"
#include "core/log.h"
#include "support/daemon_harness.h"

using Clock = std::chrono::steady_clock;

static double secondsSince(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

static std::string procField(pid_t pid, const char* field) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(field, 0) == 0) return line;
    return std::string(field) + " ?";
}

int main(int argc, char** argv) {
    int commands = argc > 1 ? atoi(argv[1]) : 500;
    {
        RootTree root;
        root.mountCard(1);
        const int lines = 2000;
        auto t = Clock::now();
        for (int i = 0; i < lines; i++) logMessage("bench", LOG_INFO, "line %d of the benchmark", i);
        double s = secondsSince(t);
        printf("log: %d lines in %.3f s = %.0f lines/s (%.1f us each)\n", lines, s, lines / s,
               s * 1e6 / lines);
    }
    {
        const std::string msg = "SP+GETSIGNALBAR now\r";
        const int reads = 1000000;
        auto t = Clock::now();
        size_t hits = 0;
        for (int i = 0; i < reads; i++) {
            DspLine l = parseDspMessage(msg.data(), msg.size());
            char w[kDspWordMax + 1];
            dspCommandWord(l.text, w);
            hits += matchDspCommand(w) == CMD_GETSIGNALBAR;
        }
        double s = secondsSince(t);
        printf("framing: %d reads in %.3f s = %.2f M reads/s (%zu matched)\n", reads, s,
               reads / s / 1e6, hits);
    }
    {
        harness::DaemonHarness d;
        if (!d.startAndWaitReady()) {
            fprintf(stderr, "daemon did not start\n");
            return 1;
        }
        std::vector<double> us;
        for (int i = 0; i < commands; i++) {
            auto t = Clock::now();
            if (d.command("SP+PROCESS", "SP+OK\n").empty()) {
                fprintf(stderr, "no reply to command %d\n", i);
                return 1;
            }
            us.push_back(secondsSince(t) * 1e6);
        }
        std::sort(us.begin(), us.end());
        printf("round trip SP+PROCESS -> SP+OK, %d commands: median %.0f us, p99 %.0f us, worst %.0f us\n",
               commands, us[us.size() / 2], us[us.size() * 99 / 100], us.back());
        printf("daemon after them: %s, %s, %s\n", procField(d.pid(), "VmHWM:").c_str(),
               procField(d.pid(), "VmRSS:").c_str(), procField(d.pid(), "Threads:").c_str());
    }
    return 0;
}
