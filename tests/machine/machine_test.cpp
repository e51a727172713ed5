// The simulated machine as users run it: described in a file, shared by the
// processes of a state folder, kept across runs, switched off and on, and
// traced. Other processes are the peer program, which knows only the
// libraries (on Windows it runs through vsim-run, unchanged).
#include <gtest/gtest.h>

#include <kesta.h>
#include <veltra.h>
#include <vsim/cards.h>
#include <vsim/driver.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "simtest.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;

using simtest::programFolder;
using simtest::runProgram;
using simtest::setVariable;

std::string runPeer(const std::string& arguments, int& status) {
    return runProgram(MACHINE_PEER, arguments, status);
}

std::string peer(const std::string& arguments) {
    int status = -1;
    const std::string output = runPeer(arguments, status);
    EXPECT_EQ(status, 0) << "peer " << arguments;
    return output;
}

std::string absolute(const std::string& name) {
    return fs::absolute(fs::path(name)).string();
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The files under a folder, recursively, whose names begin with `prefix`.
size_t filesUnder(const std::string& folder, const std::string& prefix = "") {
    std::error_code error;
    if (!fs::exists(folder, error))
        return 0;
    size_t count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        count += entry.is_regular_file() && entry.path().filename().string().rfind(prefix, 0) == 0;
    return count;
}

// Every process of the test (this one, and the peers it starts) uses the
// machine of one state folder of its own.
class SharedMachine : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ = absolute(simtest::scratchName("machine-state"));
        fs::remove_all(folder_);
        setVariable("VELTRA_SIM_STATE", folder_);
        vsim::resetMachine();
    }
    void TearDown() override {
        setVariable("VELTRA_SIM_MACHINE", "");
        setVariable("VELTRA_SIM_STATE", "private");
        vsim::resetMachine();
        std::error_code error;
        fs::remove_all(folder_, error);
    }
    // Forgets this process's machine, as a program that ends does.
    void restart() { vsim::resetMachine(); }

    std::string folder_;
};

TEST_F(SharedMachine, ProcessesSeeOneMachine) {
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
    EXPECT_NE(vsim::machineStateFile().find(folder_), std::string::npos)
        << vsim::machineStateFile();

    // A register written by another process is read here, and the other way.
    peer("write 0 0 0x40 0xCAFE0001");
    uint32_t value = 0;
    ASSERT_EQ(VELTRA_Read(card, 0, 0, 0x40, 4, &value), VELTRA_SUCCESS);
    EXPECT_EQ(value, 0xCAFE0001u);
    value = 0x12345678;
    ASSERT_EQ(VELTRA_Write(card, 3, 0, 0x100, 4, &value), VELTRA_SUCCESS);
    EXPECT_EQ(peer("read 0 3 0x100"), "0x12345678\n");

    // So is a mapped window: a view shows what another process wrote.
    void* base = nullptr;
    ASSERT_EQ(VELTRA_MapWindow(card, 0, 0x1000, 4096, &base), VELTRA_SUCCESS);
    peer("write 0 0 0x1010 0xFEEDF00D");
    EXPECT_EQ(static_cast<volatile uint32_t*>(base)[4], 0xFEEDF00Du);
    EXPECT_EQ(VELTRA_UnmapWindow(card, base), VELTRA_SUCCESS);

    // An FPGA configured by another process is configured here.
    VELTRA_FPGA_INFOA fpga;
    ASSERT_EQ(VELTRA_GetFpgaInfoA(card, 0, &fpga), VELTRA_SUCCESS);
    EXPECT_EQ(fpga.attribute3, 0u);
    peer("configure 0");
    ASSERT_EQ(VELTRA_GetFpgaInfoA(card, 0, &fpga), VELTRA_SUCCESS);
    EXPECT_EQ(fpga.attribute3, 1u);
    EXPECT_EQ(peer("configured 1"), "0\n") << "card 1 is another card";
    EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
}

// A doorbell rung in another process ends this process's wait and signals
// the event it registered.
TEST_F(SharedMachine, DoorbellOfAnotherProcessReachesWaitsAndEvents) {
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
    OVERLAPPED wait{};
    wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE registered = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(VELTRA_StartNotificationWait(card, &wait, 7), VELTRA_PENDING);
    ASSERT_EQ(VELTRA_RegisterWin32Event(card, 9, registered), VELTRA_SUCCESS);

    peer("write 0 2 0 9");  // the doorbell window: notification 9
    EXPECT_EQ(WaitForSingleObject(registered, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(VELTRA_FinishNotificationWait(card, &wait, 0), VELTRA_PENDING) << "not its number";
    peer("write 1 2 0 7");  // another card's doorbell, then this card's 9 again: once the
    peer("write 0 2 0 9");  // event is signalled, both have been raised here, in order
    EXPECT_EQ(WaitForSingleObject(registered, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(VELTRA_FinishNotificationWait(card, &wait, 0), VELTRA_PENDING) << "another card";
    peer("write 0 2 0 7");
    EXPECT_EQ(WaitForSingleObject(wait.hEvent, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(VELTRA_FinishNotificationWait(card, &wait, 0), VELTRA_SUCCESS);

    EXPECT_EQ(VELTRA_UnregisterWin32Event(card, 9, registered), VELTRA_SUCCESS);
    CloseHandle(registered);
    CloseHandle(wait.hEvent);

    // And the other way: a doorbell rung here ends the peer's wait.
#if defined(_WIN32)
    FILE* other = _popen(("\"\"" + programFolder() + "vsim-run.exe\" \"" + programFolder() +
                          MACHINE_PEER ".exe\" wait 0 11\"")
                             .c_str(),
                         "r");
#else
    FILE* other = popen(MACHINE_PEER " wait 0 11", "r");
#endif
    ASSERT_NE(other, nullptr);
    char line[64] = "";
    ASSERT_NE(std::fgets(line, sizeof line, other), nullptr);
    EXPECT_STREQ(line, "waiting\n");
    uint32_t eleven = 11;
    EXPECT_EQ(VELTRA_Write(card, 2, 0, 0, 4, &eleven), VELTRA_SUCCESS);
    ASSERT_NE(std::fgets(line, sizeof line, other), nullptr);
    EXPECT_STREQ(line, "raised\n");
#if defined(_WIN32)
    EXPECT_EQ(_pclose(other), 0);
#else
    EXPECT_EQ(pclose(other), 0);
#endif
    EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
}

TEST_F(SharedMachine, StateOutlivesProcessesAndPowerCycleResetsVolatileState) {
    peer("flash-write 0 0x20000 written-yesterday");
    peer("configure 0");
    peer("write 0 1 0x80 0x0BADC0DE");  // card memory
    restart();
    EXPECT_EQ(peer("flash-read 0 0x20000 17"), "written-yesterday\n");

    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
    uint32_t value = 0;
    ASSERT_EQ(VELTRA_Read(card, 1, 0, 0x80, 4, &value), VELTRA_SUCCESS);
    EXPECT_EQ(value, 0x0BADC0DEu);
    value = 0x11;
    ASSERT_EQ(VELTRA_Write(card, 0, 0, 0, 4, &value), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_SetClockFrequency(card, 1, 0, 300e6, nullptr), VELTRA_SUCCESS);
    char vpd[5] = "";
    ASSERT_EQ(VELTRA_WriteVPD(card, 0, 0x100, 4, "KEPT"), VELTRA_SUCCESS);

    static const uint8_t noSyncWord[8] = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0};
    EXPECT_EQ(VELTRA_ConfigureFromBuffer(card, 0, 0, noSyncWord, sizeof noSyncWord),
              VELTRA_HARDWARE_ERROR);  // sets the configuration error word
    KESTA_HANDLE bridge = nullptr;
    ASSERT_EQ(KESTA_Open(0, 0, 0, &bridge), KESTA_SUCCESS);
    ASSERT_EQ(KESTA_ScheduleIPROG(bridge, 1, 0, 0x2000, 0x77), KESTA_SUCCESS);

    ASSERT_TRUE(vsim::powerCycle(0));
    EXPECT_FALSE(vsim::powerCycle(2));
    VELTRA_DEVICE_STATUS errors;
    uint32_t anyError = 1;
    ASSERT_EQ(VELTRA_GetDeviceStatus(card, 0, &errors, &anyError), VELTRA_SUCCESS);
    EXPECT_EQ(anyError, 0u);
    EXPECT_EQ(errors.status1, 0u);
    uint64_t address = 1;
    uint32_t state = 1, slotValue = 1;
    ASSERT_EQ(KESTA_StatusIPROG(bridge, 1, &state, &address, &slotValue), KESTA_SUCCESS);
    EXPECT_EQ(state, 0u) << "idle";
    EXPECT_EQ(address, 0u);
    uint32_t serviced = 1;
    ASSERT_EQ(KESTA_ServiceIRQ(bridge, &serviced), KESTA_SUCCESS);
    EXPECT_EQ(serviced, 0u) << "the configuration's interrupt went with the power";
    EXPECT_EQ(KESTA_Close(bridge), KESTA_SUCCESS);
    EXPECT_EQ(peer("configured 0"), "0\n");
    EXPECT_EQ(peer("read 0 0 0"), "0x00000000\n");
    EXPECT_EQ(peer("read 0 1 0x80"), "0x00000000\n");
    EXPECT_EQ(peer("clock 0 1"), "250000000\n");
    EXPECT_EQ(peer("flash-read 0 0x20000 17"), "written-yesterday\n");
    ASSERT_EQ(VELTRA_ReadVPD(card, 0, 0x100, 4, vpd), VELTRA_SUCCESS);
    EXPECT_STREQ(vpd, "KEPT");
    EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);

    // The tool's command does the same from a terminal.
    peer("configure 1");
    int status = -1;
    EXPECT_EQ(runProgram(VELTRA_TOOL, "sim power-cycle 1", status), "card 1 switched off and on\n");
    EXPECT_EQ(status, 0);
    EXPECT_EQ(peer("configured 1"), "0\n");
}

// A process that dies holding the machine's lock leaves the machine usable:
// the next change that takes the lock goes on.
TEST_F(SharedMachine, LockOfADeadProcessIsTakenOver) {
    peer("hold-lock");
    KESTA_HANDLE bridge = nullptr;
    ASSERT_EQ(KESTA_Open(0, 0, 0, &bridge), KESTA_SUCCESS);
    auto scheduled = std::async(std::launch::async,
                                [bridge] { return KESTA_ScheduleIPROG(bridge, 0, 0, 0x1000, 0); });
    if (scheduled.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        ADD_FAILURE() << "the lock of the dead process was never taken over";
        std::fflush(stdout);
        std::_Exit(1);
    }
    EXPECT_EQ(scheduled.get(), KESTA_SUCCESS);
    EXPECT_EQ(peer("flash-write 1 0 flash-after-lock"), "");
    EXPECT_EQ(KESTA_Close(bridge), KESTA_SUCCESS);
}

TEST_F(SharedMachine, ChangedDescriptionGetsAFreshState) {
    const std::string description = absolute(simtest::scratchName("one-card") + ".toml");
    writeText(description,
              "[[card]]\nboard_id = 1\ncard_memory = 4096\n"
              "[[card.window]]\nkind = \"memory\"\nsize = 4096\n");
    setVariable("VELTRA_SIM_MACHINE", description);
    peer("write 0 0 0 0x77");
    EXPECT_EQ(peer("read 0 0 0"), "0x00000077\n");
    EXPECT_TRUE(fs::exists(folder_ + "/" + simtest::scratchName("one-card")))
        << "the state folder is named after the description file";
    writeText(description,
              "[[card]]\nboard_id = 2\ncard_memory = 4096\n"
              "[[card.window]]\nkind = \"memory\"\nsize = 4096\n");
    EXPECT_EQ(peer("read 0 0 0"), "0x00000000\n");
    EXPECT_EQ(filesUnder(folder_ + "/" + simtest::scratchName("one-card"), "machine-"), 1u)
        << "the state of the new description alone";
    fs::remove(description);
}

// The files of a folder whose names hold `part` (at their end if it begins
// with a dot and has no other), by name.
std::vector<std::string> filesNamed(const std::string& folder, const std::string& part) {
    std::vector<std::string> names;
    std::error_code error;
    const bool suffix = part.rfind('.') == 0;
    for (const auto& entry : fs::directory_iterator(folder, error)) {
        const std::string name = entry.path().filename().string();
        const size_t at = name.find(part);
        if (entry.is_regular_file() && at != std::string::npos &&
            (!suffix || at + part.size() == name.size()))
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string readText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// A state file that is not one (cut short, overwritten) is set aside, with
// what it held, for a fresh machine, and a machine's name never leads out of
// the state folder.
TEST_F(SharedMachine, DamagedStateIsMadeAfreshAndNamesStayInTheFolder) {
    peer("write 0 0 0 0x31");
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
    const std::string state = vsim::machineStateFile();
    EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
    restart();  // this process lets the file go
    {
        std::fstream file(state, std::ios::in | std::ios::out | std::ios::binary);
        file.write("not a machine", 13);
    }
    EXPECT_EQ(peer("read 0 0 0"), "0x00000000\n");
    peer("write 0 0 0 0x32");
    EXPECT_EQ(peer("read 0 0 0"), "0x00000032\n");
    fs::resize_file(state, 4096);
    int status = -1;
    const std::string said = runPeer("read 0 0 0 2>&1", status);
    EXPECT_EQ(filesNamed(folder_ + "/default", ".state"),
              std::vector<std::string>{fs::path(state).filename().string()})
        << "one state, and the two that failed their checks set aside beside it";
    const auto aside = filesNamed(folder_ + "/default", ".state.bad-");
    ASSERT_EQ(aside.size(), 2u);
    EXPECT_EQ(readText(folder_ + "/default/" + aside[0]).substr(0, 13), "not a machine")
        << "what the damaged file held is kept";
    EXPECT_EQ(fs::file_size(folder_ + "/default/" + aside[1]), 4096u);
    EXPECT_EQ(said, "vsim: the state file " + state + " failed its checks: it is kept as " +
                        aside[1] + ", and the machine starts afresh\n0x00000000\n");

    const std::string description = absolute(simtest::scratchName("dots") + ".toml");
    writeText(description,
              "[machine]\nname = \"..\"\n[[card]]\ncard_memory = 4096\n"
              "[[card.window]]\nkind = \"memory\"\nsize = 4096\n");
    setVariable("VELTRA_SIM_MACHINE", description);
    peer("write 0 0 0 0x33");
    EXPECT_EQ(filesUnder(folder_ + "/_.", "machine-"), 1u);
    for (const auto& entry : fs::directory_iterator(fs::path(folder_).parent_path()))
        EXPECT_FALSE(entry.is_regular_file() &&
                     entry.path().filename().string().rfind("machine-", 0) == 0)
            << "outside the state folder: " << entry.path();
    fs::remove(description);
}

// A process that dies while it erases or programs the flash leaves the card
// reporting a flash error (the third status word), as the real card reports
// an interrupted flash operation, and the trace says why.
TEST_F(SharedMachine, InterruptedFlashChangeIsReported) {
    const std::string trace = absolute(simtest::scratchName("flash") + ".trace");
    peer("interrupt-flash 1");
    setVariable("VELTRA_SIM_TRACE", trace);
    peer("flash-read 1 0 4");  // takes the lock over
    setVariable("VELTRA_SIM_TRACE", "");
    EXPECT_NE(readText(trace).find("card 1: a flash erase or program was interrupted (its process "
                                   "ended while it changed the flash); the device status reports "
                                   "a flash error"),
              std::string::npos)
        << readText(trace);
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_Open(1, &card), VELTRA_SUCCESS);
    VELTRA_DEVICE_STATUS status{};
    uint32_t any = 0;
    ASSERT_EQ(VELTRA_GetDeviceStatus(card, 0, &status, &any), VELTRA_SUCCESS);
    EXPECT_EQ(any, 1u);
    EXPECT_EQ(status.status3 & 1u, 1u);
    ASSERT_EQ(VELTRA_ClearDeviceErrors(card), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_GetDeviceStatus(card, 0, &status, &any), VELTRA_SUCCESS);
    EXPECT_EQ(any, 0u) << "reported once";
    EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
    std::remove(trace.c_str());
}

// Two description files of one name in two folders: each has its own state,
// and opening one never removes the other's.
TEST_F(SharedMachine, DescriptionsOfOneNameKeepTheirStatesApart) {
    const std::string card =
        "[[card]]\ncard_memory = 4096\n[[card.window]]\nkind = \"memory\"\nsize = 4096\n";
    const std::string projects = absolute(simtest::scratchName("projects"));
    fs::create_directories(projects + "/A");
    fs::create_directories(projects + "/B");
    writeText(projects + "/A/card.toml", "[machine]\ndriver_version = \"2.1.3\"\n" + card);
    writeText(projects + "/B/card.toml", "[machine]\ndriver_version = \"2.1.4\"\n" + card);
    setVariable("VELTRA_SIM_MACHINE", projects + "/A/card.toml");
    peer("write 0 0 0 0x41");
    setVariable("VELTRA_SIM_MACHINE", projects + "/B/card.toml");
    peer("write 0 0 0 0x42");
    EXPECT_EQ(peer("read 0 0 0"), "0x00000042\n");
    setVariable("VELTRA_SIM_MACHINE", projects + "/A/card.toml");
    EXPECT_EQ(peer("read 0 0 0"), "0x00000041\n") << "A's state survived B's";
    EXPECT_EQ(filesNamed(folder_ + "/card", ".state").size(), 2u);
    fs::remove_all(projects);
}

#if !defined(_WIN32)
// Who may use a state folder: this user's own, not writable by others, and
// reached without symbolic links; another user's is refused, and then the
// machine has no cards. The cleanup of earlier states removes their files
// alone.
class StateFolderOwner : public SharedMachine {
  protected:
    // The message that the machine of the folder refuses with.
    std::string refusal() {
        vsim::resetMachine();
        VELTRA_HANDLE card = nullptr;
        EXPECT_EQ(VELTRA_Open(0, &card), VELTRA_DEVICE_NOT_FOUND);
        const std::string problem = vsim::machineProblem();
        const std::string end = "; the simulated machine has no cards";
        EXPECT_GE(problem.size(), end.size()) << problem;
        EXPECT_EQ(problem.substr(problem.size() - std::min(problem.size(), end.size())), end);
        return problem.substr(0, problem.size() - std::min(problem.size(), end.size()));
    }
};

TEST_F(StateFolderOwner, FoldersOthersMayChangeAndLinksAreRefused) {
    fs::create_directories(folder_);
    fs::permissions(folder_, fs::perms::all);
    EXPECT_EQ(refusal(), "the state folder " + folder_ +
                             " may be changed by other users (mode 0777): refused");
    fs::permissions(folder_, fs::perms::owner_all);
    const std::string elsewhere = folder_ + "-elsewhere";
    fs::create_directories(elsewhere);
    fs::create_directory_symlink(elsewhere, folder_ + "/default");
    EXPECT_EQ(refusal(), folder_ +
                             "/default is a symbolic link or not a folder: refused as a "
                             "state folder");
    EXPECT_EQ(filesUnder(elsewhere), 0u) << "nothing made where the link leads";
    fs::remove(folder_ + "/default");
    fs::remove_all(elsewhere);

    // A state file that is a link is refused too; a file of another name
    // that begins as state files do stays, as does another description's.
    vsim::resetMachine();
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
    const std::string state = vsim::machineStateFile();
    restart();
    writeText(folder_ + "/default/machine-linux-notes.txt", "mine");
    const std::string other = folder_ + "/default/machine-linux-00000000-0000000000000000-6.state";
    writeText(other, "another description's");
    fs::remove(state);
    writeText(folder_ + "/target", "");
    fs::create_symlink(folder_ + "/target", state);
    EXPECT_EQ(refusal(), "the state file " + state + " is a symbolic link: refused");
    fs::remove(state);
    vsim::resetMachine();
    ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS) << vsim::machineProblem();
    ASSERT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
    EXPECT_TRUE(fs::exists(folder_ + "/default/machine-linux-notes.txt"));
    EXPECT_TRUE(fs::exists(other));
}

TEST_F(StateFolderOwner, AnotherUsersFolderAndFileAreRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "another user's folder needs root to make (chown); run as root to test it";
    constexpr uid_t kOther = 65534;
    fs::create_directories(folder_ + "/default");
    fs::permissions(folder_, fs::perms::owner_all);
    ASSERT_EQ(chown(folder_.c_str(), kOther, kOther), 0);
    EXPECT_EQ(refusal(),
              "the state folder " + folder_ + " belongs to another user (uid 65534): refused");
    EXPECT_EQ(filesUnder(folder_), 0u) << "nothing made in another user's folder";
    ASSERT_EQ(chown(folder_.c_str(), 0, 0), 0);

    vsim::resetMachine();
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
    uint32_t value = 0x5A;
    ASSERT_EQ(VELTRA_Write(card, 0, 0, 0, 4, &value), VELTRA_SUCCESS);
    ASSERT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
    const std::string state = vsim::machineStateFile();
    restart();
    ASSERT_EQ(chown(state.c_str(), kOther, kOther), 0);
    EXPECT_EQ(refusal(),
              "the state file " + state + " belongs to another user (uid 65534): refused");

    // The other user, in a process of theirs, is refused this user's folder
    // even where they may look into it.
    ASSERT_EQ(chown(state.c_str(), 0, 0), 0);
    fs::permissions(folder_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
    int status = -1;
    const std::string said = simtest::runCommand(
        "setpriv --reuid=65534 --regid=65534 --clear-groups " MACHINE_PEER " read 0 0 0 2>&1",
        status);
    if (said.rfind("vsim:", 0) != 0)
        GTEST_SKIP() << "the build cannot be run by another user here: " << said;
    EXPECT_EQ(said.substr(0, said.find('\n')),
              "vsim: the state folder " + folder_ +
                  " belongs to another user (uid 0): refused; the simulated machine has no cards");
    EXPECT_NE(status, 0);
}
#endif

// The trace of a known sequence of calls, as the other process made them.
TEST_F(SharedMachine, TraceShowsEachRequestAsTheDriverSawIt) {
    const std::string path = absolute(simtest::scratchName("trace") + ".txt");
    fs::remove(path);
    setVariable("VELTRA_SIM_TRACE", path);
    int status = -1;
    runPeer("trace-sequence", status);
    setVariable("VELTRA_SIM_TRACE", "");
    EXPECT_EQ(status, 0);
    std::vector<std::string> lines;
    {
        std::ifstream file(path);
        for (std::string line; std::getline(file, line);)
            lines.push_back(line);
    }
    fs::remove(path);

    const std::string prefix = R"(^\d\d:\d\d:\d\d\.\d{6} pid \d+ tid \d+ )";
    const std::string took = R"( \(\d+\.\d+ (us|ms)\)$)";
    const std::string expected[] = {
        "card 0 VELTRA GET_CARD_INFO -> success",
        "card 0 VELTRA WRITE window=0 flags=0x0 offset=0x10 length=4 buffer=0x[0-9A-F]+ -> success",
        "card 0 VELTRA READ window=0 flags=0x0 offset=0x10 length=4 buffer=0x[0-9A-F]+ -> success",
        "card 0 VELTRA READ window=0 flags=0x0 offset=0x100000 length=4 buffer=0x[0-9A-F]+ -> "
        "VELTRA_INVALID_REGION",
        "card 0 VELTRA WRITE_DMA channel=0 flags=0x0 host=0x[0-9A-F]+ length=4096 local=0x1000 -> "
        "pending",
        "card 0 VELTRA WRITE_DMA channel=0 flags=0x0 host=0x[0-9A-F]+ length=4096 local=0x1000 -> "
        "completed: success",
        "card 0 KESTA GET_UNIQUE_ID -> success",
    };
    size_t at = 0;
    for (const std::string& line : lines) {
        EXPECT_TRUE(std::regex_search(line, std::regex(prefix))) << line;
        if (at < std::size(expected) &&
            std::regex_search(line, std::regex(prefix + expected[at] + took)))
            ++at;
    }
    std::string all;
    for (const auto& line : lines)
        all += line + "\n";
    EXPECT_EQ(at, std::size(expected))
        << "missing: " << expected[std::min(at, std::size(expected) - 1)] << "\nin:\n"
        << all;
}

// A private machine is the process's own and leaves nothing in any folder.
TEST(PrivateMachine, NeverTouchesTheStateFolder) {
    const std::string home = absolute(simtest::scratchName("home"));
    fs::remove_all(home);
    fs::create_directories(home);
    const char* saved[] = {"HOME", "XDG_STATE_HOME", "LOCALAPPDATA"};
    std::vector<std::string> before;
    for (const char* name : saved) {
        const char* value = std::getenv(name);
        before.push_back(value != nullptr ? value : "");
        setVariable(name, home);
    }
    setVariable("VELTRA_SIM_STATE", "private");
    vsim::resetMachine();
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
    EXPECT_EQ(vsim::machineStateFile(), "");
    uint32_t value = 0x5151;
    EXPECT_EQ(VELTRA_Write(card, 0, 0, 0, 4, &value), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
    peer("write 0 0 0 0x6262");  // a machine of its own, too
    vsim::resetMachine();
    ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
    EXPECT_EQ(VELTRA_Read(card, 0, 0, 0, 4, &value), VELTRA_SUCCESS);
    EXPECT_EQ(value, 0u) << "a fresh machine";
    EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
    EXPECT_EQ(filesUnder(home), 0u);
    for (size_t i = 0; i < std::size(saved); ++i)
        setVariable(saved[i], before[i]);
    fs::remove_all(home);
}

// The machine of the shipped example: a user's own card, as its file says.
TEST(MachineDescription, UsersOwnCard) {
    setVariable("VELTRA_SIM_MACHINE", programFolder() + EXAMPLE_MACHINE_PATH);
    vsim::resetMachine();
    EXPECT_EQ(vsim::machineProblem(), "");
    VELTRA_HANDLE card = nullptr;
    ASSERT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS);
    VELTRA_HANDLE second = nullptr;
    EXPECT_EQ(VELTRA_Open(1, &second), VELTRA_DEVICE_NOT_FOUND);
    VELTRA_CARD_INFO info;
    ASSERT_EQ(VELTRA_GetCardInfo(card, &info), VELTRA_SUCCESS);
    EXPECT_EQ(info.cardValue2, 0x7325u) << "the board id";
    EXPECT_EQ(info.cardValue0, 1u) << "the revision";
    EXPECT_EQ(info.windowCount, 3u);
    VELTRA_FPGA_INFOA fpga;
    ASSERT_EQ(VELTRA_GetFpgaInfoA(card, 0, &fpga), VELTRA_SUCCESS);
    EXPECT_STREQ(fpga.name, "7k325tffg900");
    VELTRA_FLASH_BLOCK_INFO block;
    ASSERT_EQ(VELTRA_GetFlashBlockInfo(card, 0, 0x2000, &block), VELTRA_SUCCESS);
    EXPECT_EQ(block.attribute2, 8192u) << "parameter blocks at the bottom";
    ASSERT_EQ(VELTRA_GetFlashBlockInfo(card, 0, 0x10000, &block), VELTRA_SUCCESS);
    EXPECT_EQ(block.attribute2, 65536u);
    VELTRA_SENSOR_VALUE reading;
    ASSERT_EQ(VELTRA_ReadSensor(card, 1, &reading), VELTRA_SUCCESS);
    EXPECT_NEAR(reading.doubleValue, 12.05, 1e-6);
    double lowest = 100, highest = 0;
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(VELTRA_ReadSensor(card, 0, &reading), VELTRA_SUCCESS);
        lowest = std::min(lowest, reading.doubleValue);
        highest = std::max(highest, reading.doubleValue);
    }
    EXPECT_GE(lowest, 50.5);
    EXPECT_LE(highest, 53.5);
    EXPECT_GT(highest - lowest, 0.5) << "noise, not a constant";
    // 1 MiB at 1 GiB/s and 20 us: the transfer takes as long as the card's.
    std::vector<uint8_t> data(1 << 20, 0xA5);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(VELTRA_WriteDMA(card, 0, 0, data.data(), data.size(), 0), VELTRA_SUCCESS);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(950));
    EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
    setVariable("VELTRA_SIM_MACHINE", "");
    vsim::resetMachine();
}

// A description that cannot be used: one message with the file, the line
// and what is wrong, and a machine without cards.
TEST(MachineDescription, BadFileGivesItsMessageAndNoCards) {
    const std::string path = simtest::scratchName("bad") + ".toml";
    struct Case {
        const char* text;
        const char* message;  // after "PATH:"
    };
    const Case cases[] = {
        {"[[card]]\nboard_idd = 1\n", "2: unknown key 'board_idd' in [[card]]"},
        {"[[card]]\nserial = \"A1\"\n", "2: 'serial' must be a whole number"},
        {"[[card]]\n\nrevision = 0x100000000\n", "3: 'revision' must lie between 0 and 4294967295"},
        {"[[card]]\ncard_memory = \"12 MB\"\n",
         "2: 'card_memory' is not a size: \"12 MB\" (write a number of bytes, or one with B, "
         "KiB, MiB, GiB or TiB)"},
        {"[[card]]\ncard_memory = 4096\n[[card.window]]\nkind = \"memory\"\n",
         "3: [[card.window]] needs 'size'"},
        {"[[card]]\n[[card.window]]\nkind = \"ram\"\nsize = 4096\n",
         "3: 'kind' must be one of \"memory\", \"card-memory\", \"registers\", \"doorbell\""},
        {"[[card]]\ncard_memory = 4096\n[[card.window]]\nkind = \"card-memory\"\nsize = 8192\n",
         "3: a card-memory window can show no more than the card's 'card_memory' (4096 bytes)"},
        {"[[card]]\n[[card.flash]]\nsize = \"1 MiB\"\nblock_size = \"96 KiB\"\n",
         "2: the flash's 'size' must be whole main blocks of 'block_size' plus its parameter "
         "blocks"},
        {"[[card]]\n[[card.clock]]\nfrequency = 5\nrange = [10, 20]\n",
         "4: a clock's 'range' must hold its 'frequency', and its 'step' must not be 0"},
        {"[[card]]\n[[card.sensor]]\nreading = { ramp = { from = 1, steps = 0 } }\n",
         "3: a ramp's 'steps' must not be 0"},
        {"[[card]]\n[[card.sensor]]\nreading = { ramp = { from = 0, step = 999999999, steps = "
         "1000000 } }\n",
         "3: a ramp's last reading (from + step * (steps - 1)) must lie between -1e9 and 1e9"},
        {"[[card]]\n[[card.window]]\nkind = \"memory\"\nsize = \"128 MiB\"\nwatch = true\n",
         "5: a watched window's 'size' must not exceed 64 MiB"},
        {"[machine]\ndriver_version = \"2.1\"\n",
         "2: 'driver_version' must be a version such as \"2.1.3\""},
        {"[[card]]\n[card.vpd]\nsize = 4\ncontent = \"too long\"\n",
         "2: the VPD's 'content' must fit in its 'size', which must not be 0"},
        {"[[card]]\ndma = { channels = 1, latency_us = -1 }\n",
         "2: 'latency_us' must lie between 0 and 1000000"},
        {"[[card]]\ndma = { bandwidth = \"1 KiB\" }\n",
         "2: 'bandwidth' must be 0 (as fast as memory) or at least 1 MiB a second"},
        {"[[card]]\n[[card.sensor]]\nreading = { constant = 5e9 }\n",
         "3: 'constant' must lie between -1e9 and 1e9"},
        // Any character in a comment; text values are ASCII.
        {"[[card]] # 45 \u00B0C is fine here\n[[card.sensor]]\ndescription = \"45 \u00B0C\"\n",
         "3: text must be plain ASCII (a non-ASCII character in column 19)"},
    };
    for (const Case& c : cases) {
        writeText(path, c.text);
        std::string problem;
        EXPECT_FALSE(vsim::checkMachineDescription(path, problem)) << c.text;
        EXPECT_EQ(problem, path + ":" + c.message) << c.text;
    }
    std::string nine = "[[card]]\n";
    for (int i = 0; i < 9; ++i)
        nine += "[[card.fpga]]\ntype = 260\n";
    writeText(path, nine);
    std::string problem;
    EXPECT_FALSE(vsim::checkMachineDescription(path, problem));
    EXPECT_EQ(problem, path + ":2: at most 8 'fpga' entries are allowed");

    // Not TOML at all: the parser's message, with the line, on one line. A
    // non-ASCII character where TOML has none is just as wrong.
    writeText(path, "[[card]]\nboard_id = 0x7038\n\nserial = = 3\n");
    EXPECT_FALSE(vsim::checkMachineDescription(path, problem));
    EXPECT_EQ(problem.rfind(path + ":4: ", 0), 0u) << problem;
    writeText(path, "[[card]]\necc = t\nrue\n");
    EXPECT_FALSE(vsim::checkMachineDescription(path, problem));
    EXPECT_EQ(problem.rfind(path + ":2: ", 0), 0u) << problem;
    EXPECT_EQ(problem.find('\n'), std::string::npos) << problem;
    writeText(path, "[[card]]\nboard_id = 1 \u00A1\n");
    EXPECT_FALSE(vsim::checkMachineDescription(path, problem));
    EXPECT_EQ(problem.rfind(path + ":2: ", 0), 0u) << problem;

    EXPECT_FALSE(vsim::checkMachineDescription(path + ".missing", problem));
    EXPECT_EQ(problem, "cannot read the machine description " + path + ".missing");

    // The machine the environment names has no cards then, for both libraries.
    writeText(path, "[[card]]\nboard_id = \"x\"\n");
    setVariable("VELTRA_SIM_MACHINE", path);
    vsim::resetMachine();
    VELTRA_HANDLE card = nullptr;
    EXPECT_EQ(VELTRA_Open(0, &card), VELTRA_DEVICE_NOT_FOUND);
    KESTA_HANDLE bridge = nullptr;
    EXPECT_EQ(KESTA_Open(0, 0, 0, &bridge), KESTA_DEVICE_NOT_FOUND);
    EXPECT_EQ(vsim::machineProblem(), path +
                                          ":2: 'board_id' must be a whole number; the simulated "
                                          "machine has no cards");
    setVariable("VELTRA_SIM_MACHINE", "");
    vsim::resetMachine();
    EXPECT_EQ(VELTRA_Open(0, &card), VELTRA_SUCCESS) << "the default machine again";
    EXPECT_EQ(VELTRA_Close(card), VELTRA_SUCCESS);
    std::remove(path.c_str());
}

// vsim-run hands back the program's exit code however the program ends,
// refuses a command line without a program, takes a machine description
// path of any length, and never runs a program whose simulator did not load.
TEST(Launcher, ExitCodeIsTheProgramsOwn) {
#if !defined(_WIN32)
    SKIP_ON_THIS_PLATFORM(
        "vsim-run is a Windows program: Linux programs run on the simulator as "
        "they are");
#else
    const std::string launcher = "\"" + programFolder() + "vsim-run.exe\"";
    const std::string peerProgram = "\"" + programFolder() + MACHINE_PEER ".exe\"";
    int status = -1;
    runPeer("exit 7", status);
    EXPECT_EQ(status, 7);
    simtest::runCommand(launcher + " --machine 2>NUL", status);
    EXPECT_EQ(status, 2);

    // A program that ends before its code runs (a library it needs is not
    // there) ends with its own code: STATUS_DLL_NOT_FOUND.
    const std::string alone = absolute(simtest::scratchName("alone"));
    fs::remove_all(alone);
    fs::create_directories(alone);
    fs::copy_file(programFolder() + MACHINE_PEER ".exe", alone + "\\peer.exe");
    simtest::runCommand("cd /d \"" + alone + "\" && " + launcher + " peer.exe exit 7 2>NUL", status);
    EXPECT_EQ(static_cast<uint32_t>(status), 0xC0000135u);

    // A simulator that does not load: the program is ended before it runs.
    fs::copy_file(programFolder() + "vsim-run.exe", alone + "\\vsim-run.exe");
    writeText(alone + "\\vsim.dll", "not a library");
    std::string said = simtest::runCommand(
        "\"\"" + alone + "\\vsim-run.exe\" " + peerProgram + " read 0 0 0 2>&1\"", status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(said.rfind("vsim-run: cannot load the simulated driver into ", 0), 0u) << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << "nothing from the program: " << said;

    // A description path longer than MAX_PATH reaches the program whole.
    std::string longPath = alone;
    while (longPath.size() < 300)
        longPath += "\\a-folder-of-a-long-path";
    longPath += "\\machine.toml";
    said = simtest::runCommand(
        "\"" + launcher + " --machine \"" + longPath + "\" " + peerProgram + " read 0 0 0 2>&1\"",
        status);
    EXPECT_NE(said.find("vsim: cannot read the machine description " + longPath +
                        "; the simulated machine has no cards"),
              std::string::npos)
        << said;
    fs::remove_all(alone);
#endif
}

}  // namespace
