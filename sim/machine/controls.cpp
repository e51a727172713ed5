// The controls of the simulated cards that tests and tools use, and their C
// names for tools that find the simulator at run time.
#include <algorithm>
#include <cstring>

#include "card/dma_engine.h"
#include "machine/card_machine.h"
#include "machine/description.h"
#include "vsim/cards.h"

namespace vsim {

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
    c->raiseNotification(notification);
    return true;
}
bool powerCycle(uint32_t card) {
    auto c = model::currentCard(card);
    if (c == nullptr)
        return false;
    c->powerCycle();
    return true;
}

bool applyFaults(const std::string& text, std::string& problem) {
    auto machine = model::currentCardMachine();
    std::vector<model::FaultSpec> faults;
    if (machine == nullptr) {
        problem = "no simulated machine";
        return false;
    }
    return model::parseFaults(text, "the faults", faults, problem) &&
           model::armFaults(*machine, faults, problem);
}

bool clearFaults(uint32_t card) {
    auto machine = model::currentCardMachine();
    if (machine == nullptr || (card != kEveryCard && card >= machine->cards.size()))
        return false;
    for (const auto& c : machine->cards)
        if (card == kEveryCard || c->index == card)
            c->clearFaults();
    return true;
}

std::string describeFaults() {
    auto machine = model::currentCardMachine();
    std::string lines;
    if (machine != nullptr)
        for (const auto& c : machine->cards)
            lines += c->describeFaults();
    return lines;
}

std::string machineProblem() {
    auto machine = model::currentCardMachine();
    return machine != nullptr ? machine->problem : "";
}

std::string machineStateFile() {
    auto machine = model::currentCardMachine();
    return machine != nullptr ? machine->stateFile : "";
}

bool checkMachineDescription(const std::string& path, std::string& problem) {
    std::string text;
    model::MachineDescription machine;
    return model::readDescriptionFile(path, text, problem) &&
           model::parseMachineDescription(text, path, model::stem(path), machine, problem);
}

}  // namespace vsim

extern "C" void vsimHoldMachineLock(void) {
    auto machine = vsim::model::currentCardMachine();
    if (machine != nullptr && machine->lock != nullptr)
        machine->lock->lock();
}

extern "C" void vsimInterruptFlashChange(uint32_t card) {
    auto machine = vsim::model::currentCardMachine();
    if (machine == nullptr || machine->lock == nullptr || card >= machine->cards.size())
        return;
    machine->lock->lock();
    machine->cards[card]->beginFlashChange();
}

namespace {

void copyText(const std::string& text, char* buffer, size_t size) {
    if (buffer == nullptr || size == 0)
        return;
    const size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
}

}  // namespace

extern "C" int vsimCardOfSerial(uint32_t serial, uint32_t* card) {
    auto machine = vsim::model::currentCardMachine();
    if (machine == nullptr || card == nullptr)
        return 0;
    for (const auto& c : machine->cards)
        if (c->config.serial == serial) {
            *card = c->index;
            return 1;
        }
    return 0;
}

extern "C" int vsimClockRange(uint32_t card, uint32_t clock, double* minimum, double* maximum) {
    auto c = vsim::model::currentCard(card);
    if (c == nullptr || clock >= c->config.clocks.size() || minimum == nullptr ||
        maximum == nullptr || !c->config.clocks[clock].programmable)
        return 0;
    *minimum = static_cast<double>(c->config.clocks[clock].minimum);
    *maximum = static_cast<double>(c->config.clocks[clock].maximum);
    return 1;
}

extern "C" int vsimPowerCycle(uint32_t card) {
    return vsim::powerCycle(card) ? 1 : 0;
}

extern "C" int vsimArmCardFaults(const char* text, char* problem, size_t size) {
    std::string why;
    const bool good = text != nullptr && vsim::applyFaults(text, why);
    copyText(why, problem, size);
    return good ? 1 : 0;
}

extern "C" int vsimClearCardFaults(uint32_t card) {
    return vsim::clearFaults(card) ? 1 : 0;
}

extern "C" int vsimCardFaults(char* text, size_t size) {
    copyText(vsim::describeFaults(), text, size);
    return 1;
}

extern "C" int vsimCheckMachineDescription(const char* path, char* problem, size_t size) {
    std::string text;
    const bool good = path != nullptr && vsim::checkMachineDescription(path, text);
    copyText(text, problem, size);
    return good ? 1 : 0;
}

extern "C" int vsimMachineState(char* file, size_t fileSize, char* problem, size_t problemSize) {
    copyText(vsim::machineStateFile(), file, fileSize);
    copyText(vsim::machineProblem(), problem, problemSize);
    return 1;
}
