// Many threads, and two processes, on one simulated machine at once. Each
// test runs rounds for a time (VELTRA_STRESS_SECONDS, 4 by default; at least
// a fixed number of rounds) and then checks the data it moved and what the
// process holds, not only that nothing crashed or hung.
#include <kesta.h>
#include <veltra.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <vsim/cards.h>
#include <vsim/driver.h>

#include "simtest.h"

namespace {

constexpr uint32_t kCancelled = 275;
constexpr uint32_t kCancelFailed = 274;
constexpr uint32_t kPending = 280;

double budgetSeconds() {
    const char* text = std::getenv("VELTRA_STRESS_SECONDS");
    const double seconds = text != nullptr ? std::atof(text) : 0;
    return seconds > 0 ? seconds : 4;
}

// Rounds go on while there is time left, and until a minimum is reached.
class Rounds {
  public:
    explicit Rounds(size_t minimum) : minimum_(minimum) {}
    bool more() const {
        const double elapsed =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        return done_.load() < minimum_ || elapsed < budgetSeconds();
    }
    void count(size_t n = 1) { done_ += n; }
    size_t done() const { return done_.load(); }

  private:
    size_t minimum_;
    std::atomic<size_t> done_{0};
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// The handles of the platform that a test must give back: the kinds that
// only the libraries make. (Events and heap blocks are also made for every
// thread that the system starts, so the tests count those per thread.)
std::map<std::string, size_t> handles() {
    std::map<std::string, size_t> counts;
    for (const char* kind : {"device", "file", "pipe", "thread", "mutex", "heap"})
        counts[kind] = vsimCountObjects(kind);
    return counts;
}

void report(const char* what, size_t rounds) {
    std::printf("stress: %s: %zu rounds in %.0f s or more\n", what, rounds, budgetSeconds());
}

class Stress : public testing::Test {
  protected:
    // The counts are taken with the card open, so that whatever a library
    // makes once for the process is already there.
    void SetUp() override {
        ASSERT_EQ(VELTRA_Open(0, &card_), 0u);
        before_ = handles();
    }
    void TearDown() override {
        EXPECT_EQ(simtest::settled(handles, before_), before_);
        if (card_ != nullptr) {
            EXPECT_EQ(VELTRA_Close(card_), 0u);
        }
    }

    simtest::PlatformScope platform_;
    std::map<std::string, size_t> before_;
    VELTRA_HANDLE card_ = nullptr;
};

struct ChurnThread {
    VELTRA_HANDLE card;
    std::atomic<size_t>* answered;
    std::atomic<size_t>* ready;
    HANDLE go;
    uint32_t code;
};

// One request, and the thread's own text for an unknown status, held until
// every thread of the batch has its own: more threads at once than the
// library keeps texts for in advance.
DWORD WINAPI askOnce(LPVOID parameter) {
    auto* job = static_cast<ChurnThread*>(parameter);
    VELTRA_CARD_INFO info{};
    const bool card = VELTRA_GetCardInfo(job->card, &info) == 0 && info.cardValue2 == 0x7038;
    const std::string expected = "Unknown status code " + std::to_string(job->code) + "(0x" +
                                 [](uint32_t v) {
                                     char hex[16];
                                     std::snprintf(hex, sizeof hex, "%x", v);
                                     return std::string(hex);
                                 }(job->code) +
                                 ")";
    const char* text = VELTRA_GetStatusStringA(job->code, 0);
    ++*job->ready;
    WaitForSingleObject(job->go, 10000);
    if (card && expected == text)
        ++*job->answered;
    return 0;
}

// Thousands of short threads, each making one request on a shared handle
// and holding its own status text: every request is answered, every text is
// the thread's own, and every thread's record goes with it.
TEST_F(Stress, ThreadChurn) {
    std::atomic<size_t> answered{0};
    std::atomic<size_t> ready{0};
    std::vector<uint32_t> ids;
    constexpr size_t kBatch = 96;
    std::vector<ChurnThread> jobs(kBatch);
    Rounds rounds(2000);
    bool created = true;
    while (created && rounds.more()) {
        HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ready = 0;
        std::vector<HANDLE> batch;
        for (size_t i = 0; i < kBatch; ++i) {
            jobs[i] = {card_, &answered, &ready, go,
                       static_cast<uint32_t>(0x1000 + rounds.done() + i)};
            DWORD id = 0;
            HANDLE thread = CreateThread(nullptr, 0, askOnce, &jobs[i], 0, &id);
            created = thread != nullptr;
            EXPECT_TRUE(created);
            if (!created)
                break;
            batch.push_back(thread);
            ids.push_back(id);
        }
        while (ready.load() < batch.size())
            Sleep(1);
        SetEvent(go);
        for (HANDLE thread : batch) {
            EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
            CloseHandle(thread);
        }
        CloseHandle(go);
        rounds.count(batch.size());
    }
    EXPECT_EQ(answered.load(), rounds.done());
    EXPECT_EQ(simtest::objectsLeftByThreads("event", ids), 0u);
    // The status texts that the threads' records took are kept for the
    // threads that come later: fewer than one batch's worth stays, however
    // many threads came and went.
    EXPECT_LT(vsimCountObjectsOfThreads("heapblock", ids.data(), ids.size()), kBatch);
    report("threads, one request each", rounds.done());
}

// Threads map, write, check and unmap regions of one handle while another
// opens handles, maps and closes them without unmapping: every byte written
// through a mapping is what the card holds, and at the end no mapping and
// no mapping worker is left.
TEST_F(Stress, MapUnmapAndCloseRaces) {
    Rounds rounds(2000);
    std::atomic<size_t> wrong{0};
    std::atomic<size_t> failed{0};
    auto mapper = [&](uint32_t slot) {
        for (uint32_t round = 0; rounds.more(); ++round) {
            void* base = nullptr;
            const uint64_t offset = 0x1000 * slot;
            if (VELTRA_MapWindow(card_, 0, offset, 0x1000, &base) != 0) {
                ++failed;
                continue;
            }
            const uint32_t value = slot << 24 | round;
            std::memcpy(static_cast<uint8_t*>(base) + 0x10, &value, sizeof value);
            uint32_t back = 0;
            if (VELTRA_Read(card_, 0, 0, offset + 0x10, sizeof back, &back) != 0 || back != value)
                ++wrong;
            if (VELTRA_UnmapWindow(card_, base) != 0)
                ++failed;
            rounds.count();
        }
    };
    auto closer = [&] {
        while (rounds.more()) {
            VELTRA_HANDLE other = nullptr;
            if (VELTRA_Open(0, &other) != 0) {
                ++failed;
                continue;
            }
            void* a = nullptr;
            void* b = nullptr;
            if (VELTRA_MapWindow(other, 1, 0x10000, 0x1000, &a) != 0 ||
                VELTRA_MapCommonBuffer(other, 0xCB000001, 0, 0x1000, &b) != 0)
                ++failed;
            if (VELTRA_Close(other) != 0)
                ++failed;
            rounds.count();
        }
    };
    std::vector<std::thread> threads;
    for (uint32_t slot = 0; slot < 3; ++slot)
        threads.emplace_back(mapper, slot);
    threads.emplace_back(closer);
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_EQ(failed.load(), 0u);
    report("maps, unmaps and closes", rounds.done());
}

// Transfers held on a paused channel and notification waits, from several
// threads, while another thread cancels the handle's requests over and
// over: each one ends cancelled, none is lost and nothing hangs.
TEST_F(Stress, CancellationStorm) {
    ASSERT_TRUE(vsim::pauseDmaChannel(0, 1, true));
    Rounds rounds(1000);
    std::atomic<size_t> started{0};
    std::atomic<size_t> cancelled{0};
    std::atomic<size_t> other{0};
    // Every waiter counts as running from before it starts, so that the
    // cancels go on until the last one has ended.
    std::atomic<int> running{4};
    auto waiter = [&](bool dma) {
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        uint8_t buffer[256];
        while (rounds.more()) {
            ResetEvent(overlapped.hEvent);
            const uint32_t status =
                dma ? VELTRA_StartReadDMA(card_, &overlapped, 1, 0, buffer, sizeof buffer, 0)
                    : VELTRA_StartNotificationWait(card_, &overlapped, 0x5EED);
            if (status != kPending) {
                ++other;
                continue;
            }
            ++started;
            const uint32_t end = dma ? VELTRA_FinishDMA(card_, &overlapped, 1)
                                     : VELTRA_FinishNotificationWait(card_, &overlapped, 1);
            ++(end == kCancelled ? cancelled : other);
            rounds.count();
        }
        CloseHandle(overlapped.hEvent);
        --running;
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back(waiter, i % 2 == 0);
    size_t cancels = 0;
    while (running.load() > 0) {
        const uint32_t status = VELTRA_Cancel(card_);
        EXPECT_TRUE(status == 0 || status == kCancelFailed) << status;
        ++cancels;
        std::this_thread::yield();
    }
    for (auto& t : threads)
        t.join();
    EXPECT_TRUE(vsim::pauseDmaChannel(0, 1, false));
    EXPECT_EQ(other.load(), 0u);
    EXPECT_EQ(cancelled.load(), started.load());
    report("waits and transfers cancelled", rounds.done());
    std::printf("stress: %zu cancels\n", cancels);
}

// A handle closed while threads wait on it: every wait ends, cancelled.
TEST_F(Stress, CloseWhileThreadsWait) {
    Rounds rounds(200);
    std::atomic<size_t> ended{0};
    std::atomic<size_t> wrong{0};
    while (rounds.more()) {
        VELTRA_HANDLE handle = nullptr;
        ASSERT_EQ(VELTRA_Open(0, &handle), 0u);
        constexpr int kWaiters = 4;
        std::atomic<int> waiting{0};
        vsim::pauseDmaChannel(0, 1, true);
        std::vector<std::thread> threads;
        for (int i = 0; i < kWaiters; ++i)
            threads.emplace_back([&, i] {
                OVERLAPPED overlapped{};
                overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
                uint8_t buffer[64];
                const uint32_t status =
                    i % 2 == 0
                        ? VELTRA_StartNotificationWait(handle, &overlapped, 0x5EED)
                        : VELTRA_StartReadDMA(handle, &overlapped, 1, 0, buffer, sizeof buffer, 0);
                ++waiting;
                if (status == kPending) {
                    const uint32_t end = i % 2 == 0
                                             ? VELTRA_FinishNotificationWait(handle, &overlapped, 1)
                                             : VELTRA_FinishDMA(handle, &overlapped, 1);
                    ++(end == kCancelled ? ended : wrong);
                } else {
                    ++wrong;
                }
                CloseHandle(overlapped.hEvent);
            });
        while (waiting.load() < kWaiters)
            std::this_thread::yield();
        EXPECT_EQ(VELTRA_Close(handle), 0u);
        for (auto& t : threads)
            t.join();
        vsim::pauseDmaChannel(0, 1, false);
        rounds.count();
    }
    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_EQ(ended.load(), rounds.done() * 4);
    report("handles closed under waiting threads", rounds.done());
}

// Many transfers outstanding on both channels at once, each with its own
// data and card range: every byte arrives where it was sent.
TEST_F(Stress, ManyOutstandingTransfers) {
    constexpr size_t kTransfers = 64;
    constexpr size_t kSize = 4096;
    std::vector<std::vector<uint8_t>> out(kTransfers, std::vector<uint8_t>(kSize));
    std::vector<std::vector<uint8_t>> in(kTransfers, std::vector<uint8_t>(kSize));
    std::vector<OVERLAPPED> overlapped(kTransfers);
    for (auto& o : overlapped)
        o.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Rounds rounds(50);
    size_t mismatches = 0;
    for (uint32_t round = 0; rounds.more(); ++round) {
        for (size_t i = 0; i < kTransfers; ++i) {
            for (size_t b = 0; b < kSize; ++b)
                out[i][b] = static_cast<uint8_t>(round * 31 + i * 7 + b);
            ResetEvent(overlapped[i].hEvent);
            EXPECT_EQ(VELTRA_StartWriteDMAEx(card_, &overlapped[i], i % 2, 0, out[i].data(), kSize,
                                             0x400000 + i * kSize),
                      kPending);
        }
        for (size_t i = 0; i < kTransfers; ++i)
            EXPECT_EQ(VELTRA_FinishDMA(card_, &overlapped[i], 1), 0u);
        for (size_t i = 0; i < kTransfers; ++i) {
            ResetEvent(overlapped[i].hEvent);
            // Read back on the other channel.
            EXPECT_EQ(VELTRA_StartReadDMAEx(card_, &overlapped[i], (i + 1) % 2, 0, in[i].data(),
                                            kSize, 0x400000 + i * kSize),
                      kPending);
        }
        for (size_t i = 0; i < kTransfers; ++i) {
            EXPECT_EQ(VELTRA_FinishDMA(card_, &overlapped[i], 1), 0u);
            mismatches += in[i] != out[i];
        }
        rounds.count(2 * kTransfers);
    }
    for (auto& o : overlapped)
        CloseHandle(o.hEvent);
    EXPECT_EQ(mismatches, 0u);
    report("outstanding transfers", rounds.done());
}

// Two processes on one machine, each moving its own data through both
// channels of one card: neither sees the other's bytes.
TEST(StressProcesses, TwoProcessesOnOneMachine) {
    namespace fs = std::filesystem;
    const std::string folder = fs::absolute(simtest::scratchName("stress-state")).string();
    fs::remove_all(folder);
    simtest::setVariable("VELTRA_SIM_STATE", folder);
    vsim::resetMachine();
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &card), 0u);

    const unsigned peerRounds = static_cast<unsigned>(100 * budgetSeconds());
    std::string peerOutput;
    int peerStatus = -1;
    std::atomic<bool> peerDone{false};
    std::thread peer([&] {
        peerOutput = simtest::runProgram(
            MACHINE_PEER, "dma-loop 0 1 0x100000 " + std::to_string(peerRounds), peerStatus);
        peerDone = true;
    });
    std::vector<uint32_t> out(16384);
    std::vector<uint32_t> in(out.size());
    size_t rounds = 0;
    size_t mismatches = 0;
    for (uint32_t round = 0; !peerDone.load() || rounds < 100; ++round) {
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = round * 40503u + static_cast<uint32_t>(i);
        const uint32_t written =
            VELTRA_WriteDMAEx(card, round % 2, 0, out.data(), out.size() * 4, 0x200000);
        const uint32_t read =
            VELTRA_ReadDMAEx(card, (round + 1) % 2, 0, in.data(), in.size() * 4, 0x200000);
        EXPECT_EQ(written, 0u);
        EXPECT_EQ(read, 0u);
        mismatches += in != out;
        ++rounds;
        if (written != 0 || read != 0)
            break;
    }
    peer.join();
    EXPECT_EQ(peerStatus, 0);
    EXPECT_EQ(peerOutput, "ok " + std::to_string(peerRounds) + "\n");
    EXPECT_EQ(mismatches, 0u);
    // And the other process's last round is in this process's card memory:
    // word i of round r is (r + 1) * 2654435761 ^ i.
    ASSERT_EQ(VELTRA_ReadDMAEx(card, 0, 0, in.data(), in.size() * 4, 0x100000), 0u);
    size_t theirs = 0;
    for (size_t i = 0; i < in.size(); ++i)
        theirs += in[i] == (peerRounds * 2654435761u ^ static_cast<uint32_t>(i));
    EXPECT_EQ(theirs, in.size()) << "the peer's data, seen from this process";
    EXPECT_EQ(VELTRA_Close(card), 0u);
    std::printf("stress: two processes: %zu rounds here, %u in the other\n", rounds, peerRounds);
    simtest::setVariable("VELTRA_SIM_STATE", "private");
    vsim::resetMachine();
    std::error_code error;
    fs::remove_all(folder, error);
}

}  // namespace
