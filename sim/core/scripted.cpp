#include "vsim/scripted.h"

#include <algorithm>

namespace vsim {

namespace {
constexpr uint32_t kCancelCode = 0x222808;
}

Answer Answer::replyWith(std::vector<uint8_t> bytes) {
    Answer a;
    a.kind = Kind::Reply;
    a.reply = std::move(bytes);
    return a;
}

Answer Answer::fail(uint32_t error) {
    Answer a;
    a.kind = Kind::Fail;
    a.error = error;
    return a;
}

Answer Answer::pend() {
    Answer a;
    a.kind = Kind::Pend;
    return a;
}

Answer Answer::run(std::function<Outcome(IoRequest&)> handler) {
    Answer a;
    a.kind = Kind::Custom;
    a.custom = std::move(handler);
    return a;
}

Bytes& Bytes::text(size_t offset, const std::string& text, size_t field) {
    if (bytes_.size() < offset + field)
        bytes_.resize(offset + field);
    std::memcpy(bytes_.data() + offset, text.data(), std::min(text.size(), field));
    return *this;
}

class ScriptedDevice::Context : public OpenContext {
  public:
    explicit Context(ScriptedDevice& device) : device_(device) {}
    Outcome control(IoRequest& request) override { return device_.answer(request); }
    void cleanup() override {
        std::lock_guard guard(device_.lock_);
        --device_.openHandles_;
    }

  private:
    ScriptedDevice& device_;
};

ScriptedDevice::ScriptedDevice() = default;
ScriptedDevice::~ScriptedDevice() = default;

std::unique_ptr<OpenContext> ScriptedDevice::open(const OpenParams& params, uint32_t& error) {
    std::lock_guard guard(lock_);
    opens_.push_back(params);
    if (openError_ != kSuccess) {
        error = openError_;
        return nullptr;
    }
    ++openHandles_;
    return std::make_unique<Context>(*this);
}

void ScriptedDevice::queue(Answer answer) {
    std::lock_guard guard(lock_);
    queue_.push_back(std::move(answer));
}

void ScriptedDevice::onCode(uint32_t code, Answer answer) {
    std::lock_guard guard(lock_);
    byCode_[code] = std::move(answer);
}

void ScriptedDevice::failOpen(uint32_t error) {
    std::lock_guard guard(lock_);
    openError_ = error;
}

Outcome ScriptedDevice::answer(IoRequest& request) {
    Answer answer;
    bool scripted = true;
    {
        std::lock_guard guard(lock_);
        RecordedRequest record;
        record.code = request.code();
        record.input.assign(request.input().begin(), request.input().end());
        record.inSize = request.inSize();
        record.outSize = request.outSize();
        record.thread = request.thread();
        requests_.push_back(std::move(record));
        if (!queue_.empty()) {
            answer = std::move(queue_.front());
            queue_.pop_front();
        } else if (auto it = byCode_.find(request.code()); it != byCode_.end()) {
            answer = it->second;
        } else {
            scripted = false;
        }
    }
    if (!scripted) {
        if (request.code() == kCancelCode)
            request.handle().cancelPending();
        return Outcome::success();
    }
    switch (answer.kind) {
        case Answer::Kind::Reply: {
            auto buffer = request.buffer();
            const size_t n = std::min(buffer.size(), answer.reply.size());
            std::copy_n(answer.reply.begin(), n, buffer.begin());
            return Outcome::success(static_cast<uint32_t>(answer.reply.size()));
        }
        case Answer::Kind::Fail:
            return Outcome::failure(answer.error);
        case Answer::Kind::Pend: {
            auto io = request.pend();
            std::lock_guard guard(lock_);
            pended_.push_back(io);
            return Outcome::pending();
        }
        case Answer::Kind::Custom:
            return answer.custom(request);
    }
    return Outcome::failure(kErrorInvalidFunction);
}

std::vector<RecordedRequest> ScriptedDevice::requests() const {
    std::lock_guard guard(lock_);
    return requests_;
}

size_t ScriptedDevice::requestCount() const {
    std::lock_guard guard(lock_);
    return requests_.size();
}

void ScriptedDevice::clearRequests() {
    std::lock_guard guard(lock_);
    requests_.clear();
}

std::vector<OpenParams> ScriptedDevice::opens() const {
    std::lock_guard guard(lock_);
    return opens_;
}

size_t ScriptedDevice::openHandles() const {
    std::lock_guard guard(lock_);
    return openHandles_;
}

size_t ScriptedDevice::pendingCount() const {
    std::lock_guard guard(lock_);
    return std::count_if(pended_.begin(), pended_.end(),
                         [](const auto& io) { return !io->completed(); });
}

bool ScriptedDevice::completeNext(uint32_t error, std::vector<uint8_t> reply) {
    std::shared_ptr<PendingIo> io;
    {
        std::lock_guard guard(lock_);
        while (!pended_.empty() && pended_.front()->completed())
            pended_.pop_front();
        if (pended_.empty())
            return false;
        io = pended_.front();
        pended_.pop_front();
    }
    auto buffer = io->buffer();
    std::copy_n(reply.begin(), std::min(buffer.size(), reply.size()), buffer.begin());
    return io->complete(error, static_cast<uint32_t>(reply.size()));
}

}  // namespace vsim
