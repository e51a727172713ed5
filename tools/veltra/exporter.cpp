#include "exporter.h"

#include <veltra.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <condition_variable>
#include <optional>
#include <set>
#include <thread>

#include "card_lock.h"
#include "errors.h"
#include "records.h"
#include "text.h"

namespace tool::exporter {

namespace {

// The families in the order they are written; kMetrics below is in the
// same order.
enum Family : size_t {
    kCardInfo,
    kCardUp,
    kCardDownReason,
    kCards,
    kPcieWidth,
    kPcieGeneration,
    kFpgaConfigured,
    kSensorValue,
    kSensorLow,
    kSensorHigh,
    kSensorAlarm,
    kClockFrequency,
    kDeviceStatus,
    kDeviceError,
    kFlashUpdatePending,
    kFlashSize,
    kCardMemory,
    kDmaChannels,
    kScrapeDuration,
    kScrapeErrors,
    kBuildInfo,
    kFamilies
};

constexpr Metric kMetrics[] = {
    {"veltra_card_info", "gauge",
     "A card's identity in its labels (board id, revision, driver and library versions); "
     "always 1."},
    {"veltra_card_up", "gauge",
     "1 if the card answered this scrape in time; 0 if it could not be opened, did not answer "
     "in time or went away."},
    {"veltra_card_down_reason", "gauge",
     "1 for a card that is down, with why in its reason label: cannot be opened, timed out, "
     "a reading failed, went away (no card the host lists is this card now), not found (no "
     "card listed has the serial asked for)."},
    {"veltra_cards", "gauge", "The cards the host lists."},
    {"veltra_pcie_link_width", "gauge", "The card's PCIe link width, in lanes."},
    {"veltra_pcie_link_generation", "gauge", "The card's PCIe link generation."},
    {"veltra_fpga_configured", "gauge", "1 if the FPGA holds a configuration, else 0."},
    {"veltra_sensor_value", "gauge",
     "A sensor's reading in the unit its unit label names (celsius, volts, rpm; none for a "
     "count or a flags word)."},
    {"veltra_sensor_limit_low", "gauge", "A sensor's lower limit, in the unit of its reading."},
    {"veltra_sensor_limit_high", "gauge", "A sensor's upper limit, in the unit of its reading."},
    {"veltra_sensor_alarm", "gauge",
     "1 if the sensor reads outside its limits, or its flags or its alarm bit in the device "
     "status are set; else 0."},
    {"veltra_clock_frequency_hertz", "gauge", "A clock generator's frequency."},
    {"veltra_device_status", "gauge",
     "A device-status word of the card, as the driver reports it."},
    {"veltra_device_error", "gauge",
     "1 if the card reports an error of this kind (bit 0 of its device-status word), else 0."},
    {"veltra_flash_update_pending", "gauge",
     "1 while an update of the card's flash did not finish (the flash holds neither image "
     "until `veltra flash recover` finishes it), else 0."},
    {"veltra_flash_size_bytes", "gauge", "The size of a flash bank."},
    {"veltra_card_memory_bytes", "gauge", "The card memory DMA reaches."},
    {"veltra_dma_channels", "gauge", "The card's DMA channels."},
    {"veltra_scrape_duration_seconds", "gauge", "How long reading the card took at this scrape."},
    {"veltra_scrape_errors_total", "counter",
     "Readings of the card that failed since the exporter started, by the library's status "
     "(timeout: the card did not answer in time)."},
    {"veltra_exporter_build_info", "gauge", "The exporter's version in its label; always 1."},
};
static_assert(std::size(kMetrics) == kFamilies);

constexpr const char* kStatusWords[] = {"configuration", "dma", "flash", "bus", "sensor"};
constexpr int kSensorWord = 4;

// A label value as the exposition format escapes it.
std::string escaped(const std::string& value) {
    std::string out;
    out.reserve(value.size());
    for (char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

// A number as the exposition format writes it: the shortest text that
// reads back as the same double.
std::string number(double value) {
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

std::string number(uint64_t value) {
    char text[24];
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
}

void sample(std::string& lines, Family family, const std::string& labels,
            const std::string& value) {
    lines += kMetrics[family].name;
    if (!labels.empty()) {
        lines += '{';
        lines += labels;
        lines += '}';
    }
    lines += ' ';
    lines += value;
    lines += '\n';
}

std::string label(const char* name, const std::string& value) {
    return std::string(",") + name + "=\"" + escaped(value) + "\"";
}

// The labels that name a card in its series: its serial, or, for a card
// whose serial was never read, its index and an empty serial.
std::string cardLabels(uint32_t index, std::optional<uint32_t> serial) {
    if (serial.has_value())
        return "serial=\"" + serialText(*serial) + "\"";
    return "card=\"" + std::to_string(index) + "\",serial=\"\"";
}

// How a card is named in a line of the log.
std::string cardName(uint32_t index, std::optional<uint32_t> serial) {
    return serial.has_value()
               ? "card " + serialText(*serial) + " (index " + std::to_string(index) + ")"
               : "the card at index " + std::to_string(index);
}

// A sensor's unit as its metric's label says it: the unit's base name.
std::string unitLabel(const VELTRA_SENSOR_INFOA& sensor) {
    if (sensor.attribute1 == kSensorFlags)
        return "";
    switch (sensor.attribute3) {
        case 0:
            return "";
        case 1:
            return "celsius";
        case 2:
            return "volts";
        case 3:
            return "rpm";
        default:
            return format("unit_%u", sensor.attribute3);
    }
}

}  // namespace

// The lock and condition between a scrape and the threads that read the
// cards. On Windows an SRW lock and a condition variable, which wait and
// wake within the process (under Wine without a round trip to its server,
// where the C++ library's condition makes a semaphore); elsewhere the
// standard ones.
#if defined(_WIN32)

class ThreadLock {
  public:
    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }
    PSRWLOCK native() { return &lock_; }

  private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

class ThreadCondition {
  public:
    template <typename Predicate>
    void wait(std::unique_lock<ThreadLock>& held, Predicate done) {
        while (!done())
            SleepConditionVariableSRW(&condition_, held.mutex()->native(), INFINITE, 0);
    }
    template <typename Predicate>
    bool wait_until(std::unique_lock<ThreadLock>& held,
                    std::chrono::steady_clock::time_point deadline, Predicate done) {
        while (!done()) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::steady_clock::duration::zero())
                return false;
            const auto milliseconds = std::chrono::ceil<std::chrono::milliseconds>(left).count();
            SleepConditionVariableSRW(&condition_, held.mutex()->native(),
                                      static_cast<DWORD>(milliseconds), 0);
        }
        return true;
    }
    void notify_all() { WakeAllConditionVariable(&condition_); }

  private:
    CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
};

#else

using ThreadLock = std::mutex;
using ThreadCondition = std::condition_variable;

#endif

// What stays while a card is open: its labels and the lines of its fixed
// properties.
struct OpenCard {
    explicit OpenCard(Card opened) : card(std::move(opened)) {}
    Card card;
    std::string path, labels;
    std::string fixed[kFamilies];
    std::vector<VELTRA_SENSOR_INFOA> sensors;
    // The labels of its sensors, clocks and status words.
    std::vector<std::string> sensorLabels, clockLabels;
    std::string wordLabels[std::size(kStatusWords)], kindLabels[std::size(kStatusWords)];
    // The card's note of its flash updates, read again when it changes.
    mutable std::optional<PendingWatch> updates;
};

namespace {

std::unique_ptr<OpenCard> openCard(const std::string& path) {
    Selection selection;
    selection.by = Selection::By::Path;
    selection.path = path;
    auto open = std::make_unique<OpenCard>(Card::select(selection));
    const Card& card = open->card;
    open->path = path;
    open->labels = cardLabels(card.index(), card.serial());
    const VELTRA_CARD_INFO_EX& info = card.info();
    VELTRA_VERSION_INFO version{};
    check(VELTRA_GetVersionInfo(card.handle(), &version),
          "cannot read the versions of " + card.name());
    sample(open->fixed[kCardInfo], kCardInfo,
           "card=\"" + std::to_string(card.index()) + "\"," + open->labels +
               label("board_id", hex(info.cardValue2, 4)) +
               label("revision", std::to_string(info.cardValue0)) +
               label("driver_version", format("%u.%u.%u", version.driverMajor, version.driverMinor,
                                              version.driverBugfix)) +
               label("library_version",
                     format("%u.%u.%u", version.apiMajor, version.apiMinor, version.apiBugfix)),
           "1");
    for (uint32_t bank = 0; bank < info.cardValue5; ++bank) {
        const Chip chip = chipOf(card, bank);
        sample(open->fixed[kFlashSize], kFlashSize,
               open->labels + label("flash", std::to_string(bank)), number(chip.size));
    }
    sample(open->fixed[kCardMemory], kCardMemory, open->labels, number(cardMemorySize(card)));
    sample(open->fixed[kDmaChannels], kDmaChannels, open->labels,
           number(uint64_t{info.cardValue7}));
    open->sensors = sensors(card);
    for (uint32_t s = 0; s < open->sensors.size(); ++s)
        open->sensorLabels.push_back(open->labels + label("sensor", std::to_string(s)) +
                                     label("description", text(open->sensors[s].description)) +
                                     label("unit", unitLabel(open->sensors[s])));
    for (uint32_t c = 0; c < info.cardValue9; ++c)
        open->clockLabels.push_back(open->labels + label("clock", std::to_string(c)));
    for (size_t w = 0; w < std::size(kStatusWords); ++w) {
        open->wordLabels[w] = open->labels + label("word", kStatusWords[w]);
        open->kindLabels[w] = open->labels + label("kind", kStatusWords[w]);
    }
    open->updates.emplace(card.serial());
    return open;
}

}  // namespace

std::span<const Metric> metrics() {
    return kMetrics;
}

// One card's part of a scrape: its sample lines, or why there are none.
struct Fleet::Reading {
    uint64_t job = 0;
    std::string path;  // of the card read
    bool up = false;
    std::optional<uint32_t> serial;
    std::string status;  // of a failure
    std::string reason;  // of a failure, as veltra_card_down_reason says it
    double seconds = 0;
    std::string lines[kFamilies];
};

namespace {

// What a card says now, besides what stays while it is open.
void readNow(const OpenCard& open, std::string (&lines)[kFamilies]) {
    const Card& card = open.card;
    // A link may train again, narrower or slower, while the card is open.
    const VELTRA_CARD_INFO_EX info = cardInfo(card);
    sample(lines[kPcieWidth], kPcieWidth, open.labels, number(uint64_t{info.cardValue10}));
    sample(lines[kPcieGeneration], kPcieGeneration, open.labels,
           number(uint64_t{info.cardValue11}));
    for (uint32_t f = 0; f < card.info().cardValue4; ++f) {
        VELTRA_FPGA_INFOA fpga{};
        check(VELTRA_GetFpgaInfoA(card.handle(), f, &fpga),
              format("cannot read the information of FPGA %u of %s", f, card.name().c_str()));
        sample(lines[kFpgaConfigured], kFpgaConfigured,
               open.labels + label("fpga", std::to_string(f)) + label("part", text(fpga.name)),
               fpga.attribute3 != 0 ? "1" : "0");
    }
    const DeviceStatus status = deviceStatus(card);
    for (uint32_t s = 0; s < open.sensors.size(); ++s) {
        const VELTRA_SENSOR_INFOA& info = open.sensors[s];
        const SensorReading reading = readSensor(card, s, info);
        const std::string& labels = open.sensorLabels[s];
        sample(lines[kSensorValue], kSensorValue, labels, number(reading.value));
        if (reading.limited) {
            sample(lines[kSensorLow], kSensorLow, labels, number(reading.low));
            sample(lines[kSensorHigh], kSensorHigh, labels, number(reading.high));
        }
        // Bit 1 + n of the sensor word: sensor n is in alarm.
        const bool flagged = s < 31 && (status.word[kSensorWord] & (2u << s)) != 0;
        sample(lines[kSensorAlarm], kSensorAlarm, labels, !reading.ok() || flagged ? "1" : "0");
    }
    const std::vector<double> frequencies = clocks(card);
    for (uint32_t c = 0; c < frequencies.size(); ++c)
        sample(lines[kClockFrequency], kClockFrequency, open.clockLabels[c],
               number(frequencies[c]));
    for (size_t w = 0; w < std::size(kStatusWords); ++w) {
        sample(lines[kDeviceStatus], kDeviceStatus, open.wordLabels[w],
               number(uint64_t{status.word[w]}));
        sample(lines[kDeviceError], kDeviceError, open.kindLabels[w],
               (status.word[w] & 1) != 0 ? "1" : "0");
    }
    sample(lines[kFlashUpdatePending], kFlashUpdatePending, open.labels,
           open.updates->pending() ? "1" : "0");
}

}  // namespace

// The thread of one card position. A job reads the card at that position
// (the path the scrape found there); the card stays open for the next job
// as long as the same card is at that position and answers.
struct Fleet::Worker {
    ThreadLock mutex;
    ThreadCondition changed;
    uint64_t asked = 0, done = 0;
    // Asked to close its card, and closed it (until its next job).
    bool stop = false, release = false, released = false;
    std::string path;  // of the job asked
    // Job `done`'s reading, shared by the scrapes that waited for it.
    std::shared_ptr<const Reading> result;
    // The last job whose failure, and the last whose timeout, is counted in
    // veltra_scrape_errors_total: once each, however many scrapes wait.
    uint64_t failureCounted = 0, timeoutCounted = 0;
    std::thread thread;

    // Only the worker's thread touches these.
    std::unique_ptr<OpenCard> open;
    std::optional<uint32_t> lastSerial;  // of the card at the path read last

    static void run(std::shared_ptr<Worker> self) { self->loop(); }

    void loop() {
        std::unique_lock<ThreadLock> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return stop || release || asked > done; });
            if (stop)
                break;
            if (release && asked == done) {
                // No card is at this position now: its handle goes.
                lock.unlock();
                open.reset();
                lastSerial.reset();
                lock.lock();
                release = false;
                released = true;
                continue;
            }
            released = false;
            const uint64_t job = asked;
            const std::string where = path;
            lock.unlock();
            auto reading = std::make_shared<Reading>(read(where));
            reading->job = job;
            lock.lock();
            result = std::move(reading);
            done = job;
            changed.notify_all();
        }
        lock.unlock();
        open.reset();
    }

    Reading read(const std::string& where) {
        const auto start = std::chrono::steady_clock::now();
        Reading reading;
        reading.path = where;
        if (open != nullptr && open->path != where) {
            open.reset();
            lastSerial.reset();
        }
        // A card kept open that went away fails its first request: the card
        // now at the position is opened once more.
        for (bool kept = open != nullptr;; kept = false) {
            reading.reason = "cannot be opened";
            try {
                if (open == nullptr)
                    open = openCard(where);
                reading.reason = "a reading failed";
                lastSerial = open->card.serial();
                readNow(*open, reading.lines);
                for (size_t f = 0; f < kFamilies; ++f)
                    reading.lines[f] += open->fixed[f];
                reading.up = true;
                reading.reason.clear();
                break;
            } catch (const LibraryFailure& failure) {
                reading.status = VELTRA_GetStatusStringA(failure.status, 1);
            } catch (const std::exception&) {
                reading.status = "failure";
            }
            open.reset();
            for (auto& lines : reading.lines)
                lines.clear();
            if (!kept)
                break;
        }
        reading.serial = lastSerial;
        reading.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return reading;
    }

    // Asks for a reading of the card at `where`, or joins the one under
    // way: the job to wait for.
    uint64_t ask(const std::string& where) {
        std::lock_guard<ThreadLock> lock(mutex);
        release = false;  // a card is at the position again
        if (asked == done) {
            path = where;
            ++asked;
            changed.notify_all();
        }
        return asked;
    }

    // Closes the card at a position no card has now, once the thread is
    // free.
    void drop() {
        std::lock_guard<ThreadLock> lock(mutex);
        if (!release && !released) {
            release = true;
            changed.notify_all();
        }
    }

    std::shared_ptr<const Reading> await(uint64_t job,
                                         std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<ThreadLock> lock(mutex);
        if (!changed.wait_until(lock, deadline, [&] { return done >= job; }))
            return nullptr;
        return result;
    }
};

Fleet::Fleet(std::vector<Selection> selections, std::chrono::milliseconds timeout,
             std::function<void(const std::string&)> say)
    : selections_(std::move(selections)), timeout_(timeout), say_(std::move(say)) {}

// A worker still reading a card that does not answer is left to end by
// itself; it owns what it uses.
Fleet::~Fleet() {
    for (const auto& worker : workers_) {
        bool idle;
        {
            std::lock_guard<ThreadLock> lock(worker->mutex);
            worker->stop = true;
            idle = worker->asked == worker->done;
            worker->changed.notify_all();
        }
        if (idle)
            worker->thread.join();
        else
            worker->thread.detach();
    }
}

bool Fleet::selected(uint32_t index, const std::string& path,
                     std::optional<uint32_t> serial) const {
    if (selections_.empty())
        return true;
    for (const Selection& s : selections_)
        if ((s.by == Selection::By::Index && s.index == index) ||
            (s.by == Selection::By::Path && equalsIgnoringCase(s.path, path)) ||
            (s.by == Selection::By::Serial && serial == s.serial))
            return true;
    return false;
}

bool Fleet::reading() {
    std::lock_guard lock(mutex_);
    for (const auto& worker : workers_) {
        std::lock_guard<ThreadLock> held(worker->mutex);
        if (worker->asked != worker->done)
            return true;
    }
    return false;
}

// A card named by its serial may be at any position: every card is read to
// find it.
bool Fleet::bySerial() const {
    return std::any_of(selections_.begin(), selections_.end(),
                       [](const Selection& s) { return s.by == Selection::By::Serial; });
}

std::string Fleet::scrape(Census* census) {
    const std::vector<std::string> paths = interfacePaths();
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    const double timeoutSeconds = std::chrono::duration<double>(timeout_).count();
    struct Asked {
        uint32_t index;
        std::shared_ptr<Worker> worker;
        uint64_t job;
    };
    std::vector<Asked> asked;
    {
        std::lock_guard lock(mutex_);
        while (workers_.size() < paths.size()) {
            auto worker = std::make_shared<Worker>();
            worker->thread = std::thread(&Worker::run, worker);
            workers_.push_back(std::move(worker));
        }
        for (uint32_t i = 0; i < paths.size(); ++i)
            if (bySerial() || selected(i, paths[i], std::nullopt))
                asked.push_back({i, workers_[i], 0});
        for (size_t i = paths.size(); i < workers_.size(); ++i)
            workers_[i]->drop();
    }
    for (Asked& a : asked)
        a.job = a.worker->ask(paths[a.index]);

    // A card reported, as the log and the lines of cards down need it.
    struct Reported {
        uint32_t index;
        std::optional<uint32_t> serial;
        std::string labels;
        bool up;
        std::string reason;
    };
    std::vector<Reported> reported;
    std::string lines[kFamilies];
    std::map<uint32_t, Known> infos;                 // of the cards up, by serial
    std::vector<std::array<std::string, 2>> failed;  // labels, status
    for (Asked& a : asked) {
        std::shared_ptr<const Reading> reading = a.worker->await(a.job, deadline);
        // A reading under way that this scrape joined may be of the card
        // that was at the position before: the card there now is read.
        if (reading != nullptr && reading->path != paths[a.index]) {
            a.job = a.worker->ask(paths[a.index]);
            reading = a.worker->await(a.job, deadline);
        }
        // A reading that took longer than the timeout, one an earlier
        // scrape gave up on, is as old as it is slow: the card is down
        // until a reading ends in time.
        const bool inTime = reading != nullptr && reading->seconds <= timeoutSeconds;
        std::optional<uint32_t> serial;
        bool counted = false;  // this failure, by an earlier scrape
        {
            std::lock_guard<ThreadLock> lock(a.worker->mutex);
            if (inTime) {
                serial = reading->serial;
                counted = a.worker->failureCounted >= reading->job;
                if (!reading->up)
                    a.worker->failureCounted = std::max(a.worker->failureCounted, reading->job);
            } else {
                // Known by the serial it had, if the last reading was of the
                // card at this position.
                if (reading != nullptr)
                    serial = reading->serial;
                else if (a.worker->result != nullptr && a.worker->result->path == paths[a.index])
                    serial = a.worker->result->serial;
                counted = a.worker->timeoutCounted >= a.job;
                a.worker->timeoutCounted = std::max(a.worker->timeoutCounted, a.job);
            }
        }
        if (!selected(a.index, paths[a.index], serial))
            continue;
        const std::string labels = cardLabels(a.index, serial);
        const bool up = inTime && reading->up;
        const std::string reason = up ? "" : inTime ? reading->reason : "timed out";
        sample(lines[kCardUp], kCardUp, labels, up ? "1" : "0");
        if (!up)
            sample(lines[kCardDownReason], kCardDownReason, labels + label("reason", reason), "1");
        if (reading != nullptr)
            sample(lines[kScrapeDuration], kScrapeDuration, labels, number(reading->seconds));
        if (up) {
            for (size_t f = 0; f < kFamilies; ++f)
                lines[f] += reading->lines[f];
            if (serial.has_value())
                infos[*serial] = {a.index, reading->lines[kCardInfo]};
        } else if (!counted) {
            failed.push_back({labels, inTime ? reading->status : "timeout"});
        }
        reported.push_back({a.index, serial, labels, up, reason});
    }
    sample(lines[kCards], kCards, "", number(uint64_t{paths.size()}));

    std::lock_guard lock(mutex_);
    for (auto& [serial, info] : infos)
        known_[serial] = std::move(info);
    std::set<uint32_t> present;
    for (const Reported& r : reported) {
        if (!r.serial.has_value())
            continue;
        present.insert(*r.serial);
        // A card down keeps the identity it was last read with.
        if (!r.up && known_.count(*r.serial))
            lines[kCardInfo] += known_[*r.serial].info;
    }
    // Cards seen before that are not listed now went away.
    for (const auto& [serial, known] : known_) {
        if (present.count(serial))
            continue;
        const std::string labels = cardLabels(known.index, serial);
        sample(lines[kCardUp], kCardUp, labels, "0");
        sample(lines[kCardDownReason], kCardDownReason, labels + label("reason", "went away"), "1");
        lines[kCardInfo] += known.info;
        reported.push_back({known.index, serial, labels, false, "went away"});
    }
    // A card named by its serial that was never seen is down too.
    std::set<uint32_t> unseen;
    for (const Selection& s : selections_)
        if (s.by == Selection::By::Serial && !known_.count(s.serial) && !present.count(s.serial) &&
            unseen.insert(s.serial).second) {
            const std::string labels = cardLabels(0, s.serial);
            sample(lines[kCardUp], kCardUp, labels, "0");
            sample(lines[kCardDownReason], kCardDownReason, labels + label("reason", "not found"),
                   "1");
        }
    for (const auto& failure : failed)
        ++errors_[failure];
    for (const auto& [key, count] : errors_)
        sample(lines[kScrapeErrors], kScrapeErrors, key[0] + label("status", key[1]),
               number(count));
    // The log: a card that goes down or comes back; a card down at the
    // first scrape that sees it.
    for (const Reported& r : reported) {
        const auto [was, first] = wasUp_.try_emplace(r.labels, r.up);
        if ((first && !r.up) || (!first && was->second != r.up)) {
            if (say_)
                say_(cardName(r.index, r.serial) +
                     (r.up ? " is up again" : " is down: " + r.reason));
            was->second = r.up;
        }
    }
    if (census != nullptr) {
        census->listed = paths.size();
        census->up = static_cast<size_t>(std::count_if(reported.begin(), reported.end(),
                                                       [](const Reported& r) { return r.up; }));
    }
    sample(lines[kBuildInfo], kBuildInfo, "version=\"" VELTRA_TOOL_VERSION "\"", "1");

    std::string exposition;
    exposition.reserve(8192);
    for (size_t f = 0; f < kFamilies; ++f) {
        exposition += "# HELP ";
        exposition += kMetrics[f].name;
        exposition += ' ';
        exposition += kMetrics[f].help;
        exposition += "\n# TYPE ";
        exposition += kMetrics[f].name;
        exposition += ' ';
        exposition += kMetrics[f].type;
        exposition += '\n';
        exposition += lines[f];
    }
    return exposition;
}

}  // namespace tool::exporter
