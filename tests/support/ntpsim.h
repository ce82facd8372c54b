#pragma once
// Runs the NTP simulator (sim/ntp/ntpsim.py) for one test: SNTP answers on a
// loopback UDP port, its offset and faults as data (top of the script). The
// test target defines TN_NTPSIM_PY.
#include <json-c/json.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "simchild.h"

class NtpSim {
public:
    // settings: "KEY=VALUE" (answer=silent, offset_s=-3600, ...).
    explicit NtpSim(std::vector<std::string> settings = {}, const std::string& host = "127.0.0.1", int port = 0) {
        std::vector<std::string> args = {"python3", TN_NTPSIM_PY, "--host", host, "--port", std::to_string(port)};
        for (const auto& s : settings) {
            args.push_back("--set");
            args.push_back(s);
        }
        std::string line = simchild::start(&pid_, args);
        json_object* ready = json_tokener_parse(line.c_str());
        json_object *ok = nullptr, *p = nullptr, *control = nullptr, *error = nullptr;
        if (ready != nullptr && json_object_object_get_ex(ready, "ready", &ok) && json_object_get_boolean(ok) &&
            json_object_object_get_ex(ready, "port", &p) && json_object_object_get_ex(ready, "control", &control)) {
            port_ = json_object_get_int(p);
            control_ = json_object_get_string(control);
        } else if (ready != nullptr && json_object_object_get_ex(ready, "error", &error)) {
            error_ = json_object_get_string(error);
        } else {
            error_ = "no ready line: " + line;
        }
        if (ready != nullptr) json_object_put(ready);
        host_ = host;
        if (port_ == 0) simchild::stop(&pid_);
    }
    ~NtpSim() { simchild::stop(&pid_); }
    NtpSim(const NtpSim&) = delete;
    NtpSim& operator=(const NtpSim&) = delete;

    bool ready() const { return port_ != 0; }
    // Why it did not start (a port it could not bind).
    const std::string& error() const { return error_; }
    std::string hostPort() const { return host_ + ":" + std::to_string(port_); }

    // One control line; returns the answer line.
    std::string command(const std::string& line) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, control_.c_str(), sizeof a.sun_path - 1);
        if (fd < 0 || connect(fd, reinterpret_cast<struct sockaddr*>(&a), sizeof a) != 0) {
            if (fd >= 0) close(fd);
            throw std::runtime_error("NTP simulator control socket: " + control_);
        }
        std::string out = line + "\n";
        bool sent = write(fd, out.data(), out.size()) == static_cast<ssize_t>(out.size());
        std::string answer = sent ? simchild::readLine(fd, 10000) : "";
        close(fd);
        return answer;
    }

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string host_, control_, error_;
};
