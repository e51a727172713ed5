// A card's board services: flash, VPD, clock generators, sensors and the
// device-error status, as the driver answers their requests.
#include "card/board_services.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "card/driver_statuses.h"

namespace vsim::model::board {
namespace {

bool isBlockStart(const FlashConfig& f, uint64_t offset) {
    return offset == f.size || flashBlockAt(f, offset).start == offset;
}

// The bank of a flash request, or a failure.
const FlashConfig* flashBank(Card& card, uint32_t index, Outcome& failure) {
    if (index >= card.config.flash.size()) {
        failure = driverStatus(status::kVeltraInvalidIndex);
        return nullptr;
    }
    return &card.config.flash[index];
}

template <typename T>
T* callerBuffer(IoRequest& rq, size_t offset) {
    return reinterpret_cast<T*>(static_cast<uintptr_t>(rq.in<uint64_t>(offset)));
}

}  // namespace

// Reply: total size, main block size, bus width; the JEDEC identifiers.
Outcome flashInfo(Card& card, IoRequest& rq) {
    Outcome failure;
    const uint32_t bank = rq.in<uint32_t>(0);  // before the reply covers it
    const FlashConfig* f = flashBank(card, bank, failure);
    if (f == nullptr)
        return failure;
    rq.out<uint64_t>(0, f->size);
    rq.out<uint64_t>(8, f->blockSize);
    rq.out<uint64_t>(16, f->busWidth);
    uint16_t vendor = f->vendor, device = f->device;
    card.flashIdFault(bank, vendor, device);
    rq.out<uint16_t>(24, vendor);
    rq.out<uint16_t>(26, device);
    return Outcome::success(32);
}

// Reply: the block's start, its size and its flags (bit 0: parameter block).
Outcome flashBlockInfo(Card& card, IoRequest& rq) {
    Outcome failure;
    const FlashConfig* f = flashBank(card, rq.in<uint32_t>(8), failure);
    if (f == nullptr)
        return failure;
    const uint64_t offset = rq.in<uint64_t>(0);
    if (offset >= f->size)
        return driverStatus(status::kVeltraInvalidRegion);
    const FlashBlock b = flashBlockAt(*f, offset);
    rq.out<uint64_t>(0, b.start);
    rq.out<uint64_t>(8, b.size);
    rq.out<uint32_t>(16, b.flags);
    return Outcome::success(24);
}

// Whole blocks go back to all ones.
Outcome eraseFlash(Card& card, IoRequest& rq) {
    const uint32_t index = rq.in<uint32_t>(0);
    Outcome failure;
    const FlashConfig* f = flashBank(card, index, failure);
    if (f == nullptr)
        return failure;
    if (rq.in<uint32_t>(4) != 0)
        return driverStatus(status::kVeltraInvalidFlag);
    const uint64_t offset = rq.in<uint64_t>(8);
    const uint64_t length = rq.in<uint64_t>(16);
    if (!card.flashMemory(index).contains(offset, length) || !isBlockStart(*f, offset) ||
        !isBlockStart(*f, offset + length))
        return driverStatus(status::kVeltraInvalidRegion);
    if (card.flashFault(true, index, offset, length))
        return driverStatus(status::kVeltraHardwareError);
    auto guard = card.lockMachine();
    card.beginFlashChange();
    std::memset(card.flashMemory(index).data() + offset, 0, length);  // stored inverted
    card.endFlashChange();
    return Outcome::success();
}

// A read returns the contents; a write can only clear bits, as NOR flash
// does: the result is the old contents AND the new.
Outcome transferFlash(Card& card, IoRequest& rq, bool write) {
    const uint32_t index = rq.in<uint32_t>(0);
    Outcome failure;
    const FlashConfig* f = flashBank(card, index, failure);
    if (f == nullptr)
        return failure;
    if (rq.in<uint32_t>(4) != 0)
        return driverStatus(status::kVeltraInvalidFlag);
    const uint64_t offset = rq.in<uint64_t>(8);
    const uint64_t length = rq.in<uint64_t>(16);
    auto* buffer = callerBuffer<uint8_t>(rq, 24);
    if (!card.flashMemory(index).contains(offset, length))
        return driverStatus(status::kVeltraInvalidRegion);
    if (length != 0 && buffer == nullptr)
        return driverStatus(status::kVeltraInvalidBuffer);
    if (write && card.flashFault(false, index, offset, length))
        return driverStatus(status::kVeltraHardwareError);
    uint8_t* stored = card.flashMemory(index).data() + offset;
    auto guard = card.lockMachine();
    if (write)
        card.beginFlashChange();
    for (uint64_t i = 0; i < length; ++i) {
        if (write)
            stored[i] |= static_cast<uint8_t>(~buffer[i]);  // inverted: AND of the true values
        else
            buffer[i] = static_cast<uint8_t>(~stored[i]);
    }
    if (write)
        card.endFlashChange();
    return Outcome::success();
}

Outcome readFlash(Card& card, IoRequest& rq) {
    return transferFlash(card, rq, false);
}

Outcome writeFlash(Card& card, IoRequest& rq) {
    return transferFlash(card, rq, true);
}

// The bank's bytes go through to the state file (a private machine's
// memory has nowhere to go).
Outcome syncFlash(Card& card, IoRequest& rq) {
    const uint32_t index = rq.in<uint32_t>(0);
    Outcome failure;
    if (flashBank(card, index, failure) == nullptr)
        return failure;
    if (rq.in<uint32_t>(4) != 0)
        return driverStatus(status::kVeltraInvalidFlag);
    card.syncFlash(index);
    return Outcome::success();
}

Outcome transferVpd(Card& card, IoRequest& rq, bool write) {
    const uint64_t offset = rq.in<uint64_t>(0);
    const uint64_t length = rq.in<uint64_t>(8);
    auto* buffer = callerBuffer<uint8_t>(rq, 16);
    if (rq.in<uint32_t>(24) != 0)
        return driverStatus(status::kVeltraInvalidFlag);
    if (!card.vpd().contains(offset, length))
        return driverStatus(status::kVeltraInvalidRegion);
    if (length == 0)
        return Outcome::success();
    if (buffer == nullptr)
        return driverStatus(status::kVeltraInvalidBuffer);
    uint8_t* vpd = card.vpd().data() + offset;
    auto guard = card.lockMachine();
    if (write) {
        // The VPD's memory keeps what is written at once, power or not.
        std::memmove(vpd, buffer, length);
        card.syncVpd();
    } else {
        std::memmove(buffer, vpd, length);
    }
    return Outcome::success();
}

Outcome readVpd(Card& card, IoRequest& rq) {
    return transferVpd(card, rq, false);
}

Outcome writeVpd(Card& card, IoRequest& rq) {
    return transferVpd(card, rq, true);
}

// Frequencies in hertz.
Outcome clockFrequency(Card& card, IoRequest& rq) {
    const uint32_t index = rq.in<uint32_t>(0);
    if (index >= card.config.clocks.size())
        return driverStatus(status::kVeltraInvalidIndex);
    rq.out<int64_t>(0, card.clockFrequency(index).load());
    return Outcome::success(8);
}

// A programmable generator runs at the nearest multiple of its resolution.
Outcome setClockFrequency(Card& card, IoRequest& rq) {
    const uint32_t index = rq.in<uint32_t>(0);
    if (index >= card.config.clocks.size())
        return driverStatus(status::kVeltraInvalidIndex);
    const ClockConfig& c = card.config.clocks[index];
    if (!c.programmable)
        return driverStatus(status::kVeltraNotSupported);
    if (rq.in<uint32_t>(4) != 0)
        return driverStatus(status::kVeltraInvalidFlag);
    if (card.clockFault(index))
        return driverStatus(status::kVeltraHardwareError);
    const int64_t requested = rq.in<int64_t>(8);
    if (requested < c.minimum || requested > c.maximum)
        return driverStatus(status::kVeltraInvalidFrequency);
    // Within the range even where its ends are not multiples of the step.
    const int64_t actual =
        std::clamp((requested + c.step / 2) / c.step * c.step, c.minimum, c.maximum);
    card.clockFrequency(index).store(actual);
    rq.out<int64_t>(0, actual);
    return Outcome::success(8);
}

// Reply: description, datatype, nominal value (16.16), unit, and the lower
// and upper limits in thousandths of the unit.
Outcome sensorInfo(Card& card, IoRequest& rq) {
    const uint32_t index = rq.in<uint32_t>(0);
    if (index >= card.config.sensors.size())
        return driverStatus(status::kVeltraInvalidIndex);
    const SensorConfig& s = card.config.sensors[index];
    auto out = rq.buffer();
    std::memset(out.data(), 0, 28);
    std::memcpy(out.data(), s.description.c_str(), std::min<size_t>(27, s.description.size()));
    rq.out<uint32_t>(28, s.datatype);
    rq.out<int16_t>(32, s.nominalWhole);
    rq.out<uint16_t>(34, s.nominalFraction);
    rq.out<uint32_t>(36, s.unit);
    rq.out<uint32_t>(40, s.lowerLimit);
    rq.out<uint32_t>(44, s.upperLimit);
    return Outcome::success(48);
}

// The n-th reading of a card, in 32.32 fixed point.
int64_t reading(const SensorReading& r, uint32_t n) {
    switch (r.kind) {
        case SensorReading::Kind::Ramp:
            return r.value + r.step * static_cast<int64_t>(n % r.steps);
        case SensorReading::Kind::Noise: {
            // A fixed sequence of numbers that look random, within the amplitude.
            uint64_t x = (n + 1) * 0x9E3779B97F4A7C15ull;
            x = (x ^ (x >> 31)) * 0xBF58476D1CE4E5B9ull;
            x ^= x >> 29;
            const double unit = static_cast<double>(x >> 11) / 9007199254740992.0;  // [0, 1)
            return r.value + static_cast<int64_t>((2 * unit - 1) * static_cast<double>(r.step));
        }
        default:
            return r.value;
    }
}

// Reply: the reading as a whole part and a fraction of 2^32, and the datatype.
Outcome readSensor(Card& card, IoRequest& rq) {
    const uint32_t index = rq.in<uint32_t>(0);
    if (index >= card.config.sensors.size())
        return driverStatus(status::kVeltraInvalidIndex);
    const SensorConfig& s = card.config.sensors[index];
    const uint32_t n = card.nextReading();
    uint32_t whole = 0, fraction = 0;
    if (s.reading.kind == SensorReading::Kind::Alarms) {
        whole = card.errorWord(static_cast<int>(DeviceError::Sensor));
    } else {
        int64_t set = 0;
        if (card.sensorAlarm(index)) {
            // Over the upper limit by a tenth of it (at least one unit).
            const double limit = s.upperLimit / 1000.0;
            set = fixed32(limit + std::max(1.0, limit / 10));
        } else if (!card.sensorSet(index, set)) {
            set = reading(s.reading, n);
        }
        const auto value = static_cast<uint64_t>(set);
        whole = static_cast<uint32_t>(value >> 32);
        fraction = static_cast<uint32_t>(value);
    }
    rq.out<uint32_t>(0, whole);
    rq.out<uint32_t>(4, fraction);
    rq.out<uint32_t>(8, s.datatype);
    return Outcome::success(12);
}

// Reply: the five error words (configuration, DMA, flash, bus, sensors).
Outcome deviceStatus(Card& card, IoRequest& rq) {
    if (rq.in<uint32_t>(0) != 0)
        return driverStatus(status::kVeltraInvalidFlag);
    // A flash change found begun is either under way (the lock waits for its
    // end) or interrupted (taking the lock reports it); either way the words
    // are read after it.
    if (card.flashChangeBegun()) {
        auto guard = card.lockMachine();
    }
    for (int w = 0; w < 5; ++w)
        rq.out<uint32_t>(4 * w, card.errorWord(w));
    return Outcome::success(20);
}

Outcome clearDeviceErrors(Card& card, IoRequest&) {
    card.clearErrors();
    return Outcome::success();
}

}  // namespace vsim::model::board
