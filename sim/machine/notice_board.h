// The notifications of a shared machine: a doorbell rung in one process
// ends the waits and signals the registered events of every process using
// the machine. Each raise is written to the store's notice ring; a thread in
// each process watches the ring and raises, on its own cards, what other
// processes raised. A private machine has no notice board.
#pragma once

#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "machine/state_layout.h"

namespace vsim::model {

class Card;
class MachineLock;

class NoticeBoard {
  public:
    // The board of the machine whose state `store` holds, locked by `lock`.
    NoticeBoard(std::shared_ptr<Store> store, std::shared_ptr<MachineLock> lock, Notices& notices);
    ~NoticeBoard();
    NoticeBoard(const NoticeBoard&) = delete;
    NoticeBoard& operator=(const NoticeBoard&) = delete;

    // Starts watching for the notifications of other processes.
    void watch(std::vector<std::weak_ptr<Card>> cards);
    // Tells the other processes that this one raised `notification` on `card`.
    void publish(uint32_t card, uint32_t notification);

  private:
    struct Watch;
    static void run(const std::shared_ptr<Watch>& watch, uint32_t seen);
    std::shared_ptr<Watch> watch_;
    std::thread thread_;
};

}  // namespace vsim::model
