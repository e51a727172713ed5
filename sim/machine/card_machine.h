// A machine of simulated cards, as the environment describes it: the cards,
// the store that holds their memories and state, and the machine's lock.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "card/card.h"
#include "machine/machine_lock.h"
#include "vsim/driver.h"

namespace vsim::model {

// The machine keeps its cards reachable for the controls that tests and
// tools use.
class CardMachine : public Machine {
  public:
    std::vector<std::shared_ptr<Card>> cards;
    std::shared_ptr<Store> store;
    std::shared_ptr<MachineLock> lock;
    std::string stateFile;  // empty for a private machine
    std::string problem;    // why the machine has no cards, or why its state is private
};

// The machine the environment chooses (VELTRA_SIM_MACHINE, or the default
// machine), its state in the folder VELTRA_SIM_STATE chooses. Each card
// exposes one VELTRA and one KESTA interface at its index. A description
// that cannot be read gives a machine without cards, and the reason on
// stderr and in machineProblem().
std::shared_ptr<Machine> makeMachine();

// The current machine, if it is a machine of cards, and one of its cards.
std::shared_ptr<CardMachine> currentCardMachine();
std::shared_ptr<Card> currentCard(uint32_t index);

// Arms each fault on its card; stops at the first that does not fit.
bool armFaults(CardMachine& machine, const std::vector<FaultSpec>& faults, std::string& problem);

// Reads a description file (a small regular file) whole.
bool readDescriptionFile(const std::string& path, std::string& text, std::string& problem);
// The file's name without its folder and its last extension.
std::string stem(const std::string& path);

}  // namespace vsim::model
