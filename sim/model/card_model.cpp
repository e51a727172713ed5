#include "card_model.h"

#include <algorithm>
#include <cstring>

#include "dma_engine.h"
#include "notifications.h"
#include "statuses.h"
#include "vsim/cards.h"

namespace vsim {

std::shared_ptr<Machine> makeDefaultMachine() {
    return model::makeMachine(2);
}

namespace model {

Card::Card(uint32_t index, CardConfig config) : index(index), config(std::move(config)) {
    // Windows and common buffers are mapped into processes; the card-memory
    // window shows the memory that DMA reaches.
    cardMemory_ = std::make_shared<Memory>(this->config.cardMemorySize, true);
    for (const auto& w : this->config.windows) {
        windowMemory_.push_back((w.attributes & kWindowCardMemory)
                                    ? cardMemory_
                                    : std::make_shared<Memory>(w.size, true));
    }
    for (const auto& b : this->config.commonBuffers)
        commonBuffers_.push_back(std::make_unique<Memory>(b.size, true));
    configured_ = std::make_unique<std::atomic<bool>[]>(this->config.fpgas.size());
    for (const auto& f : this->config.flash)
        flash_.push_back(std::make_unique<Memory>(f.size));
    vpd_ = std::make_unique<Memory>(kVpdSize);
    std::memcpy(vpd_->data(), this->config.vpdRecord.data(),
                std::min<size_t>(kVpdSize, this->config.vpdRecord.size()));
    clocks_ = std::make_unique<std::atomic<int64_t>[]>(this->config.clocks.size());
    for (size_t i = 0; i < this->config.clocks.size(); ++i)
        clocks_[i].store(this->config.clocks[i].frequency);
    notifications_ = std::make_unique<Notifications>();
    dma_ = std::make_unique<DmaEngine>(*cardMemory_, this->config.dmaChannels);
}

Card::~Card() = default;

uint32_t LockedBuffers::lock(const void* owner, uint8_t* base, uint64_t length) {
    std::lock_guard guard(lock_);
    uint32_t handle = next_++;
    if (handle == 0)  // 0 names no buffer: skip it when the count wraps
        handle = next_++;
    buffers_[handle] = {owner, base, length};
    return handle;
}

uint32_t LockedBuffers::verdict(const void* owner,
                                std::map<uint32_t, Buffer>::const_iterator found) const {
    if (found == buffers_.end())
        return status::kVeltraInvalidBufferHandle;
    return found->second.owner == owner ? 0 : status::kVeltraNotOwner;
}

uint32_t LockedBuffers::unlock(const void* owner, uint32_t handle) {
    std::lock_guard guard(lock_);
    const auto found = buffers_.find(handle);
    const uint32_t error = verdict(owner, found);
    if (error == 0)
        buffers_.erase(found);
    return error;
}

uint32_t LockedBuffers::find(const void* owner, uint32_t handle, Buffer& buffer) const {
    std::lock_guard guard(lock_);
    const auto found = buffers_.find(handle);
    const uint32_t error = verdict(owner, found);
    if (error == 0)
        buffer = found->second;
    return error;
}

void LockedBuffers::release(const void* owner) {
    std::lock_guard guard(lock_);
    std::erase_if(buffers_, [owner](const auto& entry) { return entry.second.owner == owner; });
}

// Card 0: four windows (a 1 MiB scratch memory, 64 MiB of card memory, the
// 4 KiB doorbell page and a 256 KiB buffer), two memory banks, two modules,
// two common buffers. Card 1: three windows (32 MiB of card memory), one
// bank, one module, one common buffer.
CardConfig defaultCardConfig(uint32_t index) {
    const uint64_t bus = 0xF0000000ull + uint64_t{index} * 0x08000000ull;
    const uint64_t buffers = 0x100000000ull + uint64_t{index} * 0x10000000ull;
    CardConfig c;
    c.bridge = {0x5645000000000000ull | (0x00A1B2C3ull + index) << 8 | (0x42 + index),
                20261107 + index,
                3,
                1,
                static_cast<uint8_t>(index),
                0x00010203,
                0x5A5A0000u | index,
                64ull << 20};
    c.boardId = index == 0 ? 0x7038 : 0x8115;
    c.revision = 2 + index;
    c.serial = 0x00A1B2C3 + index;
    c.dmaChannels = 2;
    c.clocks = {{false, 100000000, 0, 0, 0}, {true, 250000000, 10000000, 800000000, 1000}};
    c.sensors = {
        {SensorKind::Temperature, "FPGA die temperature (C)", 1, 1, 45, 0, 0, 100000},
        {SensorKind::Voltage, "VCCINT supply voltage (V)", 1, 2, 0, 0xF333, 900, 1000},
        {SensorKind::Fan, "Fan speed (RPM)", 0, 3, 4200, 0, 1000000, 10000000},
        {SensorKind::Alarms, "Alarm flags", 2, 0, 0, 0, 0, 0},
    };
    c.pcieLinkWidth = 8;
    c.pcieLinkSpeed = 3;
    if (index == 0) {
        // A Numonyx P30 with four 32 KiB parameter blocks at the top.
        c.flash = {{0x0089, 0x8962, 64ull << 20, 128 << 10, 32 << 10, 4, true, 16}};
        c.vpdRecord = "VPD1\nMODEL=VELTRA V690 Accelerator\nSERIAL=VS7038A1B2C3\nREVISION=2\n";
        // A 7vx690t in an ffg1157 package.
        c.fpgas = {{260, 7, 0x46460000u | 1157, 2, 0x03691093, "-2", "I"}};
        c.cardMemorySize = 64ull << 20;
        c.windows = {
            {1ull << 20, bus, 0x00000000, kWindowPrefetchable},
            {64ull << 20, bus + 0x04000000, 0x00000000, kWindowPrefetchable | kWindowCardMemory},
            {4096, bus + 0x00100000, 0x80000000, kWindowDoorbell},
            {256ull << 10, bus + 0x00200000, 0x90000000, kWindowPrefetchable},
        };
        c.banks = {{0x000000000, 2ull << 30, 2400, 72, 2, 17, 0x2C, true},
                   {0x080000000, 2ull << 30, 2400, 72, 2, 17, 0x2C, true}};
        c.modules = {
            {"VELTRA", "QSFP28-100G-SR4", "VS0000A101", "A1", 35, 0x8000, 0x00A0C9, 100000, true},
            {"VELTRA", "QSFP28-100G-SR4", "VS0000A102", "A1", 36, 0x4000, 0x00A0C9, 100000, true}};
        c.commonBuffers = {{1ull << 20, 0xCB000000, buffers},
                           {256ull << 10, 0xCB000001, buffers + 0x00100000}};
    } else {
        // A chip outside the library's name table, uniform 128 KiB blocks.
        c.flash = {{0x0020, 0x227E, 32ull << 20, 128 << 10, 0, 0, false, 16}};
        c.vpdRecord = "VPD1\nMODEL=VELTRA KU115 Accelerator\nSERIAL=VS8115A1B2C4\nREVISION=3\n";
        // A ku115 in an flvb2104 package.
        c.fpgas = {{326, 8, 0x4C420000u | 2104, 2, 0x04A62093, "-2", "E"}};
        c.cardMemorySize = 32ull << 20;
        c.windows = {
            {1ull << 20, bus, 0x00000000, kWindowPrefetchable},
            {32ull << 20, bus + 0x04000000, 0x00000000, kWindowPrefetchable | kWindowCardMemory},
            {4096, bus + 0x00100000, 0x80000000, kWindowDoorbell},
        };
        c.banks = {{0x000000000, 4ull << 30, 2666, 64, 1, 19, 0x80, false}};
        c.modules = {{"VELTRA", "SFP28-25G-LR", "VS0000B201", "B0", 41, 0, 0x00A0C9, 25000, true}};
        c.commonBuffers = {{512ull << 10, 0xCB000100 | index, buffers}};
    }
    return c;
}

namespace {

// A machine of simulated cards, which keeps its cards reachable for the
// controls that tests and tools use.
class CardMachine : public Machine {
  public:
    std::vector<std::shared_ptr<Card>> cards;
};

std::shared_ptr<Card> currentCard(uint32_t index) {
    auto machine = std::dynamic_pointer_cast<CardMachine>(currentMachine());
    if (machine == nullptr || index >= machine->cards.size())
        return nullptr;
    return machine->cards[index];
}

}  // namespace

std::shared_ptr<Machine> makeMachine(uint32_t cards) {
    auto machine = std::make_shared<CardMachine>();
    for (uint32_t i = 0; i < cards; ++i) {
        auto card = std::make_shared<Card>(i, defaultCardConfig(i));
        machine->add(kVeltraInterface, "veltra", std::make_shared<VeltraDevice>(card));
        machine->add(kKestaInterface, "kesta", std::make_shared<KestaDevice>(card));
        machine->cards.push_back(std::move(card));
    }
    return machine;
}

}  // namespace model

bool pauseDmaChannel(uint32_t card, uint32_t channel, bool paused) {
    auto c = model::currentCard(card);
    if (c == nullptr || channel >= c->dma().channels())
        return false;
    c->dma().pause(channel, paused);
    return true;
}

bool raiseNotification(uint32_t card, uint32_t notification) {
    auto c = model::currentCard(card);
    if (c == nullptr)
        return false;
    c->notifications().raise(notification);
    return true;
}
}  // namespace vsim
