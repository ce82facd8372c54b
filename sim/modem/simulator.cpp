#include "simulator.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "cellular/mgmt_msgs.h"
#include "modem/mcm_msgs.h"

namespace {

void mkdirs(const std::string& p) {
    std::string cur;
    std::stringstream ss(p);
    std::string part;
    while (std::getline(ss, part, '/')) {
        if (part.empty()) continue;
        cur += "/" + part;
        mkdir(cur.c_str(), 0755);
    }
}

int64_t steadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

bool writeFile(const std::string& p, const std::string& text, mode_t mode = 0644) {
    FILE* f = fopen(p.c_str(), "w");
    if (!f) return false;
    fputs(text.c_str(), f);
    fclose(f);
    chmod(p.c_str(), mode);
    return true;
}

std::string shellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

}  // namespace

Simulator::Simulator(std::string root, std::string ctlTool)
    : root_(std::move(root)),
      ctlTool_(std::move(ctlTool)),
      mcm_{sc_, root_, nullptr},
      mgmt_{sc_, nullptr, nullptr, nullptr, nullptr},
      at_{sc_, nullptr},
      gpio_(root_),
      startMs_(steadyMs()) {
    at_.radio = [this](bool on) { onRadio(on); };
    mgmt_.networkReady = [this] {
        sc_.set("clock.now_ms", json_object_new_int64(nowMs()));
        McmSimCardStatus s = simCardStatus(sc_);
        return s.card_state == MCM_SIM_CARD_STATE_PRESENT && sc_.flag("nw.reg.registered", true) &&
               sc_.num("at.cfun", 1) == 1;
    };
    mgmt_.bearerDelayed = [this](uint8_t profile) {
        int64_t ms = sc_.num("manager.bearer_seconds", 0) * 1000;
        int64_t max = sc_.num("manager.bearer_max", 0) * 1000;
        if (max > 0) ms = std::uniform_int_distribution<int64_t>(0, max)(rng_);
        if (ms <= 0) return false;
        pending_ = PendingCall{true, profile, nowMs() + ms};
        sc_.set("manager.bearer_pending_ms", json_object_new_int64(ms));
        return true;
    };
    mgmt_.bearerCancelled = [this] { pending_.active = false; };
    mcm_.indicate = [this](uint32_t id, const std::vector<uint8_t>& data) {
        simwire::Header h{};
        h.kind = simwire::kMcmIndication;
        h.id = id;
        sendTo(Kind::Mcm, h, data);
    };
    mgmt_.broadcast = [this](int id, const std::vector<uint8_t>& data) {
        simwire::Header h{};
        h.kind = simwire::kMgmtEvent;
        h.id = static_cast<uint32_t>(id);
        // On a virtual clock an event reaches the client on the next tick,
        // never while the client still looks at its request's answer.
        if (virtual_) heldEvents_.push_back({h, data});
        else sendTo(Kind::Mgmt, h, data);
    };
}

Simulator::~Simulator() {
    for (auto& c : conns_) close(c.fd);
    for (int fd : {mcmListen_, mgmtListen_, ctlListen_, ptyMaster_, ptySlave_})
        if (fd >= 0) close(fd);
    unlink(path("/dev/smd9").c_str());
}

void Simulator::writeStandIns() {
    std::string env = "TRAILNETD_ROOT=" + shellQuote(root_) + " ";
    // The module's start script for the MCM service.
    writeFile(path("/etc/init.d/start_mcm_ril_srv_le"),
              "#!/bin/sh\n[ \"$1\" = start ] || exit 0\n" + env + "exec " + shellQuote(ctlTool_) + " mcm start\n",
              0755);
    // pidof that knows the simulated service; everything else goes to the real one.
    writeFile(path("/sim/bin/pidof"),
              "#!/bin/sh\nfor a in \"$@\"; do\n  if [ \"$a\" = mcm_ril_service ]; then\n    " + env + "exec " +
                  shellQuote(ctlTool_) +
                  " mcm status >/dev/null\n  fi\ndone\nfor p in /usr/bin/pidof /bin/pidof /sbin/pidof /usr/sbin/pidof; do\n"
                  "  [ -x \"$p\" ] && exec \"$p\" \"$@\"\ndone\nexit 1\n",
              0755);
}

int64_t Simulator::nowMs() const { return virtual_ ? virtualMs_ : steadyMs() - startMs_; }

int Simulator::setVirtualTime(int64_t seconds) {
    virtual_ = true;
    if (seconds * 1000 > virtualMs_) virtualMs_ = seconds * 1000;
    runTimers();
    std::vector<HeldEvent> events;
    events.swap(heldEvents_);
    for (const auto& e : events) sendTo(Kind::Mgmt, e.h, e.data);
    int replies = static_cast<int>(heldAt_.size());
    for (const std::string& r : heldAt_) {
        ssize_t w = write(ptyMaster_, r.data(), r.size());
        (void)w;
    }
    heldAt_.clear();
    return replies;
}

void Simulator::runTimers() {
    if (pending_.active && nowMs() >= pending_.dueMs) {
        pending_.active = false;
        mgmtCallUp(mgmt_, pending_.profile);
    }
}

int Simulator::pollTimeoutMs() const {
    if (!pending_.active || virtual_) return 1000;
    int64_t left = pending_.dueMs - nowMs();
    return left < 0 ? 0 : left > 1000 ? 1000 : static_cast<int>(left);
}

void Simulator::onRadio(bool on) {
    if (!on) return;
    // The select line (module pin 41 = GPIO 7) picks the slot the radio sees.
    FILE* f = fopen(path("/sys/class/gpio/gpio7/value").c_str(), "r");
    if (f != nullptr) {
        int v = fgetc(f);
        fclose(f);
        sc_.set("sim.active_slot", json_object_new_int(v == '1' ? 1 : 0));
    }
    // A card needs a moment after the radio comes on before it answers.
    int64_t delay = sc_.num("sim.card_delay", 0) * 1000;
    sc_.set("sim.ready_at_ms", json_object_new_int64(delay > 0 ? nowMs() + delay : 0));
}

void Simulator::loseRegistration(bool quiet) {
    sc_.set("nw.reg.registered", json_object_new_boolean(0));
    if (sc_.num("manager.call.state", 0) == 1 || pending_.active) mgmtDropCall(mgmt_, 0x21, quiet);
}

bool Simulator::start(std::string& error) {
    rng_.seed(static_cast<uint32_t>(sc_.num("seed", 1)));
    for (const char* d : {"/tmp", "/dev", "/etc/init.d", "/sim/bin"}) mkdirs(path(d));
    setenv("TRAILNETD_ROOT", root_.c_str(), 1);
    writeStandIns();
    ctlListen_ = simwire::listenUnix(simwire::socketPath(simwire::kControlSocket));
    if (ctlListen_ < 0) {
        error = "cannot listen on the control socket";
        return false;
    }
    // The AT channel: a pseudo-terminal whose slave is linked at /dev/smd9.
    ptyMaster_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ptyMaster_ < 0 || grantpt(ptyMaster_) != 0 || unlockpt(ptyMaster_) != 0) {
        error = "cannot open a pseudo-terminal";
        return false;
    }
    const char* slave = ptsname(ptyMaster_);
    // Keep the slave open ourselves so the master never sees a hang-up
    // while the daemon reopens the channel.
    ptySlave_ = slave ? open(slave, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
    if (ptySlave_ < 0) {
        error = "cannot open the pseudo-terminal slave";
        return false;
    }
    termios t;
    if (tcgetattr(ptySlave_, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(ptySlave_, TCSANOW, &t);
    }
    unlink(path("/dev/smd9").c_str());
    if (symlink(slave, path("/dev/smd9").c_str()) != 0) {
        error = "cannot link /dev/smd9";
        return false;
    }
    if (!gpio_.start(error)) return false;
    setMcmRunning(sc_.flag("mcm.running", true));
    setManagerRunning(sc_.flag("manager.running", true));
    return true;
}

void Simulator::setMcmRunning(bool on) {
    sc_.set("mcm.running", json_object_new_boolean(on));
    std::string flag = path("/tmp/mcm_service_ready.flag");
    if (on) {
        if (mcmListen_ < 0) mcmListen_ = simwire::listenUnix(simwire::socketPath(simwire::kMcmSocket));
        writeFile(flag, "");
    } else {
        unlink(flag.c_str());
        for (const char* f : {"/tmp//mcm_data_service_ready.flag", "/tmp/mcm_loc_service_ready.flag",
                              "/tmp/mcm_mobileap_service_ready.flag", "/tmp/mcm_atcop_service_ready.flag",
                              "/tmp/mcm_sim_service_ready.flag"})
            unlink(path(f).c_str());
        if (mcmListen_ >= 0) close(mcmListen_);
        mcmListen_ = -1;
        unlink(simwire::socketPath(simwire::kMcmSocket).c_str());
        closeKind(Kind::Mcm);
    }
}

void Simulator::setManagerRunning(bool on) {
    sc_.set("manager.running", json_object_new_boolean(on));
    std::string lock = path("/tmp/.ql_manager_server.lock");
    if (on) {
        if (mgmtListen_ < 0) mgmtListen_ = simwire::listenUnix(simwire::socketPath(simwire::kMgmtSocket));
        writeFile(lock, sc_.str("manager.lock", "success\n"));
    } else {
        // The manager takes its calls with it, without a word to its clients.
        pending_.active = false;
        if (sc_.num("manager.call.state", 0) == 1)
            sc_.set("manager.call.state", json_object_new_int(0));
        unlink(lock.c_str());
        if (mgmtListen_ >= 0) close(mgmtListen_);
        mgmtListen_ = -1;
        unlink(simwire::socketPath(simwire::kMgmtSocket).c_str());
        closeKind(Kind::Mgmt);
    }
}

void Simulator::closeKind(Kind kind) {
    // Connections are only erased at the end of a loop turn: the loop may
    // hold pointers to them.
    for (auto& c : conns_)
        if (c.kind == kind) c.dead = true;
}

void Simulator::sendTo(Kind kind, const simwire::Header& hdr, const std::vector<uint8_t>& payload) {
    simwire::Header h = hdr;
    h.magic = simwire::kMagic;
    h.length = static_cast<uint32_t>(payload.size());
    for (auto& c : conns_)
        if (c.kind == kind && !c.dead && simwire::writeFrame(c.fd, h, payload.data()) && kind == Kind::Mgmt)
            mgmtFramesSent_++;
}

void Simulator::accept(int listenFd, Kind kind) {
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    conns_.push_back(Conn{fd, kind, {}, {}});
}

bool Simulator::serviceFrame(Conn& c, const simwire::Frame& f) {
    simwire::Header h{};
    h.magic = simwire::kMagic;
    h.seq = f.h.seq;
    h.id = f.h.id;
    sc_.set("clock.now_ms", json_object_new_int64(nowMs()));
    auto fit = faults_.find(f.h.id);
    std::string fault = fit == faults_.end() ? "" : fit->second.kind;
    if (fault == "die") return false;
    if (fault == "silent") return true;
    if (fault == "corrupt") {
        h.magic = 0xDEADBEEF;
        simwire::writeFrame(c.fd, h, nullptr);
        return true;
    }

    if (c.kind == Kind::Mcm && (f.h.kind == simwire::kMcmRequest || f.h.kind == simwire::kMcmAsyncRequest)) {
        std::vector<uint8_t> req = f.payload;
        if (f.h.kind == simwire::kMcmAsyncRequest) {
            if (req.size() < 4) return false;
            req.erase(req.begin(), req.begin() + 4);  // the wanted answer length
        }
        McmAnswer a = mcmAnswer(mcm_, f.h.id, req);
        if (fault == "short" && !a.bytes.empty()) a.bytes.resize(a.bytes.size() / 2);
        if (fault == "garbage" && a.bytes.size() > sizeof(McmAnswerHeader))
            memset(a.bytes.data() + sizeof(McmAnswerHeader), 0xA5, a.bytes.size() - sizeof(McmAnswerHeader));
        if (f.h.kind == simwire::kMcmAsyncRequest) {
            h.kind = simwire::kMcmAsyncAnswer;
            h.arg = f.h.arg;  // the caller's token
        } else {
            h.kind = simwire::kMcmAnswer;
            h.arg = a.status;
        }
        if (a.status != 0) a.bytes.clear();
        h.length = static_cast<uint32_t>(a.bytes.size());
        return simwire::writeFrame(c.fd, h, a.bytes.data());
    }
    if (c.kind == Kind::Mgmt && (f.h.kind == simwire::kMgmtSet || f.h.kind == simwire::kMgmtGet)) {
        MgmtAnswer a = mgmtAnswer(mgmt_, f.h.kind == simwire::kMgmtSet, static_cast<int>(f.h.id), f.payload);
        if (fault == "short" && !a.record.empty()) a.record.resize(a.record.size() / 2);
        h.kind = simwire::kMgmtAnswer;
        h.arg = a.result;
        h.length = static_cast<uint32_t>(a.record.size());
        if (!simwire::writeFrame(c.fd, h, a.record.data())) return false;
        if (!a.event.empty()) mgmt_.broadcast(MGMT_DATA_CALL_START, a.event);
        return true;
    }
    return false;  // a frame this side does not take
}

void Simulator::readAt() {
    char buf[512];
    ssize_t n = read(ptyMaster_, buf, sizeof buf);
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; ++i) {
        char ch = buf[i];
        if (ch == '\r' || ch == '\n') {
            if (!atLine_.empty()) {
                std::string reply = atAnswer(at_, atLine_);
                atLine_.clear();
                if (virtual_ && !reply.empty()) {
                    heldAt_.push_back(reply);  // answered on the next tick, like the events
                } else {
                    ssize_t w = write(ptyMaster_, reply.data(), reply.size());
                    (void)w;
                }
            }
        } else if (atLine_.size() < 1024) {  // an endless line cannot grow memory
            atLine_ += ch;
        }
    }
}

void Simulator::run() {
    while (!quit_) {
        std::vector<pollfd> fds;
        std::vector<Conn*> owners;
        auto add = [&](int fd, Conn* c) {
            if (fd < 0) return;
            fds.push_back(pollfd{fd, POLLIN, 0});
            owners.push_back(c);
        };
        add(mcmListen_, nullptr);
        add(mgmtListen_, nullptr);
        add(ctlListen_, nullptr);
        add(ptyMaster_, nullptr);
        add(gpio_.fd(), nullptr);
        for (auto& c : conns_) add(c.fd, &c);
        if (poll(fds.data(), fds.size(), pollTimeoutMs()) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        runTimers();
        for (size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            int fd = fds[i].fd;
            Conn* c = owners[i];
            if (c != nullptr && c->dead) continue;
            if (c == nullptr) {
                if (fd == mcmListen_) accept(fd, Kind::Mcm);
                else if (fd == mgmtListen_) accept(fd, Kind::Mgmt);
                else if (fd == ctlListen_) accept(fd, Kind::Control);
                else if (fd == ptyMaster_) readAt();
                else if (fd == gpio_.fd()) gpio_.onEvent();
                continue;
            }
            uint8_t buf[4096];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n <= 0) {
                c->dead = true;
                continue;
            }
            bool keep = true;
            if (c->kind == Kind::Control) {
                c->text.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
                size_t nl;
                while (keep && (nl = c->text.find('\n')) != std::string::npos) {
                    std::string line = c->text.substr(0, nl);
                    c->text.erase(0, nl + 1);
                    std::string reply = control(line) + "\n";
                    keep = send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(reply.size());
                }
                if (c->text.size() > 4096) keep = false;
            } else {
                c->dec.feed(buf, static_cast<size_t>(n));
                simwire::Frame f;
                int r;
                while (keep && (r = c->dec.next(f)) != 0) keep = r > 0 && serviceFrame(*c, f);
            }
            if (!keep) c->dead = true;
            if (quit_) break;
        }
        for (auto it = conns_.begin(); it != conns_.end();) {
            if (it->dead) {
                close(it->fd);
                it = conns_.erase(it);
            } else {
                ++it;
            }
        }
    }
}

void Simulator::simPulled(int slot) {
    // Only the connected slot's card is seen by the modem.
    if (sc_.num("sim.active_slot", 0) != slot) return;
    McmSimCardStatus s = simCardStatus(sc_);
    McmSimCardStatusInd ind;
    memset(&ind, 0, sizeof ind);
    ind.valid = 1;
    memcpy(&ind.word0, &s, 4);
    memcpy(&ind.word1, reinterpret_cast<uint8_t*>(&s) + 4, 4);
    memcpy(ind.rest, reinterpret_cast<uint8_t*>(&s) + 8, 96);
    std::vector<uint8_t> data(sizeof ind);
    memcpy(data.data(), &ind, sizeof ind);
    mcm_.indicate(MCM_SIM_CARD_STATUS_IND, data);
}
