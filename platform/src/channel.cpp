#include "channel.h"

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace simwire {

namespace {
constexpr size_t kQueueLimit = 256;  // a flood of indications cannot grow memory without bound
}

Channel::Channel(std::string path, Handler onUnsolicited)
    : path_(std::move(path)), handler_(std::move(onUnsolicited)) {
    dispatcher_ = std::thread([this] { dispatchLoop(); });
}

Channel::~Channel() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        stopping_ = true;
        if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
    }
    queueCv_.notify_all();
    answerCv_.notify_all();
    {
        std::lock_guard<std::mutex> ck(connectMu_);
        if (reader_.joinable()) reader_.join();
        if (staleFd_ >= 0) close(staleFd_);
    }
    if (dispatcher_.joinable()) dispatcher_.join();
}

bool Channel::onCallbackThread() const { return std::this_thread::get_id() == dispatcher_.get_id(); }

bool Channel::connect() {
    std::lock_guard<std::mutex> ck(connectMu_);
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (stopping_) return false;
        if (fd_ >= 0) return true;
    }
    // The previous reader has dropped its link and is ending (or never ran).
    if (reader_.joinable()) reader_.join();
    if (staleFd_ >= 0) {
        close(staleFd_);
        staleFd_ = -1;
    }
    int fd = connectUnix(path_);
    if (fd < 0) return false;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (stopping_) {
            close(fd);
            return false;
        }
        fd_ = fd;
        if (lost_) {
            lost_ = false;
            Frame up;
            up.h.kind = kLinkUp;
            queueLocked(std::move(up));
        }
    }
    reader_ = std::thread([this, fd] { readLoop(fd); });
    return true;
}

void Channel::queueLocked(Frame f) {
    if (queue_.size() >= kQueueLimit) return;
    queue_.push_back(std::move(f));
    queueCv_.notify_one();
}

void Channel::dropLink(int fd) {
    std::lock_guard<std::mutex> lk(mu_);
    if (fd_ == fd) fd_ = -1;
    if (!stopping_ && !lost_) {
        // The caller hears of it, as from the module's library.
        lost_ = true;
        Frame down;
        down.h.kind = kLinkDown;
        queueLocked(std::move(down));
    }
    shutdown(fd, SHUT_RDWR);
    staleFd_ = fd;
    ++linkGen_;
    answerCv_.notify_all();
}

void Channel::readLoop(int fd) {
    for (;;) {
        Frame f;
        if (!readFrame(fd, f)) break;
        std::lock_guard<std::mutex> lk(mu_);
        if (f.h.kind == kMcmAnswer || f.h.kind == kMgmtAnswer) {
            auto it = waiting_.find(f.h.seq);
            if (it == waiting_.end()) continue;  // its caller gave up already
            *it->second = std::move(f);
            arrived_[it->first] = true;
            answerCv_.notify_all();
        } else {
            queueLocked(std::move(f));
        }
    }
    dropLink(fd);
}

void Channel::dispatchLoop() {
    std::unique_lock<std::mutex> lk(mu_);
    for (;;) {
        queueCv_.wait(lk, [this] { return stopping_ || !queue_.empty(); });
        if (stopping_) return;
        Frame f = std::move(queue_.front());
        queue_.pop_front();
        lk.unlock();
        if (handler_) handler_(f);
        lk.lock();
    }
}

bool Channel::post(Header h, const void* payload) {
    int fd;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (fd_ < 0) return false;
        fd = fd_;
        h.magic = kMagic;
        h.seq = nextSeq_++;
    }
    std::lock_guard<std::mutex> wk(writeMu_);
    return writeFrame(fd, h, payload);
}

Channel::Status Channel::request(Header h, const void* payload, int timeoutMs, Frame& answer) {
    std::unique_lock<std::mutex> lk(mu_);
    if (fd_ < 0 || stopping_) return kDown;
    int fd = fd_;
    uint64_t gen = linkGen_;
    uint32_t seq = nextSeq_++;
    h.magic = kMagic;
    h.seq = seq;
    waiting_[seq] = &answer;
    arrived_[seq] = false;
    lk.unlock();
    bool sent;
    {
        std::lock_guard<std::mutex> wk(writeMu_);
        sent = writeFrame(fd, h, payload);
    }
    lk.lock();
    if (!sent) {
        waiting_.erase(seq);
        arrived_.erase(seq);
        if (fd_ == fd) {
            // Let the reader end now; the next connect() opens a new link.
            fd_ = -1;
            shutdown(fd, SHUT_RDWR);
        }
        return kNotSent;
    }
    bool done = answerCv_.wait_for(lk, std::chrono::milliseconds(timeoutMs), [&] {
        return arrived_[seq] || linkGen_ != gen || stopping_;
    });
    bool got = arrived_[seq];
    waiting_.erase(seq);
    arrived_.erase(seq);
    if (got) return kOk;
    return done ? kDown : kTimeout;
}

}  // namespace simwire
