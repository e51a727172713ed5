// Choosing and opening cards. A card is named by its index, by its serial
// ("serial:0x00A1B2C4") or by its device path (the interface path the
// library opens). Indexes shift when a card goes away, so a command that
// changes a card opens the card its selection names and reads the serial
// back from the open handle: the card it works on is the card that was
// named, or it refuses.
#pragma once

#include <kesta.h>
#include <veltra.h>

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tool {

// How a command line names a card.
struct Selection {
    enum class By { Index, Serial, Path };
    By by = By::Index;
    uint32_t index = 0;
    uint32_t serial = 0;
    std::string path;

    // "0", "0x1", "serial:0x00A1B2C4", "\\?\...": throws Usage for
    // anything else.
    static Selection parse(const std::string& text);
};

// A serial as a command line gives it ("0x00A1B2C4"): Usage naming `what`
// for anything that is not a number of 32 bits.
uint32_t parseSerial(const std::string& text, const std::string& what);

// The device paths of the cards there are, by index.
std::vector<std::string> interfacePaths();

// An open card, closed when the object goes.
class Card {
  public:
    // Card `index` as it is now.
    explicit Card(uint32_t index);
    // The same, or nothing when there is no card `index`.
    static std::optional<Card> tryOpen(uint32_t index);
    // The card a selection names, checked as the selection says: a card
    // named by serial or path is the card with that serial or at that path
    // once it is open; `expectSerial`, if given, must be its serial too.
    static Card select(const Selection& selection, std::optional<uint32_t> expectSerial = {});
    Card(Card&& other) noexcept;
    Card& operator=(Card&&) = delete;
    Card(const Card&) = delete;
    ~Card();

    VELTRA_HANDLE handle() const { return handle_; }
    uint32_t index() const { return index_; }
    // The card's information, read the first time it is asked for: its
    // serial and the counts of its records stay while it is open.
    const VELTRA_CARD_INFO_EX& info() const;
    uint32_t serial() const { return info().cardValue3; }
    // "card 1", for messages.
    std::string name() const;

  private:
    Card(uint32_t index, VELTRA_HANDLE handle) : handle_(handle), index_(index) {}
    void expect(uint32_t serial, const std::string& because) const;
    VELTRA_HANDLE handle_ = nullptr;
    uint32_t index_ = 0;
    mutable std::optional<VELTRA_CARD_INFO_EX> info_;
};

// The bridge device (KESTA) of a card: the same index as its VELTRA
// interface, checked against the card's serial after it is open.
class Bridge {
  public:
    explicit Bridge(const Card& card);
    ~Bridge();
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    KESTA_HANDLE handle() const { return handle_; }

  private:
    KESTA_HANDLE handle_ = nullptr;
};

// Every card there is now, open.
std::vector<Card> openAllCards();
// Why no card is there, in words: no driver, a simulated machine whose
// description failed, or every card gone.
std::string whyNoCards();

// The -c option, and --expect-serial for commands that change a card.
struct CardChoice {
    std::string selection;
    CLI::Option* option = nullptr;
    std::string expectSerial;

    bool given() const { return option != nullptr && option->count() > 0; }
    // The card named (a command that needs one).
    Card open() const;
    // The card named, or every card there is (a Failure if there is none).
    std::vector<Card> openEach() const;
};
void addCardOption(CLI::App& command, CardChoice& choice, bool required);

// What a command that changes a card takes: the card (and its expected
// serial), --yes for one that asks first, --wait for one that locks it.
struct Change {
    CardChoice card;
    bool yes = false;
    bool wait = false;
};
void addChangeOptions(CLI::App& command, Change& change, bool asks, bool locks);

}  // namespace tool
