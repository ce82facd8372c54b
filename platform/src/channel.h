#pragma once
// One connection of a stand-in library to the simulator: requests wait for
// their answer on the caller's thread; unsolicited frames (indications,
// events, asynchronous answers) go to a handler on a callback thread of the
// channel's own, so a handler may itself send requests.
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "sim_wire.h"

namespace simwire {

class Channel {
public:
    using Handler = std::function<void(const Frame&)>;
    // Frames the channel makes itself and hands to the handler like the
    // peer's: the link to the service was lost, or opened again after a loss.
    static constexpr uint32_t kLinkDown = 0x100;
    static constexpr uint32_t kLinkUp = 0x101;
    Channel(std::string path, Handler onUnsolicited);
    ~Channel();  // stops both threads; no handler runs afterwards
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    bool connect();  // (re)connects when the link is down; true when up

    // kNotSent: the link was found dead before the request left, so it may be
    // sent again on a new link without being carried out twice.
    enum Status { kOk, kDown, kTimeout, kNotSent };
    // Sends a frame and waits for the answer with the same sequence number.
    Status request(Header h, const void* payload, int timeoutMs, Frame& answer);
    // Sends a frame without waiting; false when the link is down.
    bool post(Header h, const void* payload);
    bool onCallbackThread() const;

private:
    void readLoop(int fd);
    void dispatchLoop();
    void dropLink(int fd);
    void queueLocked(Frame f);

    std::string path_;
    Handler handler_;
    std::mutex connectMu_;  // one (re)connect at a time
    std::mutex writeMu_;    // frames of two threads never interleave
    std::mutex mu_;
    std::condition_variable answerCv_, queueCv_;
    int fd_ = -1;
    int staleFd_ = -1;  // closed only after its reader is joined, so no writer hits a reused number
    uint32_t nextSeq_ = 1;
    uint64_t linkGen_ = 0;  // bumped when a link drops, so its waiters give up
    bool stopping_ = false;
    bool lost_ = false;  // the last link ended by the peer's side: the next one reports kLinkUp
    std::map<uint32_t, Frame*> waiting_;  // seq -> answer slot of a blocked caller
    std::map<uint32_t, bool> arrived_;
    std::deque<Frame> queue_;
    std::thread reader_, dispatcher_;
};

}  // namespace simwire
