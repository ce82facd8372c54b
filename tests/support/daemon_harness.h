#pragma once
// Runs the real trailnetd against pseudo-terminals under a throw-away root
// tree. The test holds the master ends of dev/ttyHS0 (the DSP side) and
// dev/smd9 (the modem's AT channel); a directory of recording stand-ins
// (halt, sync, reboot, ...) comes first on PATH, each appending
// "name args" to a calls file.
//
// Waits are on events with a deadline (bytes arriving, a file changing, the
// process ending); nothing sleeps a fixed time and hopes.
//
// The binary: TRAILNETD_BIN, as a compile definition
//   target_compile_definitions(t PRIVATE TRAILNETD_BIN="$<TARGET_FILE:trailnetd>")
// (tn_add_daemon_test in tests/CMakeLists.txt does this) or as an environment variable.
// TN_DAEMON_WRAPPER (e.g. "valgrind -q --error-exitcode=99") runs the daemon under a tool.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include <memory>

#include "proctree.h"
#include "roottree.h"

namespace harness {

using Ms = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

// Generous: a loaded 2-core machine running sanitizer builds is slow.
constexpr Ms kDefaultTimeout{15000};

// Bytes with control characters made visible, for failure messages.
inline std::string visible(const std::string& s) {
    std::string out;
    char tmp[8];
    for (unsigned char c : s) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == 0) out += "<NUL>";
        else if (c == 6) out += "<ACK>";
        else if (c < 0x20 || c >= 0x7f) {
            snprintf(tmp, sizeof tmp, "<%02X>", c);
            out += tmp;
        } else out += static_cast<char>(c);
    }
    return out;
}

// One pseudo-terminal: the slave is linked into the root tree and stays open
// here too, so the line never hangs up while the daemon restarts.
class Pty {
public:
    explicit Pty(const std::string& link) : link_(link) {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        struct termios t;
        for (int fd : {master_, slave_}) {
            tcgetattr(fd, &t);
            cfmakeraw(&t);
            tcsetattr(fd, TCSANOW, &t);
        }
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        fcntl(slave_, F_SETFD, FD_CLOEXEC);
        unlink(link_.c_str());
        if (symlink(ttyname(slave_), link_.c_str()) != 0)
            throw std::runtime_error("cannot link " + link_);
    }
    ~Pty() {
        unlink(link_.c_str());
        close(master_);
        close(slave_);
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // Waits (bounded) until the reader took everything written so far, so
    // that each write reaches the daemon as a read of its own. A poll on the
    // slave first pushes bytes still on their way into its input queue.
    bool drained(Ms timeout) {
        auto deadline = Clock::now() + timeout;
        for (;;) {
            struct pollfd p = {slave_, POLLIN, 0};
            if (poll(&p, 1, 0) == 0) return true;
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(Ms(5));
        }
    }

    void write(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else {
                struct pollfd p = {master_, POLLOUT, 0};
                poll(&p, 1, 1000);
            }
        }
    }

    // Waits until `bytes` arrived. On success, `before` gets what came ahead
    // of them and the buffer keeps what came after.
    bool expect(const std::string& bytes, Ms timeout, std::string* before = nullptr) {
        auto deadline = Clock::now() + timeout;
        for (;;) {
            size_t i = buffer_.find(bytes);
            if (i != std::string::npos) {
                if (before) *before = buffer_.substr(0, i);
                buffer_.erase(0, i + bytes.size());
                return true;
            }
            if (!pump(deadline)) return false;
        }
    }
    // Exactly `n` bytes (fewer when the time runs out).
    std::string readExactly(size_t n, Ms timeout) {
        auto deadline = Clock::now() + timeout;
        while (buffer_.size() < n && pump(deadline)) {
        }
        std::string out = buffer_.substr(0, n);
        buffer_.erase(0, out.size());
        return out;
    }
    // Everything that arrives within `duration`, with what was buffered.
    std::string readFor(Ms duration) {
        auto deadline = Clock::now() + duration;
        while (pump(deadline)) {
        }
        std::string out;
        out.swap(buffer_);
        return out;
    }
    const std::string& pending() const { return buffer_; }

private:
    // Reads what arrives before the deadline; false when the time is up.
    bool pump(Clock::time_point deadline) {
        auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        struct pollfd p = {master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) return Clock::now() < deadline;
        char buf[4096];
        ssize_t n = read(master_, buf, sizeof buf);
        if (n > 0) buffer_.append(buf, static_cast<size_t>(n));
        return true;
    }

    std::string link_;
    int master_ = -1;
    int slave_ = -1;
    std::string buffer_;
};

inline std::string daemonBinary() {
#ifdef TRAILNETD_BIN
    return TRAILNETD_BIN;
#else
    const char* b = getenv("TRAILNETD_BIN");
    return b ? b : "trailnetd";
#endif
}

class DaemonHarness {
public:
    // card: 0 absent, 1 read-write, 2 read-only (RootTree::mountCard).
    // modemPty: false when a modem simulator provides dev/smd9 itself.
    explicit DaemonHarness(int card = 1, bool modemPty = true)
        : camera_(root_.path("/dev/ttyHS0")),
          modem_(modemPty ? new Pty(root_.path("/dev/smd9")) : nullptr) {
        root_.mountCard(card);
        // Without a modem simulator nobody raises the service's ready flag,
        // and every start would wait ten seconds for it; the tests of that
        // wait start a simulator-less rig of their own (modemPty false).
        if (modemPty) root_.write("/tmp/mcm_service_ready.flag", "");
        root_.mkdirs("/stubs");
        for (const char* tool : {"halt", "reboot", "sys_reboot", "sync", "ntpd"})
            addStandIn(tool, "exit 0");
        // The daemon sets the clock with `date -u -s`: under fakeClock only
        // the daemon's clock moves, the desk's is never touched.
        addStandIn("date", std::string("exec \"") + TN_DATE_STANDIN + "\" \"$@\"");
    }
    ~DaemonHarness() { stop(); }
    DaemonHarness(const DaemonHarness&) = delete;
    DaemonHarness& operator=(const DaemonHarness&) = delete;

    RootTree& root() { return root_; }
    Pty& camera() { return camera_; }
    Pty& modem() {
        if (!modem_) throw std::logic_error("no modem pty in this harness");
        return *modem_;
    }

    // A stand-in `name` on PATH: records "name args" then runs `body` (sh).
    void addStandIn(const std::string& name, const std::string& body) {
        std::string p = root_.path("/stubs/" + name);
        root_.write("/stubs/" + name, "#!/bin/sh\necho \"" + name + " $*\" >> \"" + callsPath() +
                                          "\"\n" + body + "\n");
        chmod(p.c_str(), 0755);
    }
    std::string callsPath() const { return root_.path("/calls.txt"); }

    // The daemon's clock starts at `start` (UTC seconds) under libfaketime
    // and runs on from there; the `date -u -s` stand-in moves it (and only
    // it). False when libfaketime is not installed (scripts/setup does).
    bool fakeClock(time_t start) {
#ifdef TN_LIBFAKETIME
        if (access(TN_LIBFAKETIME, R_OK) != 0) return false;
        long long offset = static_cast<long long>(start) - static_cast<long long>(time(nullptr));
        root_.write("/faketime.rc", (offset >= 0 ? "+" : "") + std::to_string(offset) + "\n");
        fakeEnv_ = {std::string("LD_PRELOAD=") + TN_LIBFAKETIME, "FAKETIME_TIMESTAMP_FILE=" + root_.path("/faketime.rc"),
                    "FAKETIME_NO_CACHE=1", "DONT_FAKE_MONOTONIC=1", "FAKETIME_DISABLE_SHM=1"};
        return true;
#else
        (void)start;
        return false;
#endif
    }
    // What the daemon's clock reads now (the desk's own without fakeClock).
    time_t daemonNow() const {
        if (fakeEnv_.empty()) return time(nullptr);
        return time(nullptr) + std::stoll(root_.read("/faketime.rc"));
    }
    std::string calls() const { return root_.read("/calls.txt"); }
    std::string log() const { return root_.read("/media/sdcard/log.txt"); }
    // The daemon's standard output and error.
    std::string output() const { return root_.read("/daemon.out"); }

    // Starts trailnetd in the foreground (extra "NAME=value" entries may be given).
    void start(const std::vector<std::string>& extraEnv = {}) {
        stop();
        std::vector<std::string> env;
        for (char** e = environ; *e; e++) {
            if (strncmp(*e, "PATH=", 5) == 0 || strncmp(*e, "TRAILNETD_", 10) == 0) continue;
            env.emplace_back(*e);
        }
        const char* path = getenv("PATH");
        env.push_back("PATH=" + root_.path("/stubs") + ":" + (path ? path : "/usr/bin:/bin"));
        env.push_back("TRAILNETD_ROOT=" + root_.dir());
        env.push_back("TRAILNETD_FOREGROUND=1");
        for (const auto& e : fakeEnv_) env.push_back(e);
        for (const auto& e : extraEnv) env.push_back(e);
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(&e[0]);
        envp.push_back(nullptr);
        std::string bin = daemonBinary();
        std::string out = root_.path("/daemon.out");
        // TN_DAEMON_WRAPPER="valgrind --error-exitcode=99" runs every daemon under a tool.
        std::vector<std::string> wrapper;
        if (const char* w = getenv("TN_DAEMON_WRAPPER")) {
            std::string word;
            for (const char* c = w;; c++) {
                if (*c == ' ' || *c == '\0') {
                    if (!word.empty()) wrapper.push_back(word);
                    word.clear();
                    if (*c == '\0') break;
                } else {
                    word += *c;
                }
            }
        }

        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
            }
            std::vector<char*> argv;
            for (auto& w : wrapper) argv.push_back(&w[0]);
            argv.push_back(&bin[0]);
            argv.push_back(nullptr);
            execvpe(argv[0], argv.data(), envp.data());
            _exit(127);
        }
    }

    // Starts the daemon and waits for its first "RDY\r\n" (the camera UART
    // is open and configured from then on). Without a writable card the
    // daemon first waits about nine seconds for one.
    bool startAndWaitReady(Ms timeout = Ms(40000)) {
        start();
        return camera_.expect("RDY\r\n", timeout);
    }

    // Sends bytes as they are / a line followed by CR. The daemon takes one
    // read as one message, so each send first waits until it has read the
    // previous one (while it runs).
    void send(const std::string& bytes) {
        if (pid_ > 0) camera_.drained(kDefaultTimeout);
        camera_.write(bytes);
    }
    void sendLine(const std::string& line) { send(line + "\r"); }
    bool expect(const std::string& bytes, Ms timeout = kDefaultTimeout,
                std::string* before = nullptr) {
        return camera_.expect(bytes, timeout, before);
    }
    std::string readFor(Ms duration) { return camera_.readFor(duration); }
    std::string readExactly(size_t n, Ms timeout = kDefaultTimeout) {
        return camera_.readExactly(n, timeout);
    }

    // Sends a command and waits for the reply up to `until`; the RDY
    // announcements that may precede the first reply are dropped. Returns the
    // bytes of the reply including `until`, or "" on time-out.
    std::string command(const std::string& line, const std::string& until,
                        Ms timeout = kDefaultTimeout) {
        sendLine(line);
        std::string before;
        if (!camera_.expect(until, timeout, &before)) return "";
        std::string rdy = "RDY\r\n";
        while (before.compare(0, rdy.size(), rdy) == 0) before.erase(0, rdy.size());
        return before + until;
    }

    // Waits until the log holds `text`.
    bool waitForLog(const std::string& text, Ms timeout = kDefaultTimeout) {
        return waitFor([&] { return log().find(text) != std::string::npos; }, timeout);
    }
    bool waitForCall(const std::string& text, Ms timeout = kDefaultTimeout) {
        return waitFor([&] { return calls().find(text) != std::string::npos; }, timeout);
    }
    template <typename F>
    static bool waitFor(F done, Ms timeout) {
        auto deadline = Clock::now() + timeout;
        for (;;) {
            if (done()) return true;
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(Ms(20));
        }
    }

    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Waits for the daemon to end by itself; its wait status in *status.
    bool waitExit(Ms timeout, int* status = nullptr) {
        if (pid_ <= 0) return true;
        auto deadline = Clock::now() + timeout;
        for (;;) {
            int st = 0;
            pid_t r = waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                if (status) *status = st;
                return true;
            }
            if (Clock::now() >= deadline) return false;
            std::this_thread::sleep_for(Ms(20));
        }
    }

    // Power goes: the daemon and every program it started stop at one moment
    // and die, none of them writing on after it. False when it did not end.
    bool killTree(Ms timeout = Ms(20000)) {
        if (pid_ <= 0) return true;
        pid_t root = pid_;
        std::vector<pid_t> killed = proctree::killTree(pid_);
        killed.push_back(root);
        bool ended = waitExit(timeout);
        forgetClocks(killed);
        return ended;
    }

    void stop() {
        if (pid_ > 0) {
            pid_t pid = pid_;
            kill(pid_, SIGTERM);
            if (!waitExit(Ms(10000))) {
                kill(pid_, SIGKILL);
                waitExit(Ms(10000));
            }
            pid_ = -1;
            forgetClocks({pid});
        }
        checkOutput();
    }

    // A sanitizer or valgrind report of the daemon fails the test.
    void checkOutput() {
        std::string out = output();
        for (const char* mark : {"Sanitizer", "runtime error:", "Invalid read", "Invalid write"}) {
            size_t at = out.find(mark);
            if (at != std::string::npos && reported_.find(mark) == std::string::npos) {
                reported_ += mark;
                ADD_FAILURE() << "trailnetd reported: " << out.substr(at > 200 ? at - 200 : 0, 2000);
            }
        }
    }

private:
    // libfaketime's shared clock of a process removes itself only when the
    // process exits by itself: a killed daemon (and what it ran) leaves it.
    void forgetClocks(const std::vector<pid_t>& pids) {
        if (fakeEnv_.empty()) return;
        for (pid_t pid : pids)
            for (const char* f : {"/dev/shm/faketime_shm_", "/dev/shm/sem.faketime_sem_"})
                unlink((f + std::to_string(pid)).c_str());
    }

    RootTree root_;
    Pty camera_;
    std::unique_ptr<Pty> modem_;
    pid_t pid_ = -1;
    std::string reported_;
    std::vector<std::string> fakeEnv_;
};

}  // namespace harness
