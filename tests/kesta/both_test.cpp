// Both libraries in one process: each has its own TLS slot and per-thread
// records, and threads that use both leave nothing behind.
#include <kesta.h>
#include <veltra.h>

#include <mutex>
#include <thread>
#include <vector>

#include "bitstream_writer.h"
#include "simtest.h"

namespace {

TEST(BothLibraries, ThreadsUsingBothLeaveNothingBehind) {
    vsim::resetMachine();
    VELTRA_HANDLE veltra = nullptr;
    KESTA_HANDLE kesta = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &veltra), VELTRA_SUCCESS);
    ASSERT_EQ(KESTA_Open(0, 0, 0, &kesta), KESTA_SUCCESS);
    std::mutex lock;
    std::vector<uint32_t> ids;
    std::vector<std::thread> threads;
    for (int i = 0; i < 50; ++i)
        threads.emplace_back([&] {
            VELTRA_CARD_INFO info;
            uint64_t id = 0;
            EXPECT_EQ(VELTRA_GetCardInfo(veltra, &info), VELTRA_SUCCESS);
            EXPECT_EQ(KESTA_GetUniqueId(kesta, &id), KESTA_SUCCESS);
            const uint32_t me = GetCurrentThreadId();
            // One record, with its own event, in each library.
            EXPECT_EQ(vsimCountObjectsOfThreads("event", &me, 1), 2u);
            std::lock_guard guard(lock);
            ids.push_back(me);
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(simtest::objectsLeftByThreads("event", ids), 0u);
    EXPECT_EQ(simtest::objectsLeftByThreads("heapblock", ids), 0u);
    EXPECT_EQ(VELTRA_Close(veltra), VELTRA_SUCCESS);
    EXPECT_EQ(KESTA_Close(kesta), KESTA_SUCCESS);
}

// The bridge interrupts when an FPGA of its card finishes configuring.
TEST(BothLibraries, ConfigurationRaisesTheBridgeInterrupt) {
    vsim::resetMachine();
    VELTRA_HANDLE veltra = nullptr;
    KESTA_HANDLE kesta = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &veltra), VELTRA_SUCCESS);
    ASSERT_EQ(KESTA_Open(0, 0, 0, &kesta), KESTA_SUCCESS);
    const auto data = bitstream::configurationData(1024);
    ASSERT_EQ(VELTRA_ConfigureFromBuffer(veltra, 0, 0, data.data(), data.size()), VELTRA_SUCCESS);
    uint32_t serviced = 0;
    ASSERT_EQ(KESTA_ServiceIRQ(kesta, &serviced), KESTA_SUCCESS);
    EXPECT_EQ(serviced, 1u);
    ASSERT_EQ(KESTA_ServiceIRQ(kesta, &serviced), KESTA_SUCCESS);
    EXPECT_EQ(serviced, 0u) << "serviced once";
    VELTRA_Close(veltra);
    KESTA_Close(kesta);
}

}  // namespace
