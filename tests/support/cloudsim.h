#pragma once
// Runs the cloud API simulator (sim/cloud/cloudsim.py) for one test: starts it
// on a free loopback port, waits for its ready line, and talks to its control
// endpoints over the same TLS. The test target defines TN_CLOUDSIM_PY.
#include <curl/curl.h>
#include <fcntl.h>
#include <json-c/json.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "simchild.h"

struct CloudSimJsonPut {
    void operator()(json_object* o) const { json_object_put(o); }
};
using CloudSimJson = std::unique_ptr<json_object, CloudSimJsonPut>;

class CloudSim {
public:
    // cacertOut: where the simulator copies its CA (e.g. ROOT/usrdata/cacert.pem), or "".
    // extra: more arguments of the simulator (e.g. {"--rcvbuf", "4096"}).
    explicit CloudSim(const std::string& cacertOut = "", const std::string& script = TN_CLOUDSIM_PY,
                      const std::vector<std::string>& extra = {}) {
        char tmpl[] = "/tmp/cloudsim.XXXXXX";
        if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
        workdir_ = tmpl;
        std::vector<std::string> args = {"python3", script, "--workdir", workdir_ + "/sim"};
        if (!cacertOut.empty()) args.insert(args.end(), {"--cacert-out", cacertOut});
        args.insert(args.end(), extra.begin(), extra.end());
        std::string line = simchild::start(&pid_, args);
        CloudSimJson ready(json_tokener_parse(line.c_str()));
        json_object* port = nullptr;
        if (!ready || !json_object_object_get_ex(ready.get(), "port", &port)) {
            stop();
            throw std::runtime_error("cloud simulator did not become ready: " + line);
        }
        port_ = json_object_get_int(port);
        curl_ = curl_easy_init();
    }
    ~CloudSim() {
        if (curl_ != nullptr) curl_easy_cleanup(curl_);
        stop();
        std::error_code ec;
        std::filesystem::remove_all(workdir_, ec);
    }
    CloudSim(const CloudSim&) = delete;
    CloudSim& operator=(const CloudSim&) = delete;

    int port() const { return port_; }
    // "127.0.0.1:PORT", the form the daemon's host setting takes: the link
    // simulator's port once routeThrough() put one in front (tests/support/linksim.h).
    std::string hostPort() const { return route_.empty() ? directHostPort() : route_; }
    std::string directHostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string base() const { return "https://" + hostPort(); }
    // Clients reach the API, and the upload slots it hands out, through
    // hostPort ("" goes direct again). Control requests stay direct.
    void routeThrough(const std::string& hostPort) {
        route_ = hostPort;
        control("PUT", "/_sim/base", route_.empty() ? "{}" : "{\"base\": \"https://" + route_ + "\"}");
    }
    std::string workdir() const { return workdir_ + "/sim"; }
    std::string caFile() const { return workdir() + "/certs/ca.pem"; }
    std::string uploaded(const std::string& name) const { return workdir() + "/uploads/" + name; }

    // Replaces the scenario (a JSON text); the simulator's counters restart.
    void setScenario(const std::string& json) { control("PUT", "/_sim/scenario", json); }
    void reset() { control("POST", "/_sim/reset", ""); }
    void putFile(const std::string& name, const std::string& bytes) {
        control("PUT", "/_sim/files/" + name, bytes);
    }
    // Every API request the simulator saw, oldest first (a JSON array).
    // What the API connections cost on the wire ({"closed": [...], "open": N}).
    CloudSimJson connections() {
        return CloudSimJson(json_tokener_parse(control("GET", "/_sim/connections", "").c_str()));
    }
    // Every resumable upload the simulator holds (GET /_sim/tus), a JSON array.
    CloudSimJson tusUploads() {
        return CloudSimJson(json_tokener_parse(control("GET", "/_sim/tus", "").c_str()));
    }
    CloudSimJson requests() { return CloudSimJson(json_tokener_parse(control("GET", "/_sim/requests", "").c_str())); }

private:
    static size_t collect(char* data, size_t size, size_t n, void* out) {
        static_cast<std::string*>(out)->append(data, size * n);
        return size * n;
    }
    std::string control(const char* method, const std::string& path, const std::string& body) {
        std::string out;
        curl_easy_reset(curl_);
        std::string url = "https://" + directHostPort() + path;
        curl_easy_setopt(curl_, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl_, CURLOPT_CUSTOMREQUEST, method);
        curl_easy_setopt(curl_, CURLOPT_CAINFO, caFile().c_str());
        curl_easy_setopt(curl_, CURLOPT_TIMEOUT, 60L);
        if (std::string(method) != "GET") {
            curl_easy_setopt(curl_, CURLOPT_POSTFIELDS, body.data());
            curl_easy_setopt(curl_, CURLOPT_POSTFIELDSIZE, (long)body.size());
        }
        curl_easy_setopt(curl_, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl_, CURLOPT_WRITEDATA, &out);
        CURLcode rc = curl_easy_perform(curl_);
        long code = 0;
        curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &code);
        if (rc != CURLE_OK || code != 200)
            throw std::runtime_error("cloud simulator control " + path + " failed: " + out);
        return out;
    }
    void stop() { simchild::stop(&pid_); }

    std::string workdir_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string route_;
    CURL* curl_ = nullptr;
};
