#include "card/card.h"

#include "card/dma_engine.h"
#include "card/notifications.h"
#include "design/design_model.h"
#include "machine/notice_board.h"
#include "machine/state_layout.h"

namespace vsim::model {

Card::Card(uint32_t index, CardConfig config, std::shared_ptr<Store> store,
           std::shared_ptr<MachineLock> lock, CardState& state, const CardLayout& layout)
    : index(index),
      config(std::move(config)),
      store_(std::move(store)),
      lock_(std::move(lock)),
      state_(state),
      cardMemory_(*store_, layout.cardMemory, this->config.cardMemorySize),
      vpd_(*store_, layout.vpd, this->config.vpdSize) {
    for (size_t w = 0; w < this->config.windows.size(); ++w) {
        windowMemory_.emplace_back(*store_, layout.windows[w], this->config.windows[w].size);
        watchShadows_.emplace_back(
            *store_, layout.watchShadows[w],
            this->config.windows[w].watched ? this->config.windows[w].size : 0);
    }
    for (size_t b = 0; b < this->config.commonBuffers.size(); ++b)
        commonBuffers_.emplace_back(*store_, layout.commonBuffers[b],
                                    this->config.commonBuffers[b].size);
    for (size_t f = 0; f < this->config.flash.size(); ++f)
        flash_.emplace_back(*store_, layout.flash[f], this->config.flash[f].size);
    notifications_ = std::make_unique<Notifications>();
    design_ = std::make_unique<DesignModel>(*this, this->config.model);
    removalsSeen_.store(state_.faults.removals.load());
    dma_ = std::make_unique<DmaEngine>(cardMemory_, this->config.dmaChannels,
                                       this->config.dmaBandwidth, this->config.dmaLatencyNs);
    dma_->setMovedHook([this](uint32_t channel, const DmaEngine::Transfer& t) {
        design_->dmaDone(channel, t.toCard, t.local, t.length);
    });
    dma_->setFaultHooks(
        [this](uint32_t channel, const DmaEngine::Transfer& t) {
            return dmaFault(channel, t.length);
        },
        [this] { return dmaBandwidth(); });
}

Card::~Card() = default;

void Card::raiseNotification(uint32_t notification) {
    notifications_->raise(notification);
    if (noticeBoard_ != nullptr)
        noticeBoard_->publish(index, notification);
}

void Card::beginFlashChange() {
    state_.flashChanging.store(1);
}

bool Card::flashChangeBegun() const {
    return state_.flashChanging.load(std::memory_order_relaxed) != 0;
}

void Card::endFlashChange() {
    state_.flashChanging.store(0);
}

void Card::syncFlash(size_t b) {
    store_->sync(flash_[b].offset(), flash_[b].size());
}

void Card::syncVpd() {
    store_->sync(vpd_.offset(), vpd_.size());
}

void Card::raiseInterrupt() {
    state_.interrupt.store(1);
}
bool Card::takeInterrupt() {
    return state_.interrupt.exchange(0) != 0;
}
Iprog& Card::iprog(size_t slot) {
    return state_.iprog[slot];
}
std::atomic<int64_t>& Card::clockFrequency(size_t c) {
    return state_.clocks[c];
}
uint32_t Card::nextReading() {
    return state_.readings.fetch_add(1);
}
void Card::raiseError(DeviceError e) {
    state_.errors[static_cast<int>(e)].fetch_or(1);
}
void Card::raiseErrorBits(DeviceError e, uint32_t bits) {
    state_.errors[static_cast<int>(e)].fetch_or(bits);
}
void Card::setSensor(size_t sensor, int64_t value) {
    state_.sensorValue[sensor].store(value);
    state_.sensorsSet.fetch_or(uint64_t{1} << sensor);
}
bool Card::sensorSet(size_t sensor, int64_t& value) const {
    if ((state_.sensorsSet.load() & (uint64_t{1} << sensor)) == 0)
        return false;
    value = state_.sensorValue[sensor].load();
    return true;
}
uint32_t Card::errorWord(int w) const {
    return state_.errors[w].load();
}
void Card::clearErrors() {
    for (auto& e : state_.errors)
        e.store(0);
}
std::atomic<uint64_t>& Card::windowWatcher(size_t w) {
    return state_.windowWatcher[w];
}
bool Card::configured(size_t fpga) const {
    return state_.configured[fpga].load() != 0;
}
void Card::setConfigured(size_t fpga, bool value) {
    state_.configured[fpga].store(value ? 1 : 0);
}

void Card::powerCycle() {
    {
        auto guard = lockMachine();
        for (const Region& m : windowMemory_)
            if (m.offset() != cardMemory_.offset())  // card-memory windows are cleared below
                store_->clear(m.offset(), m.size());
        for (const Region& m : watchShadows_)
            if (m.size() != 0)
                store_->clear(m.offset(), m.size());
        store_->clear(cardMemory_.offset(), cardMemory_.size());
        for (const Region& m : commonBuffers_)
            store_->clear(m.offset(), m.size());
        powerOn(state_, config);
    }
    design_->powerCycled();
}

}  // namespace vsim::model
