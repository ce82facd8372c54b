#pragma once
// Runs the tus upload server (sim/tus/server.js: @tus/server with a file
// store behind HTTPS) for one test: starts it with node from PATH on a free
// loopback port, waits for its ready line, and stops its process group when
// done. TusSrv(cloud) serves the cloud simulator's own certificate, so every
// client checks it against the tests' CA as usual. The test target defines
// TN_TUSSRV_JS. Its npm packages come from scripts/setup; tests never fetch.
#include <json-c/json.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cloudsim.h"
#include "simchild.h"

class TusSrv {
public:
    // extra: more server options ("--expiry", "30", "--relative-location", ...:
    // listed at the top of sim/tus/server.js).
    TusSrv(const std::string& certFile, const std::string& keyFile,
           std::vector<std::string> extra = {}, const std::string& script = TN_TUSSRV_JS) {
        namespace fs = std::filesystem;
        fs::path modules = fs::path(script).parent_path() / "node_modules" / "@tus" / "server";
        if (!fs::is_directory(modules))
            throw std::runtime_error("tus server: its npm packages are missing (" +
                                     modules.string() + "): run scripts/setup");
        char tmpl[] = "/tmp/tussrv.XXXXXX";
        if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
        dir_ = tmpl;
        log_ = dir_ + "/requests.jsonl";
        std::vector<std::string> args = {"node",   script,  "--store", dir_ + "/store", "--cert",
                                         certFile, "--key", keyFile,   "--log",         log_};
        args.insert(args.end(), extra.begin(), extra.end());
        // Its own group, so stopping it reaches whatever node starts.
        std::string line = simchild::start(&pid_, args, true);
        CloudSimJson ready(json_tokener_parse(line.c_str()));
        json_object *port = nullptr, *base = nullptr, *creation = nullptr, *store = nullptr;
        if (!ready || !json_object_object_get_ex(ready.get(), "port", &port) ||
            !json_object_object_get_ex(ready.get(), "base", &base) ||
            !json_object_object_get_ex(ready.get(), "creation", &creation) ||
            !json_object_object_get_ex(ready.get(), "store", &store)) {
            stop();
            throw std::runtime_error(
                "tus server did not become ready (node on PATH? scripts/setup run?): " + line);
        }
        port_ = json_object_get_int(port);
        base_ = json_object_get_string(base);
        creation_ = json_object_get_string(creation);
        store_ = json_object_get_string(store);
    }
    explicit TusSrv(const CloudSim& cloud, std::vector<std::string> extra = {})
        : TusSrv(cloud.workdir() + "/certs/server.pem", cloud.workdir() + "/certs/server.key",
                 std::move(extra)) {}
    ~TusSrv() {
        stop();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TusSrv(const TusSrv&) = delete;
    TusSrv& operator=(const TusSrv&) = delete;

    int port() const { return port_; }
    // "127.0.0.1:PORT": what a link simulator in front of it takes as --to.
    std::string hostPort() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string base() const { return base_; }
    // Where a POST with Upload-Length creates an upload ("https://127.0.0.1:PORT/files").
    std::string creationUrl() const { return creation_; }
    std::string storeDir() const { return store_; }
    // The bytes the server holds for an upload URL (absolute or "/files/ID").
    std::string storedFile(const std::string& uploadUrl) const {
        return store_ + "/" + uploadUrl.substr(uploadUrl.rfind('/') + 1);
    }
    // Every finished request, oldest first, as a JSON array of
    // {"method", "path", "status", "upload_offset", "offset", "length"}.
    // The server logs a request once its answer has gone: a client that
    // has its answer waits here for the line (at least `count`, 10 s at most).
    CloudSimJson requestsAtLeast(size_t count) const {
        CloudSimJson all = requests();
        for (int i = 0; i < 1000 && json_object_array_length(all.get()) < count; i++) {
            usleep(10000);
            all = requests();
        }
        return all;
    }

    CloudSimJson requests() const {
        CloudSimJson all(json_object_new_array());
        std::ifstream in(log_);
        std::string line;
        while (std::getline(in, line)) {
            json_object* one = json_tokener_parse(line.c_str());
            if (one != nullptr) json_object_array_add(all.get(), one);
        }
        return all;
    }

private:
    void stop() { simchild::stop(&pid_, true); }

    std::string dir_, log_, base_, creation_, store_;
    pid_t pid_ = -1;
    int port_ = 0;
};
