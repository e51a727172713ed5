// A card's FPGAs, as its VELTRA interface answers: their information, and
// configuring them.
#include <algorithm>
#include <cstring>

#include "card/veltra_context.h"
#include "design/design_model.h"

namespace vsim::model {

// Reply: type code, family, speed grade, package code, JTAG identifier, the
// speed and temperature texts, and whether the FPGA is configured.
Outcome VeltraContext::fpgaInfo(IoRequest& rq) {
    const uint32_t index = rq.in<uint32_t>(0);
    if (index >= card_->config.fpgas.size())
        return driverStatus(status::kVeltraInvalidIndex);
    const FpgaConfig& f = card_->config.fpgas[index];
    rq.out<uint32_t>(0, f.typeCode);
    rq.out<uint32_t>(4, f.family);
    rq.out<uint32_t>(8, f.speedGrade);
    rq.out<uint32_t>(12, f.packageCode);
    rq.out<uint32_t>(16, f.idcode);
    auto text = rq.buffer();
    std::memcpy(text.data() + 20, f.speedText.c_str(), std::min<size_t>(7, f.speedText.size()));
    std::memcpy(text.data() + 28, f.temperatureText.c_str(),
                std::min<size_t>(7, f.temperatureText.size()));
    rq.out<uint8_t>(36, card_->configured(index) ? 1 : 0);
    return Outcome::success(40);
}

// Reads the configuration data from the caller's memory during the request.
// Data without the sync word never finishes configuring the FPGA.
Outcome VeltraContext::configure(IoRequest& rq) {
    const uint32_t index = rq.in<uint32_t>(0);
    const uint32_t flags = rq.in<uint32_t>(4);
    const auto* data = reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(rq.in<uint64_t>(8)));
    const uint64_t length = rq.in<uint64_t>(16);
    if (index >= card_->config.fpgas.size())
        return driverStatus(status::kVeltraInvalidIndex);
    if (flags != 0)
        return driverStatus(status::kVeltraInvalidFlag);
    if (data == nullptr && length != 0)
        return driverStatus(status::kVeltraInvalidBuffer);
    static constexpr uint8_t kSyncWord[4] = {0xAA, 0x99, 0x55, 0x66};
    bool synced =
        length >= 4 && std::search(data, data + length, kSyncWord, kSyncWord + 4) != data + length;
    // The design starts: its model may refuse the data, and a model that
    // could not be loaded never starts.
    if (synced && card_->configureFault(index))
        synced = false;
    if (synced)
        synced = card_->design().configure(index, data, length);
    card_->setConfigured(index, synced);
    if (!synced) {
        card_->raiseError(DeviceError::Configuration);
        return driverStatus(status::kVeltraHardwareError);
    }
    card_->raiseInterrupt();  // "configuration done"
    return Outcome::success();
}

Outcome VeltraContext::unconfigure(IoRequest& rq) {
    const uint32_t index = rq.in<uint32_t>(0);
    if (index >= card_->config.fpgas.size())
        return driverStatus(status::kVeltraInvalidIndex);
    if (rq.in<uint32_t>(4) != 0)
        return driverStatus(status::kVeltraInvalidFlag);
    card_->setConfigured(index, false);
    card_->design().unconfigure(index);
    return Outcome::success();
}

}  // namespace vsim::model
