// A device for unit tests: it records every request it receives and answers
// from a script that the test writes.
#pragma once

#include <deque>
#include <functional>
#include <map>

#include "vsim/driver.h"

namespace vsim {

struct RecordedRequest {
    uint32_t code = 0;
    std::vector<uint8_t> input;  // the input bytes as the caller passed them
    uint32_t inSize = 0;
    uint32_t outSize = 0;
    uint32_t thread = 0;
};

// How the scripted device answers one request.
struct VSIM_API Answer {
    enum class Kind { Reply, Fail, Pend, Custom };
    Kind kind = Kind::Reply;
    std::vector<uint8_t> reply;
    uint32_t error = kSuccess;
    std::function<Outcome(IoRequest&)> custom;

    // Succeeds, writing `bytes` over the request buffer.
    static Answer replyWith(std::vector<uint8_t> bytes = {});
    // Fails with a Win32 error (use driverError(code) for a driver status).
    static Answer fail(uint32_t error);
    // Leaves the request pending until the test completes it.
    static Answer pend();
    // Runs test code on the request.
    static Answer run(std::function<Outcome(IoRequest&)> handler);
};

class VSIM_API ScriptedDevice : public Device {
  public:
    ScriptedDevice();
    ~ScriptedDevice() override;

    std::unique_ptr<OpenContext> open(const OpenParams& params, uint32_t& error) override;

    // Answers are taken from the queue of one-shot answers first, then from
    // the answer set for the request's code, and otherwise the request
    // succeeds with no reply. IOCTL 0x222808 without a scripted answer
    // cancels the handle's pending requests.
    void queue(Answer answer);
    void onCode(uint32_t code, Answer answer);
    void failOpen(uint32_t error);

    std::vector<RecordedRequest> requests() const;
    size_t requestCount() const;
    void clearRequests();
    std::vector<OpenParams> opens() const;
    size_t openHandles() const;

    // Requests left pending by Answer::pend(), oldest first.
    size_t pendingCount() const;
    // Completes the oldest outstanding pended request, writing `reply` over
    // its buffer first. Returns false if none is outstanding.
    bool completeNext(uint32_t error = kSuccess, std::vector<uint8_t> reply = {});

  private:
    class Context;
    Outcome answer(IoRequest& request);

    mutable std::mutex lock_;
    std::deque<Answer> queue_;
    std::map<uint32_t, Answer> byCode_;
    uint32_t openError_ = kSuccess;
    std::vector<RecordedRequest> requests_;
    std::vector<OpenParams> opens_;
    size_t openHandles_ = 0;
    std::deque<std::shared_ptr<PendingIo>> pended_;
};

// Bytes of a little-endian record, for scripting replies.
class VSIM_API Bytes {
  public:
    explicit Bytes(size_t size = 0) : bytes_(size) {}
    template <typename T>
    Bytes& put(size_t offset, T value) {
        if (bytes_.size() < offset + sizeof(T))
            bytes_.resize(offset + sizeof(T));
        std::memcpy(bytes_.data() + offset, &value, sizeof(T));
        return *this;
    }
    Bytes& text(size_t offset, const std::string& text, size_t field);
    operator std::vector<uint8_t>() const { return bytes_; }
    const std::vector<uint8_t>& vec() const { return bytes_; }

  private:
    std::vector<uint8_t> bytes_;
};

}  // namespace vsim
