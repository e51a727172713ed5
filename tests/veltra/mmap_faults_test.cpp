// The mapping worker when the platform fails it: a pipe or the thread that
// cannot be made, pipe transfers that fail, the mapping lock that cannot be
// taken. Every failure is a status, nothing blocks for ever, and the next
// operation works.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

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
        // Map requests that an unmap ended but that have not completed yet
        // (when `holdCompletions` is set).
        bool holdCompletions = false;
        std::vector<std::shared_ptr<vsim::PendingIo>> held;
        // The driver refuses to unmap this address with this error.
        uint64_t refusedAddress = 0;
        uint32_t refusal = 0;
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
                                const uint64_t address = rq.in<uint64_t>(0);
                                if (address == live->refusedAddress)
                                    return vsim::Outcome::failure(live->refusal);
                                auto& m = live->mappings;
                                auto it = std::find_if(m.begin(), m.end(), [&](const auto& e) {
                                    return e.first == address;
                                });
                                if (it == m.end())
                                    return vsim::Outcome::failure(vsim::driverError(1));
                                ended = it->second;
                                m.erase(it);
                                if (live->holdCompletions) {
                                    live->held.push_back(ended);
                                    return vsim::Outcome::success();
                                }
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

    size_t liveMappings() {
        std::lock_guard guard(live_->lock);
        return live_->mappings.size();
    }

    // Runs `call` on a thread of its own and says whether it returned within
    // ten seconds (a caller left waiting for ever is a failure, not a hang).
    static bool returnsInTime(std::function<void()> call) {
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::thread([call, done] {
            call();
            *done = true;
        }).detach();
        for (int i = 0; i < 1000 && !*done; ++i)
            Sleep(10);
        return *done;
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

// A worker that can no longer read its requests ends: the regions it held
// are unmapped, its end of the response pipe closes, and the operation that
// finds it gone starts a fresh worker instead of waiting for an answer that
// never comes.
TEST_F(MmapFaults, WorkerThatEndsOnItsOwnIsReplaced) {
    void* first = nullptr;
    ASSERT_EQ(map(&first), VELTRA_SUCCESS);
    const DWORD worker = workerThread();
    vsimFailCallsOnThread("ReadFile", worker, ERROR_BROKEN_PIPE);
    // The worker reads this request if it was already waiting for one when
    // the fault was set, and ends at its next read; else it ends first. The
    // map is answered by it or by a fresh worker, or (the worker ending
    // while the map waits) fails; either way nothing waits for ever.
    VELTRA_STATUS status = 0;
    ASSERT_TRUE(returnsInTime([&] {
        void* second = nullptr;
        status = map(&second);
    }));
    EXPECT_TRUE(status == VELTRA_SUCCESS || status == VELTRA_UNEXPECTED_ERROR) << status;
    auto stillMapped = [&] {
        std::lock_guard guard(live_->lock);
        return std::any_of(live_->mappings.begin(), live_->mappings.end(), [&](const auto& m) {
            return m.first == reinterpret_cast<uintptr_t>(first);
        });
    };
    for (int i = 0; i < 1000 && stillMapped(); ++i)
        Sleep(10);
    EXPECT_FALSE(stillMapped()) << "the ending worker unmaps what it held";
    vsimClearFaults();
    device_->clearRequests();
    ASSERT_TRUE(returnsInTime([this] { expectMappingWorks(); }));
    EXPECT_NE(workerThread(), worker) << "a fresh worker";
    EXPECT_EQ(VELTRA_Close(card_), VELTRA_SUCCESS);
    card_ = nullptr;
    expectNoWorker();
}

// A worker whose answers cannot be written is gone: the client waiting for
// one reads a broken pipe, and the next operation works.
TEST_F(MmapFaults, WorkerThatCannotAnswerIsGone) {
    void* first = nullptr;
    ASSERT_EQ(map(&first), VELTRA_SUCCESS);
    vsimFailCallsOnThread("WriteFile", workerThread(), ERROR_NOT_ENOUGH_MEMORY);
    VELTRA_STATUS status = 0;
    ASSERT_TRUE(returnsInTime([&] {
        void* base = nullptr;
        status = map(&base);
    }));
    EXPECT_EQ(status, VELTRA_UNEXPECTED_ERROR);
    EXPECT_EQ(liveMappings(), 0u);
    vsimClearFaults();
    ASSERT_TRUE(returnsInTime([this] { expectMappingWorks(); }));
    expectNoWorker();
}

struct DyingClient {
    VELTRA_HANDLE card;
    void* base = nullptr;
};

DWORD WINAPI mapAndDie(LPVOID arg) {
    auto* client = static_cast<DyingClient*>(arg);
    VELTRA_MapWindow(client->card, 0, 0, 4096, &client->base);
    return 0;
}

// A client that dies between its request and the answer leaves the mapping
// lock abandoned and its answer in the pipe; the next client takes the lock
// and reads its own answer, not the dead one's.
TEST_F(MmapFaults, AnswerOfAClientThatDiedIsNotTakenByTheNext) {
    DyingClient client{card_};
    DWORD id = 0;
    HANDLE thread = CreateThread(nullptr, 0, mapAndDie, &client, CREATE_SUSPENDED, &id);
    ASSERT_NE(thread, nullptr);
    vsimEndThreadAtNthCall("ReadFile", id, 1);  // its wait for the answer
    ResumeThread(thread);
    ASSERT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
    CloseHandle(thread);
    for (int i = 0; i < 1000 && liveMappings() == 0; ++i)
        Sleep(10);
    ASSERT_EQ(liveMappings(), 1u) << "the dead client's request was carried out";
    void* base = nullptr;
    ASSERT_TRUE(returnsInTime([&] { EXPECT_EQ(map(&base), VELTRA_SUCCESS); }));
    uint64_t addresses[2] = {};
    {
        std::lock_guard guard(live_->lock);
        ASSERT_EQ(live_->mappings.size(), 2u);
        addresses[0] = live_->mappings[0].first;
        addresses[1] = live_->mappings[1].first;
    }
    EXPECT_EQ(reinterpret_cast<uintptr_t>(base), addresses[1]) << "its own region";
    const auto orphan = reinterpret_cast<void*>(static_cast<uintptr_t>(addresses[0]));
    EXPECT_EQ(VELTRA_UnmapWindow(card_, orphan), VELTRA_SUCCESS) << "a region of the handle";
    EXPECT_EQ(VELTRA_UnmapWindow(card_, base), VELTRA_SUCCESS);
    expectNoWorker();
}

// A region's record is freed only after its own map request has ended: the
// driver writes that request's outcome into it.
TEST_F(MmapFaults, UnmapWaitsForTheRegionsMapRequestToEnd) {
    void* base = nullptr;
    ASSERT_EQ(map(&base), VELTRA_SUCCESS);
    {
        std::lock_guard guard(live_->lock);
        live_->holdCompletions = true;
    }
    std::atomic<bool> returned{false};
    std::thread unmap([&] {
        EXPECT_EQ(VELTRA_UnmapWindow(card_, base), VELTRA_SUCCESS);
        returned = true;
    });
    auto heldRequest = [&]() -> std::shared_ptr<vsim::PendingIo> {
        std::lock_guard guard(live_->lock);
        return live_->held.empty() ? nullptr : live_->held.front();
    };
    std::shared_ptr<vsim::PendingIo> held;
    for (int i = 0; i < 1000 && (held = heldRequest()) == nullptr; ++i)
        Sleep(10);
    Sleep(100);
    EXPECT_FALSE(returned) << "the map request has not ended yet";
    if (held != nullptr)
        held->complete(vsim::kSuccess);
    unmap.join();
    EXPECT_NE(held, nullptr) << "the unmap reached the driver";
    EXPECT_TRUE(returned);
    expectNoWorker();
}

// The driver refuses an unmap: its small code becomes the status, the region
// is neither listed nor freed (its map request may still use it), and
// closing the handle goes on with the other regions.
TEST_F(MmapFaults, DriverRefusingAnUnmap) {
    const struct {
        uint32_t error;
        VELTRA_STATUS status;
    } cases[] = {
        {vsim::driverError(1), VELTRA_INVALID_REGION},
        {vsim::driverError(2), VELTRA_UNEXPECTED_ERROR},
        {ERROR_INVALID_HANDLE, VELTRA_INVALID_HANDLE},
        {ERROR_OPERATION_ABORTED, VELTRA_CANCELLED},
        {ERROR_INVALID_FUNCTION, VELTRA_UNEXPECTED_ERROR},
    };
    void* kept = nullptr;
    ASSERT_EQ(map(&kept), VELTRA_SUCCESS);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        void* base = nullptr;
        ASSERT_EQ(map(&base), VELTRA_SUCCESS);
        {
            std::lock_guard guard(live_->lock);
            live_->refusedAddress = reinterpret_cast<uintptr_t>(base);
            live_->refusal = c.error;
        }
        const size_t blocks = vsimCountObjects("processheapblock");
        EXPECT_EQ(VELTRA_UnmapWindow(card_, base), c.status);
        EXPECT_EQ(vsimCountObjects("processheapblock"), blocks) << "the record is kept";
        EXPECT_EQ(VELTRA_UnmapWindow(card_, base), VELTRA_INVALID_REGION) << "but not listed";
    }
    // Closing: the refused region is traced and passed over, the next one
    // is unmapped, and the handle closes.
    void* refused = nullptr;
    ASSERT_EQ(map(&refused), VELTRA_SUCCESS);
    {
        std::lock_guard guard(live_->lock);
        live_->refusedAddress = reinterpret_cast<uintptr_t>(refused);
        live_->refusal = vsim::driverError(1);
    }
    void* after = nullptr;
    ASSERT_EQ(map(&after), VELTRA_SUCCESS);
    vsimClearDebugOutput();
    EXPECT_EQ(VELTRA_Close(card_), VELTRA_SUCCESS);
    card_ = nullptr;
    {
        std::lock_guard guard(live_->lock);
        for (const auto& m : live_->mappings)
            EXPECT_NE(m.first, reinterpret_cast<uintptr_t>(after)) << "unmapped at the close";
    }
    if (kCheckedBuild) {
        char line[160];
        std::snprintf(line, sizeof line, "pVirtualBase=%016llX: VELTRA_INVALID_REGION\n",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(refused)));
        const std::string text = simtest::debugText();
        EXPECT_NE(text.find("workerUnmapAllRegions: doUnmap() failed, pRegion="),
                  std::string::npos);
        EXPECT_NE(text.find(line), std::string::npos) << text;
    }
    expectNoWorker();
}

// A worker that cannot have its own OVERLAPPED (its record cannot be made,
// at its thread attach nor at its first use) could never unmap: it maps
// nothing, and a fresh worker later maps as usual.
TEST_F(MmapFaults, WorkerWithoutItsOverlappedMapsNothing) {
    vsimFailNthCall("CreateEventA", 1, ERROR_NOT_ENOUGH_MEMORY);
    vsimFailNthCall("CreateEventA", 1, ERROR_NOT_ENOUGH_MEMORY);
    void* base = reinterpret_cast<void*>(0x55);
    EXPECT_EQ(map(&base), VELTRA_NO_MEMORY);
    vsimClearFaults();
    EXPECT_EQ(base, reinterpret_cast<void*>(0x55));
    EXPECT_EQ(liveMappings(), 0u) << "no map request reached the driver";
    expectNoWorker();
    expectMappingWorks();
    expectNoWorker();
}

}  // namespace
