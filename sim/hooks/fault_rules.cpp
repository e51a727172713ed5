#include "vsim/fault_rules.h"

namespace vsim {

void FaultRules::clear() {
    std::lock_guard guard(lock_);
    rules_.clear();
    armed_.store(recording_, std::memory_order_relaxed);
}

void FaultRules::startRecording() {
    std::lock_guard guard(lock_);
    log_.clear();
    recording_ = true;
    armed_.store(true, std::memory_order_relaxed);
}

size_t FaultRules::recorded(const char* call, uint32_t thread, bool onThread) {
    std::lock_guard guard(lock_);
    return static_cast<size_t>(std::count_if(log_.begin(), log_.end(), [&](const auto& e) {
        return std::strcmp(e.first, call) == 0 && (e.second == thread) == onThread;
    }));
}

std::vector<std::pair<const char*, uint32_t>> FaultRules::stopRecording() {
    std::lock_guard guard(lock_);
    recording_ = false;
    armed_.store(!rules_.empty(), std::memory_order_relaxed);
    return std::exchange(log_, {});
}

bool FaultRules::shouldFail(const char* call, uint32_t thread, uint32_t& error, bool& endThread) {
    std::lock_guard guard(lock_);
    if (recording_ && log_.size() < kMaxRecorded)
        log_.emplace_back(call, thread);
    for (auto it = rules_.begin(); it != rules_.end(); ++it) {
        if (it->call != call || (it->byThread && (it->thread == thread) == it->offThread))
            continue;
        if (it->byThread && it->remaining == 0) {
            error = it->error;
            endThread = false;
            return true;
        }
        if (--it->remaining == 0) {
            error = it->error;
            endThread = it->endThread;
            rules_.erase(it);
            armed_.store(recording_ || !rules_.empty(), std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

void FaultRules::add(Rule rule) {
    std::lock_guard guard(lock_);
    rules_.push_back(std::move(rule));
    armed_.store(true, std::memory_order_relaxed);
}

void DebugCapture::add(const char* text) {
    std::lock_guard guard(lock_);
    if (lines_.size() >= kMaxLines)
        lines_.pop_front();
    lines_.emplace_back(text);
}

void DebugCapture::read(void (*sink)(void*, const char*), void* context) {
    std::vector<std::string> copy;
    {
        std::lock_guard guard(lock_);
        copy.assign(lines_.begin(), lines_.end());
    }
    for (const auto& line : copy)
        sink(context, line.c_str());
}

void DebugCapture::clear() {
    std::lock_guard guard(lock_);
    lines_.clear();
}

}  // namespace vsim
