#pragma once
// The simulator's event loop: listening sockets, client connections, the
// AT pseudo-terminal and the control socket, all on one thread.
#include <cstdint>
#include <list>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "at_channel.h"
#include "gpio_tree.h"
#include "mcm_service.h"
#include "mgmt_service.h"
#include "scenario.h"
#include "sim_wire.h"

class Simulator {
public:
    Simulator(std::string root, std::string ctlTool);
    ~Simulator();
    Scenario& scenario() { return sc_; }
    bool start(std::string& error);
    void run();  // until "quit"

    // Control command: one line in, one line out ("OK ..." or "ERR ...").
    std::string control(const std::string& line);

    // The simulator's clock in milliseconds: real time since start, or the
    // virtual time a test set with "clock SECONDS" (then it only moves on
    // that command).
    int64_t nowMs() const;

private:
    enum class Kind { Mcm, Mgmt, Control };
    struct Conn {
        int fd;
        Kind kind;
        simwire::Decoder dec;
        std::string text;  // control lines
        bool dead = false;  // closed at the end of the loop turn
    };
    struct Fault {
        std::string kind;  // short, garbage, die, silent, corrupt
    };

    void accept(int listenFd, Kind kind);
    bool serviceFrame(Conn& c, const simwire::Frame& f);  // false: close the connection
    void readAt();
    void sendTo(Kind kind, const simwire::Header& h, const std::vector<uint8_t>& payload);
    void closeKind(Kind kind);
    void setMcmRunning(bool on);
    void setManagerRunning(bool on);
    std::string path(const std::string& abs) const { return root_ + abs; }
    void writeStandIns();
    void simPulled(int slot);  // tells the clients the card status changed
    int setVirtualTime(int64_t seconds);  // the AT replies it let out
    void runTimers();             // fires what has come due on the clock
    int pollTimeoutMs() const;    // until the next timer, at most 1 s
    void onRadio(bool on);
    void bearerRequested(uint8_t profile);  // the manager accepted a start
    void loseRegistration(bool quiet);

    std::string root_, ctlTool_;
    Scenario sc_;
    McmContext mcm_;
    MgmtContext mgmt_;
    AtContext at_;
    int mcmListen_ = -1, mgmtListen_ = -1, ctlListen_ = -1;
    int ptyMaster_ = -1, ptySlave_ = -1;
    std::string atLine_;
    GpioTree gpio_;
    std::list<Conn> conns_;
    std::map<uint32_t, Fault> faults_;
    bool quit_ = false;
    struct HeldEvent {
        simwire::Header h;
        std::vector<uint8_t> data;
    };
    std::vector<HeldEvent> heldEvents_;
    std::vector<std::string> heldAt_;
    long mgmtFramesSent_ = 0;  // events written to manager clients, for a test to wait on
    bool virtual_ = false;
    int64_t virtualMs_ = 0;
    int64_t startMs_ = 0;
    // A data call whose bearer is still being set up: up at dueMs.
    struct PendingCall {
        bool active = false;
        uint8_t profile = 3;
        int64_t dueMs = 0;
    } pending_;
    std::mt19937 rng_;
};
