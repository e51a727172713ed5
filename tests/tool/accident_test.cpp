// The accidents of a data centre while the tool changes a card: a kill at
// any moment of a flash update, Ctrl-C at a terminal, two people updating one
// card, a file that changes while it is read. The card ends with the old
// image or the new one, byte for byte, never neither; a recovery file
// finishes what a kill interrupted.
#include <algorithm>
#include <atomic>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tool_fixture.h"

#if !defined(_WIN32)
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using namespace tooltest;

constexpr const char* kSerial = "serial:0x00A1B2C3";

class Accident : public Tool {
  protected:
    void SetUp() override {
        Tool::SetUp();
        trace_ = fs::absolute(file("accident.trace")).string();
        simtest::setVariable("VELTRA_SIM_TRACE", trace_);
    }
    // Every request of card 0 takes this long: the moment to act is found
    // in the trace, between two requests.
    void slow(int microseconds) {
        fault("[[fault]]\ncard = 0\nkind = \"slow\"\nlatency_us = " + std::to_string(microseconds) +
              "\n");
    }
    void fast() { ok("sim clear-faults 0"); }
    // The flash requests a process has finished, in order.
    std::vector<std::string> flashRequests(unsigned long pid) const {
        std::vector<std::string> requests;
        std::istringstream in(readText(trace_));
        const std::string self = " pid " + std::to_string(pid) + " ";
        // "... pid P tid T card 0 VELTRA WRITE_FLASH flash=0 ... -> success (...)"
        for (std::string line; std::getline(in, line);) {
            const size_t at = line.find(" VELTRA ");
            if (line.find(self) == std::string::npos || at == std::string::npos)
                continue;
            const std::string request = line.substr(at + 8, line.find(' ', at + 8) - at - 8);
            if (request.find("FLASH") != std::string::npos)
                requests.push_back(request);
        }
        return requests;
    }
    // The recovery file of an update that was finished: kept by the side to
    // try applying again while another update is unfinished.
    void keepStaleRecovery(const std::string& input) {
        writeBytes(input, pattern(4096, 5));
        fault("[[fault]]\ncard = 0\nkind = \"flash-program\"\noffset = 0\n");
        const Outcome failed = veltra("flash write -c 0 --yes --file " + input);
        EXPECT_EQ(failed.status, 1);
        ok("sim clear-faults 0");
        stale_ = file("stale.recovery");
        fs::copy_file(recoveryOf(input), stale_);
        ok("flash recover -c 0 --yes " + recoveryOf(input));
    }
    // While an update is unfinished: another update is refused; so is the
    // recovery file of one that was finished; a recovery whose input changed is refused
    // and keeps both files; a recovery killed after its erase is finished by
    // the next one.
    void refusedWhileUnfinished(const std::string& command, const std::string& input,
                                const std::string& recovery) {
        Outcome run = veltra(command);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("did not finish; `veltra flash recover -c " + std::string(kSerial)),
                  std::string::npos)
            << run.err;
        run = veltra("flash recover -c 0 --yes " + stale_);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err,
                  "veltra: " + stale_ +
                      ": this update was already finished or abandoned; nothing changed\n");
        const std::vector<uint8_t> data = readBytes(input);
        std::vector<uint8_t> changed = data;
        changed[100] ^= 0xFF;
        writeBytes(input, changed);
        run = veltra("flash recover -c 0 --yes " + recovery);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("changed since the update began"), std::string::npos) << run.err;
        EXPECT_TRUE(fs::exists(recovery) && fs::exists(input));
        writeBytes(input, data);
        killRecoveryAfterItsErase(recovery);
    }
    void killRecoveryAfterItsErase(const std::string& recovery) {
        slow(30000);
        Running killed("flash recover -c 0 --yes " + recovery, file("out.txt"), file("err.txt"));
        ASSERT_TRUE(eventually([&] {
            const auto requests = flashRequests(killed.pid());
            return std::find(requests.begin(), requests.end(), "ERASE_FLASH") != requests.end();
        }));
        killed.kill();
        killed.wait();
        fast();
        EXPECT_TRUE(fs::exists(recovery));
    }
    // Whether card 0's note says an update did not finish. Its requests
    // stay out of the trace, which the test reads while a process it is about
    // to kill runs: a longer trace takes longer to read.
    bool pending() {
        simtest::setVariable("VELTRA_SIM_TRACE", "");
        const Outcome run = veltra("status -c 0 --no-fail --json");
        simtest::setVariable("VELTRA_SIM_TRACE", trace_);
        return !json::parse(run.out)["cards"][0]["pendingUpdate"].is_null();
    }

    std::string trace_, stale_;
};

// A kill after each request that reads, erases, writes or syncs the flash
// during an update of two blocks (each keeping bytes outside the range),
// then `flash recover` when the update left its recovery file: the old image
// or the new one, byte for byte. While an update is unfinished, the next one
// is refused. The update takes an odd-sized start of its file (--length).
TEST_F(Accident, KillAtEveryStepThenRecoverGivesTheOldOrTheNewImage) {
    const std::vector<uint8_t> before = pattern(256 << 10, 3), data = pattern((8 << 10) + 100, 77);
    const size_t length = 0x1FC1;
    std::vector<uint8_t> after = before;
    std::copy(data.begin(), data.begin() + length, after.begin() + 0x1F000);
    const std::string old = file("old.bin"), update = file("update.bin");
    writeBytes(old, before);
    writeBytes(update, data);
    const std::string recovery = recoveryOf(update);
    const std::string command =
        "flash write -c 0 --yes --offset 0x1F000 --length 0x1FC1 --file " + update;
    keepStaleRecovery(file("stale.bin"));

    // A whole update, to know its steps.
    ok("flash write -c 0 --yes --file " + old);
    std::vector<size_t> steps;
    {
        Running whole(command, file("out.txt"), file("err.txt"));
        ASSERT_EQ(whole.wait(), 0);
        const std::vector<std::string> requests = flashRequests(whole.pid());
        for (size_t i = 0; i < requests.size(); ++i)
            if (requests[i] != "GET_FLASH_INFO" && requests[i] != "GET_FLASH_BLOCK_INFO")
                steps.push_back(i + 1);
        EXPECT_GE(steps.size(), 7u) << "reads, an erase, writes, a sync, reads";
    }
    bool refused = false;
    for (size_t step : steps) {
        SCOPED_TRACE("killed after flash request " + std::to_string(step));
        ok("flash write -c 0 --yes --file " + old);
        slow(30000);
        // The kill lands after the step asked for, or a few requests later
        // on a busy machine: what the card's note must say follows from the
        // requests the process had finished when it died.
        size_t reached = 0;
        {
            Running killed(command, file("out.txt"), file("err.txt"));
            ASSERT_TRUE(eventually([&] { return flashRequests(killed.pid()).size() >= step; }));
            killed.kill();
            killed.wait();
            reached = flashRequests(killed.pid()).size();
        }
        SCOPED_TRACE("the process had finished " + std::to_string(reached) + " flash requests");
        fast();
        const bool recovered = pending();
        // Once the first block is erased, the next update is refused until
        // the recovery file has finished this one.
        if (recovered && reached >= steps[2] && !refused) {
            refused = true;
            refusedWhileUnfinished(command, update, recovery);
        }
        if (recovered) {
            ok("flash recover -c " + std::string(kSerial) + " --yes " + recovery);
            EXPECT_FALSE(fs::exists(recovery));
        }
        const std::vector<uint8_t> now = flash(256 << 10);
        EXPECT_TRUE(now == before || now == after);
        if (recovered) {
            EXPECT_TRUE(now == after) << "the recovery file finishes the update";
        }
        if (reached >= steps[2] && reached < steps.back()) {
            EXPECT_TRUE(recovered) << "the card's note names the recovery file from before the "
                                      "first erase until the update is verified";
        }
    }
    EXPECT_TRUE(refused) << "some kill fell after the recovery file was written";
}

// Two writers on one card: the second is refused at once, naming the first;
// with --wait it waits, and its data is what the flash holds at the end.
TEST_F(Accident, TwoWritersOnOneCard) {
    const std::string first = file("first.bin"), second = file("second.bin");
    writeBytes(first, pattern(4 << 20, 1));
    writeBytes(second, pattern(512 << 10, 2));
    slow(30000);
    Running a("flash write -c 0 --yes --file " + first, file("a.txt"), file("a-err.txt"));
    ASSERT_TRUE(eventually([&] {
        const auto requests = flashRequests(a.pid());
        return std::find(requests.begin(), requests.end(), "ERASE_FLASH") != requests.end();
    }));
    // The waiting writer starts first, while the first is surely still
    // changing the card (a slow machine takes seconds to start a process).
    const std::string waitedErrors = file("b-err.txt");
    Running b("flash write -c 0 --yes --wait --file " + second, file("b.txt"), waitedErrors);
    const Outcome refused = veltra("flash write -c 0 --yes --file " + second);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "veltra: card 0 (serial 0x00A1B2C3) is being changed by process " +
                               std::to_string(a.pid()) +
                               ": give --wait to wait for it; nothing changed\n");
    EXPECT_EQ(a.wait(), 0);
    EXPECT_EQ(b.wait(), 0);
    EXPECT_EQ(
        withoutCarriageReturns(readText(waitedErrors)),
        "veltra: waiting for process " + std::to_string(a.pid()) + ", which is changing card 0\n");
    EXPECT_TRUE(flash(512 << 10) == pattern(512 << 10, 2));
}

// A file that shrinks and grows again while the tool reads it: the tool
// never dies of it (the file is read, not mapped), and what it writes is the
// file as it was at one moment, or nothing. On Windows no one may change a
// file the tool reads, nor may the tool read one that is being written.
TEST_F(Accident, AFileThatChangesWhileItIsReadIsAnErrorNeverASignal) {
    const std::string image = file("changing.bin");
    const std::vector<uint8_t> whole = pattern(32 << 20, 9);
    writeBytes(image, whole);
    std::atomic<bool> stop{false};
    std::thread changer([&] {
        while (!stop.load()) {
            std::error_code ignored;
            fs::resize_file(image, 16 << 20, ignored);
            fs::resize_file(image, 32 << 20, ignored);
        }
    });
    int changed = 0;
    const std::vector<uint8_t> prefix(whole.begin(), whole.begin() + (16 << 20));
    for (int run = 0; run < 6; ++run) {
        const Outcome write = veltra("flash write -c 0 --yes --no-verify --file " + image);
        EXPECT_TRUE(write.status == 0 || write.status == 1) << write.status << write.err;
        // Written: the file as it was at one moment, whole or cut to half.
        if (write.status == 0) {
            EXPECT_TRUE(flash(16 << 20) == prefix);
        }
        // Windows shares the file with no writer while the tool reads it:
        // the tool cannot open it while the test writes it instead.
        if (write.status == 1) {
            EXPECT_TRUE(write.err == "veltra: " + image + " changed while it was read\n" ||
                        write.err == "veltra: cannot open " + image +
                                         ": another program has it open for writing\n")
                << write.err;
            ++changed;
        }
    }
    stop.store(true);
    changer.join();
    std::printf("[          ] %d of 6 writes found the file changing\n", changed);
}

#if !defined(_WIN32)

// Ctrl-C at a terminal in the middle of an update of several stretches of
// blocks: the tool finishes the stretch it is writing, says where it stopped
// and which recovery file finishes the job, and exits 130; a second Ctrl-C is
// held too. The recovery file finishes the update.
TEST_F(Accident, CtrlCAtATerminalStopsWhereTheBlocksAreWhole) {
    const size_t offset = 0x1F000, whole = 0x240000;
    const std::vector<uint8_t> before = pattern(whole, 4), data = pattern(2 << 20, 5);
    std::vector<uint8_t> after = before;
    std::copy(data.begin(), data.end(), after.begin() + offset);
    const std::string old = file("old.bin"), update = file("big.bin");
    writeBytes(old, before);
    writeBytes(update, data);
    const std::string recovery = recoveryOf(update);
    ok("flash write -c 0 --yes --file " + old);
    slow(20000);
    int terminal = -1;
    const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl(VELTRA_TOOL, VELTRA_TOOL, "flash", "write", "-c", "0", "--yes", "--offset", "0x1F000",
              "--file", update.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string screen;
    std::thread reader([&] {
        char buffer[4096];
        for (ssize_t n; (n = ::read(terminal, buffer, sizeof buffer)) > 0;)
            screen.append(buffer, static_cast<size_t>(n));
    });
    EXPECT_TRUE(eventually([&] {
        const auto requests = flashRequests(static_cast<unsigned long>(child));
        return std::find(requests.begin(), requests.end(), "ERASE_FLASH") != requests.end();
    }));
    EXPECT_EQ(::write(terminal, "\x03", 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(::write(terminal, "\x03", 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    reader.join();
    ::close(terminal);
    fast();
    ASSERT_TRUE(WIFEXITED(status)) << screen;
    EXPECT_EQ(WEXITSTATUS(status), 130) << screen;
    EXPECT_NE(screen.find("veltra: interrupted: the flash update stops once the block being "
                          "written is whole"),
              std::string::npos)
        << screen;
    EXPECT_NE(screen.find("veltra: interrupt held as well"), std::string::npos) << screen;
    // Where it stopped, as it says: the update's bytes up to there, the old
    // ones from there, every block whole; and the command that finishes it.
    std::smatch stop;
    ASSERT_TRUE(std::regex_search(
        screen, stop,
        std::regex("veltra: interrupted: flash 0 of card 0 holds the update's bytes up to "
                   "(0x[0-9A-F]+); `veltra flash recover -c serial:0x00A1B2C3 ([^`]+)` "
                   "finishes the update")))
        << screen;
    EXPECT_EQ(stop[2].str(), recovery);
    const size_t at = std::stoul(stop[1].str(), nullptr, 16);
    ASSERT_GT(at, offset);
    ASSERT_LT(at, offset + data.size()) << "it stopped before the end";
    std::vector<uint8_t> expected(after.begin(), after.begin() + at);
    expected.insert(expected.end(), before.begin() + at, before.end());
    EXPECT_TRUE(flash(whole) == expected);
    ok("flash recover -c 0 --yes " + recovery);
    EXPECT_TRUE(flash(whole) == after);
}

#else

TEST_F(Accident, CtrlCAtATerminalStopsWhereTheBlocksAreWhole) {
    SKIP_ON_THIS_PLATFORM("a terminal's Ctrl-C is sent through a pty, which Linux has");
}

#endif

}  // namespace
