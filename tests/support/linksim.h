#pragma once
// Runs the link simulator (sim/link/linksim.py) in front of a server for one
// test: a shaping relay on loopback with named profiles ("lan", "three-bars",
// "one-bar", "edge"). LinkSim(cloud, "one-bar") also routes the cloud
// simulator through it (its hostPort() and upload slots then name the relay).
// The test target defines TN_LINKSIM_PY.
#include <json-c/json.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "cloudsim.h"
#include "simchild.h"

class LinkSim {
public:
    // target: "HOST:PORT" behind the link; extra: more linksim arguments
    // ("--set", "up_bps=32000", "--gate-modem", PATH, ...).
    LinkSim(const std::string& target, const std::string& profile, std::vector<std::string> extra = {},
            const std::string& script = TN_LINKSIM_PY) {
        char tmpl[] = "/tmp/linksim.XXXXXX";
        if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
        dir_ = tmpl;
        control_ = dir_ + "/link.ctl";
        std::vector<std::string> args = {"python3", script, "--to", target, "--profile", profile,
                                         "--control", control_};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string line = simchild::start(&pid_, args);
        json_object* ready = json_tokener_parse(line.c_str());
        json_object* port = nullptr;
        if (ready == nullptr || !json_object_object_get_ex(ready, "port", &port)) {
            if (ready != nullptr) json_object_put(ready);
            stop();
            throw std::runtime_error("link simulator did not become ready: " + line);
        }
        port_ = json_object_get_int(port);
        json_object_put(ready);
    }
    // The cloud simulator behind the link; its clients go through the link
    // until this object is gone.
    LinkSim(CloudSim& cloud, const std::string& profile, std::vector<std::string> extra = {})
        : LinkSim(cloud.directHostPort(), profile, std::move(extra)) {
        cloud_ = &cloud;
        cloud.routeThrough(hostPort());
    }
    ~LinkSim() {
        if (cloud_ != nullptr) {
            try {
                cloud_->routeThrough("");
            } catch (...) {
            }
        }
        stop();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    LinkSim(const LinkSim&) = delete;
    LinkSim& operator=(const LinkSim&) = delete;

    int port() const { return port_; }
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }

    // One control line (see the top of sim/link/linksim.py); returns the
    // answer line. Throws when the simulator does not answer.
    std::string command(const std::string& line) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0) throw std::runtime_error("socket");
        struct sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, control_.c_str(), sizeof a.sun_path - 1);
        if (connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            throw std::runtime_error("link simulator control socket: " + control_);
        }
        std::string out = line + "\n";
        if (write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size())) {
            close(fd);
            throw std::runtime_error("link simulator control write");
        }
        std::string answer = simchild::readLine(fd, 60000);
        close(fd);
        return answer;
    }
    // The counters as JSON (bytes_up, bytes_down, connections, open, refused,
    // resets, busy_s, stalls, up_s).
    CloudSimJson counters() {
        std::string a = command("counters");
        if (a.rfind("OK ", 0) != 0) throw std::runtime_error("link simulator counters: " + a);
        return CloudSimJson(json_tokener_parse(a.c_str() + 3));
    }
    long counter(const char* name) {
        CloudSimJson c = counters();
        json_object* v = nullptr;
        return json_object_object_get_ex(c.get(), name, &v) ? static_cast<long>(json_object_get_int64(v)) : -1;
    }

private:
    void stop() { simchild::stop(&pid_); }

    std::string dir_, control_;
    pid_t pid_ = -1;
    int port_ = 0;
    CloudSim* cloud_ = nullptr;
};
