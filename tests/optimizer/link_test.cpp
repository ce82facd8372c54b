// PicTrimApp on a bad link: a server that stops answering, a link that drops
// mid-upload. Stall windows are shortened through PICTRIM_STALL_SECONDS so
// the cases take seconds; every wait has a generous time-out.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "CamApiController.h"
#include "Logger.h"
#include "TransferLimits.h"
#include "cloudsim.h"
#include "folder.h"
#include "linksim.h"
#include "run_program.h"

namespace {

// Sets an environment variable for one scope (the program under test and
// the in-process controller both read it).
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) { setenv(name, value, 1); }
    ~ScopedEnv() { unsetenv(name_); }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
};

std::string randomBytes(size_t n) {
    std::mt19937 rng(7);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng());
    return s;
}

}  // namespace

// The server reads the announcement and then says nothing. PicTrimApp used
// to wait for ever; it now ends on its stall window with its CODE line, the
// error in its log and the picture still in the folder.
TEST(PicTrimLink, AServerThatStallsEndsTheRunWithinTheWindow) {
    PictureFolder f;
    CloudSim sim(f.file("cacert.pem"));
    sim.setScenario(R"({"auth": false, "faults": [
        {"path": "/camapi/", "kind": "stall", "seconds": 120}]})");
    f.put(".token", "secret\n");
    f.putPicture("PICT0001.JPG");
    ScopedEnv window("PICTRIM_STALL_SECONDS", "2");
    ProgramResult r = runProgram(
        {PICTRIMAPP_PROGRAM, "32", "24", "50", f.path(), "UCID1", sim.hostPort(), "443"}, 90, true);
    ASSERT_TRUE(r.exited) << "still running after " << r.seconds << " s";
    EXPECT_EQ(r.out, "START PROGRAM 2.0\nCODE 1 END PROGRAM\n");
    // Well before the server's 120 s: the stall window ended it, not the server.
    EXPECT_LT(r.seconds, 100);
    std::string log = f.read("log.txt");
    EXPECT_NE(log.find("INFO,Response code: 0\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR,Timeout was reached\r\n"), std::string::npos) << log;
    EXPECT_TRUE(f.has("PICT0001.JPG"));
    EXPECT_FALSE(f.has("sent.txt"));
}

// A link that stops carrying bytes mid-upload (the radio fades) ends the
// upload on the window; the picture stays for the next run.
TEST(PicTrimLink, AStallMidUploadEndsOnTheWindowAndKeepsThePicture) {
    PictureFolder f;
    CloudSim sim(f.file("cacert.pem"));
    sim.setScenario(R"({"auth": false})");
    LinkSim link(sim, "lan", {"--set", "up_bps=400000"});
    const std::string bytes = randomBytes(200000);
    f.put("a.jpg", bytes);
    LogReset();
    snprintf(LoggerFilePath, sizeof LoggerFilePath, "%slog.txt", f.path().c_str());
    CamApiParams params{};
    snprintf(params.ucid, sizeof params.ucid, "UCID1");
    snprintf(params.token, sizeof params.token, "tok");
    snprintf(params.host, sizeof params.host, "%s", sim.hostPort().c_str());
    ScopedEnv window("PICTRIM_STALL_SECONDS", "2");
    // Everything stops once the upload is well under way (the announcement
    // and both handshakes are far smaller).
    std::thread staller([&link] {
        for (int i = 0; i < 6000 && link.counter("bytes_up") < 60000; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        link.command("stall 600 up");
    });
    auto t0 = std::chrono::steady_clock::now();
    int rc = CamApiControllerUploadProcess(f.path().c_str(), &params);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    staller.join();
    LogSave();
    EXPECT_EQ(rc, 2);
    EXPECT_LT(took, 60);  // the window (2 s) and libcurl's speed averaging, not minutes
    EXPECT_EQ(f.read("a.jpg"), bytes);
    EXPECT_FALSE(f.has("sent.txt"));
    EXPECT_NE(f.read("log.txt").find("ERROR,Timeout was reached\r\n"), std::string::npos)
        << f.read("log.txt");
    LogReset();
}

// The link resets the connection mid-upload: the run reports the failure
// and keeps the picture; over a sound link the next run sends it whole.
TEST(PicTrimLink, ADropMidUploadIsReportedAndThePictureStays) {
    PictureFolder f;
    CloudSim sim(f.file("cacert.pem"));
    sim.setScenario(R"({"auth": false})");
    const std::string bytes = randomBytes(150000);
    f.put("b.jpg", bytes);
    LogReset();
    snprintf(LoggerFilePath, sizeof LoggerFilePath, "%slog.txt", f.path().c_str());
    CamApiParams params{};
    snprintf(params.ucid, sizeof params.ucid, "UCID1");
    snprintf(params.token, sizeof params.token, "tok");
    {
        LinkSim link(sim, "lan", {"--set", "up_bps=2000000"});
        snprintf(params.host, sizeof params.host, "%s", sim.hostPort().c_str());
        // Past the announcement and its handshake, inside the picture.
        EXPECT_EQ(link.command("drop after 60000").rfind("OK", 0), 0u);
        EXPECT_EQ(CamApiControllerUploadProcess(f.path().c_str(), &params), 2);
        LogSave();
        EXPECT_GE(link.counter("resets"), 1);
    }
    EXPECT_EQ(f.read("b.jpg"), bytes);
    EXPECT_FALSE(f.has("sent.txt"));
    std::string log = f.read("log.txt");
    EXPECT_NE(log.find("INFO,Sending file: b.jpg, 150000 bytes\r\n"), std::string::npos) << log;
    // What the server last said (nothing, or its "100 Continue"), then libcurl's text.
    EXPECT_NE(log.find("INFO,Response code: "), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR,", log.find("Sending file")), std::string::npos) << log;

    snprintf(params.host, sizeof params.host, "%s", sim.hostPort().c_str());
    EXPECT_EQ(CamApiControllerUploadProcess(f.path().c_str(), &params), 0);
    LogReset();
    EXPECT_FALSE(f.has("b.jpg"));
    EXPECT_EQ(pictures::readFile(sim.uploaded("b.jpg")), bytes);
    EXPECT_EQ(f.read("sent.txt"), "b.jpg\r\n");
}

TEST(PicTrimLink, StallWindowFromTheEnvironment) {
    struct Case {
        const char* value;
        long stall, connect, capBase;
    };
    // Anything but a whole number of seconds from 1 to 3600 keeps the defaults.
    for (const Case& c : {Case{nullptr, 60, 30, 120}, Case{"", 60, 30, 120}, Case{"abc", 60, 30, 120},
                          Case{"0", 60, 30, 120}, Case{"5s", 60, 30, 120}, Case{"3601", 60, 30, 120},
                          Case{"2", 2, 2, 14}, Case{"45", 45, 30, 85}, Case{"600", 600, 30, 640}}) {
        if (c.value) setenv("PICTRIM_STALL_SECONDS", c.value, 1);
        TransferLimits l = transferLimits();
        unsetenv("PICTRIM_STALL_SECONDS");
        const char* shown = c.value ? c.value : "(unset)";
        EXPECT_EQ(l.stallSeconds, c.stall) << shown;
        EXPECT_EQ(l.connectSeconds, c.connect) << shown;
        EXPECT_EQ(l.capBaseSeconds, c.capBase) << shown;
    }
}
