// The mapping worker when the platform fails it: a pipe or the thread that
// cannot be made, pipe transfers that fail, the mapping lock that cannot be
// taken. Every failure is a status, nothing blocks for ever, and the next
// operation works.
#include <cstring>
#include <mutex>

#include "veltra_fixture.h"

namespace {

constexpr uint32_t kMapPending = 0x22280E;
constexpr uint32_t kUnmap = 0x222810;

// A scripted card that maps as the driver does: the map request pends with
// the address written into its buffer, and the unmap request ends it.
class MmapFaults : public ScriptedCard {
  protected:
    struct Live {
        std::mutex lock;
        std::vector<std::pair<uint64_t, std::shared_ptr<vsim::PendingIo>>> mappings;
        uint64_t next = 0x70000000;
    };

    void SetUp() override {
        ScriptedCard::SetUp();
        device_->onCode(0x222004 + 8,
                        vsim::Answer::replyWith(vsim::Bytes(36).put<uint32_t>(28, 4)));
        auto live = live_;
        device_->onCode(kMapPending, vsim::Answer::run([live](vsim::IoRequest& rq) {
                            std::lock_guard guard(live->lock);
                            const uint64_t address = live->next += 0x1000;
                            std::memcpy(rq.directOutput(), &address, sizeof address);
                            live->mappings.emplace_back(address, rq.pend(false));
                            return vsim::Outcome::pending();
                        }));
        device_->onCode(kUnmap, vsim::Answer::run([live](vsim::IoRequest& rq) {
                            std::shared_ptr<vsim::PendingIo> ended;
                            {
                                std::lock_guard guard(live->lock);
                                auto& m = live->mappings;
                                auto it = std::find_if(m.begin(), m.end(), [&](const auto& e) {
                                    return e.first == rq.in<uint64_t>(0);
                                });
                                if (it == m.end())
                                    return vsim::Outcome::failure(vsim::driverError(1));
                                ended = it->second;
                                m.erase(it);
                            }
                            ended->complete(vsim::kSuccess);
                            return vsim::Outcome::success();
                        }));
        pipes_ = vsimCountObjects("pipe");
        threads_ = vsimCountObjects("thread");
    }

    VELTRA_STATUS map(void** base) { return VELTRA_MapWindow(card_, 0, 0, 4096, base); }

    // The worker's thread: the one that sends the map requests.
    DWORD workerThread() {
        for (const auto& r : device_->requests())
            if (r.code == kMapPending)
                return r.thread;
        return 0;
    }

    // Nothing of a worker is left.
    void expectNoWorker() {
        EXPECT_EQ(vsimCountObjects("pipe"), pipes_);
        EXPECT_EQ(vsimCountObjects("thread"), threads_);
    }

    // A map and an unmap work normally, and stop the worker again.
    void expectMappingWorks() {
        void* base = nullptr;
        ASSERT_EQ(map(&base), VELTRA_SUCCESS);
        ASSERT_NE(base, nullptr);
        EXPECT_EQ(VELTRA_UnmapWindow(card_, base), VELTRA_SUCCESS);
    }

    std::shared_ptr<Live> live_ = std::make_shared<Live>();
    size_t pipes_ = 0;
    size_t threads_ = 0;
};

TEST_F(MmapFaults, PipeOrThreadThatCannotBeMadeLeavesNoWorker) {
    const struct {
        const char* call;
        unsigned nth;
    } cases[] = {{"CreatePipe", 1}, {"CreatePipe", 2}, {"CreateThread", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.call) + " #" + std::to_string(c.nth));
        vsimFailNthCall(c.call, c.nth, ERROR_NOT_ENOUGH_MEMORY);
        void* base = reinterpret_cast<void*>(0x55);
        EXPECT_EQ(map(&base), VELTRA_NO_MEMORY);
        EXPECT_EQ(base, reinterpret_cast<void*>(0x55));
        expectNoWorker();
        vsimClearFaults();
        expectMappingWorks();
        expectNoWorker();
    }
}

// A request that cannot be written, or a response that cannot be read, is an
// unexpected error; the exchanges after it stay in step.
TEST_F(MmapFaults, FailedPipeTransferIsUnexpectedAndTheNextExchangeWorks) {
    for (const char* call : {"WriteFile", "ReadFile"}) {
        SCOPED_TRACE(call);
        vsimFailCallsOnThread(call, GetCurrentThreadId(), ERROR_NOT_ENOUGH_MEMORY);
        void* base = reinterpret_cast<void*>(0x55);
        EXPECT_EQ(map(&base), VELTRA_UNEXPECTED_ERROR);
        EXPECT_EQ(base, reinterpret_cast<void*>(0x55));
        vsimClearFaults();
        expectMappingWorks();
    }
    // The map whose answer was lost is a region of the handle; closing the
    // handle unmaps it, and the worker goes.
    EXPECT_EQ(VELTRA_Close(card_), VELTRA_SUCCESS);
    card_ = nullptr;
    expectNoWorker();
}

TEST_F(MmapFaults, MappingLockThatCannotBeTakenIsUnexpected) {
    vsimFailNthCall("WaitForSingleObject", 1, ERROR_INVALID_HANDLE);
    void* base = nullptr;
    EXPECT_EQ(map(&base), VELTRA_UNEXPECTED_ERROR);
    vsimFailNthCall("WaitForSingleObject", 1, ERROR_INVALID_HANDLE);
    EXPECT_EQ(VELTRA_UnmapWindow(card_, reinterpret_cast<void*>(0x1000)), VELTRA_UNEXPECTED_ERROR);
    vsimClearFaults();
    expectMappingWorks();
}

// The worker's own pipe failures are traced in both builds; a transient one
// does not lose the exchange.
TEST_F(MmapFaults, WorkersPipeFailuresAreTracedAndOvercome) {
    void* first = nullptr;
    ASSERT_EQ(map(&first), VELTRA_SUCCESS);
    const DWORD worker = workerThread();
    ASSERT_NE(worker, 0u);

    vsimClearDebugOutput();
    vsimFailNthCallOnThread("WriteFile", worker, 1, ERROR_NOT_ENOUGH_MEMORY);
    void* second = nullptr;
    ASSERT_EQ(map(&second), VELTRA_SUCCESS);
    EXPECT_NE(simtest::debugText().find("*** workThreadFunction: WriteFile() failed, error=0x8\n"),
              std::string::npos);

    // The worker is already waiting in its read: the fault hits its next one.
    vsimClearDebugOutput();
    vsimFailNthCallOnThread("ReadFile", worker, 1, ERROR_NOT_ENOUGH_MEMORY);
    void* third = nullptr;
    ASSERT_EQ(map(&third), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_UnmapWindow(card_, third), VELTRA_SUCCESS);
    EXPECT_NE(simtest::debugText().find("*** workThreadFunction: ReadFile() failed, error=0x8\n"),
              std::string::npos);
    vsimClearFaults();

    EXPECT_EQ(VELTRA_UnmapWindow(card_, first), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_UnmapWindow(card_, second), VELTRA_SUCCESS);
    expectNoWorker();
}

// A region whose record or event cannot be made fails its map with no memory.
TEST_F(MmapFaults, RegionThatCannotBeMadeIsNoMemory) {
    void* kept = nullptr;
    ASSERT_EQ(map(&kept), VELTRA_SUCCESS);
    const DWORD worker = workerThread();
    for (const char* call : {"HeapAlloc", "CreateEventA"}) {
        vsimFailNthCallOnThread(call, worker, 1, ERROR_NOT_ENOUGH_MEMORY);
        void* base = nullptr;
        EXPECT_EQ(map(&base), VELTRA_NO_MEMORY) << call;
        vsimClearFaults();
    }
    EXPECT_EQ(VELTRA_UnmapWindow(card_, kept), VELTRA_SUCCESS);
    expectNoWorker();
}

// The checked build's traces of one map and unmap, word for word.
TEST_F(MmapFaults, MapAndUnmapAreTracedInTheCheckedBuild) {
    void* base = nullptr;
    ASSERT_EQ(VELTRA_MapWindow(card_, 2, 0x10, 0x20, &base), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_UnmapWindow(card_, base), VELTRA_SUCCESS);
    const std::string text = simtest::debugText();
    if (!kCheckedBuild) {
        EXPECT_EQ(text, "");
        return;
    }
    char card[32], address[32];
    std::snprintf(card, sizeof card, "%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(card_)));
    std::snprintf(address, sizeof address, "%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(base)));
    for (const std::string& line :
         {std::string("initialize: initializing\n"),
          std::string("workerMapRegion: hVeltra=") + card +
              " regionTag=2 offset=0x10 length=0x20\n",
          std::string("workerMapRegion: success, pVirtualBase=") + address + "\n",
          std::string("findAndRemoveRegion: removing region, hDevice=") +
              std::to_string(static_cast<int>(reinterpret_cast<intptr_t>(card_))) +
              " pVirtualBase=" + address,
          std::string("uninitialize: uninitializing\n"),
          std::string("uninitialize: uninitialized\n")})
        EXPECT_NE(text.find(line), std::string::npos) << line;
}

}  // namespace
