#include "tool_fixture.h"

#include <sstream>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace tooltest {

namespace {

std::vector<std::string> split(const std::string& arguments) {
    std::istringstream in(arguments);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

}  // namespace

#if defined(_WIN32)

namespace {

HANDLE inheritable(const std::string& path) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

// veltra.exe with --sim attaches the simulated driver itself: the process
// the test kills is the tool, not a launcher, and a command costs one
// process start under Wine rather than three (the shell, vsim-run and the
// tool). A word ">FILE" or "2>FILE" sends standard output or error there.
Running::Running(const std::string& arguments, const std::string& out, const std::string& err) {
    std::string command = "\"" + simtest::programFolder() + "veltra.exe\" --sim";
    std::string output = out, errors = err;
    for (const std::string& word : split(arguments)) {
        if (word.rfind("2>", 0) == 0)
            errors = word.substr(2);
        else if (word.rfind(">", 0) == 0)
            output = word.substr(1);
        else
            command += " " + word;
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = inheritable(output);
    startup.hStdError = inheritable(errors);
    PROCESS_INFORMATION process{};
    // Wine's loader fails a start now and then: it is tried again.
    BOOL started = FALSE;
    for (int attempt = 1; !started && attempt <= 4; ++attempt) {
        if (attempt > 1)
            Sleep(100 * attempt);
        started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 nullptr, &startup, &process);
    }
    CloseHandle(startup.hStdOutput);
    CloseHandle(startup.hStdError);
    EXPECT_TRUE(started) << command;
    if (!started)
        return;
    CloseHandle(process.hThread);
    process_ = reinterpret_cast<intptr_t>(process.hProcess);
    pid_ = process.dwProcessId;
}

void Running::kill() {
    if (process_ != 0 && !ended_)
        TerminateProcess(reinterpret_cast<HANDLE>(process_), 137);
}

int Running::wait() {
    if (process_ == 0 || ended_)
        return status_;
    WaitForSingleObject(reinterpret_cast<HANDLE>(process_), INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(reinterpret_cast<HANDLE>(process_), &code);
    ended_ = true;
    status_ = code == 137 ? -1 : static_cast<int>(code);
    return status_;
}

Running::~Running() {
    kill();
    wait();
    if (process_ != 0)
        CloseHandle(reinterpret_cast<HANDLE>(process_));
}

#else

Running::Running(const std::string& arguments, const std::string& out, const std::string& err) {
    std::vector<std::string> words = split(arguments);
    words.insert(words.begin(), VELTRA_TOOL);
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, VELTRA_TOOL, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(error, 0) << arguments;
    if (error == 0) {
        process_ = pid;
        pid_ = static_cast<unsigned long>(pid);
    }
}

void Running::kill() {
    if (process_ != 0 && !ended_)
        ::kill(static_cast<pid_t>(process_), SIGKILL);
}

int Running::wait() {
    if (process_ == 0 || ended_)
        return status_;
    int status = 0;
    waitpid(static_cast<pid_t>(process_), &status, 0);
    ended_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return status_;
}

Running::~Running() {
    kill();
    wait();
}

#endif

void Tool::SetUp() {
    folder_ = fs::absolute(simtest::scratchName("tool-state")).string();
    fs::remove_all(folder_);
    simtest::setVariable("VELTRA_SIM_STATE", folder_);
}

void Tool::TearDown() {
    simtest::setVariable("VELTRA_SIM_STATE", "private");
    simtest::setVariable("VELTRA_SIM_TRACE", "");
    std::error_code error;
    fs::remove_all(folder_, error);
    for (const std::string& name : files_)
        fs::remove(name, error);
}

std::string Tool::file(const std::string& base) {
    files_.push_back(simtest::scratchName(base));
    return files_.back();
}

Outcome Tool::veltra(const std::string& arguments) {
    const std::string errors = file("veltra-stderr.txt");
    Outcome run;
#if defined(_WIN32)
    const std::string output = file("veltra-stdout.txt");
    run.status = Running(arguments, output, errors).wait();
    run.out = withoutCarriageReturns(readText(output));
#else
    run.out = simtest::runProgram(VELTRA_TOOL, arguments + " 2>" + errors, run.status);
#endif
    run.err = withoutCarriageReturns(readText(errors));
    return run;
}

// Commands that change a card's flash or VPD ask first at a terminal (which
// the test programs' standard input is, under Wine): the tests answer with
// --yes, as scripts do.
std::string Tool::ok(const std::string& arguments) {
    const Outcome run = veltra(arguments);
    EXPECT_EQ(run.status, 0) << "veltra " << arguments << "\n" << run.err;
    EXPECT_EQ(run.err, "") << "veltra " << arguments;
    return run.out;
}

json Tool::okJson(const std::string& arguments) {
    const std::string out = ok(arguments);
    try {
        return json::parse(out);
    } catch (const json::exception& error) {
        ADD_FAILURE() << "veltra " << arguments << ": not JSON (" << error.what() << "): " << out;
        return json();
    }
}

void Tool::fault(const std::string& text) {
    const std::string path = file("fault.toml");
    std::ofstream(path, std::ios::binary) << text;
    ok("sim fault " + path);
}

std::vector<uint8_t> Tool::flash(size_t length) {
    const std::string back = file("flash-back.bin");
    const Outcome run =
        veltra("flash read -c 0 --length " + std::to_string(length) + " --file " + back);
    EXPECT_EQ(run.status, 0) << run.err;
    return readBytes(back);
}

std::string Tool::statedPlace(const std::string& what) {
    const std::string state = withoutCarriageReturns(ok("sim state"));
    const size_t at = state.find(what + ": ");
    if (at == std::string::npos)
        return "";
    const size_t from = at + what.size() + 2;
    return state.substr(from, state.find('\n', from) - from);
}

// The recovery folder, and the card's key: its serial, then on Windows the
// machine's key, which the lock's name shows after it.
std::string Tool::recoveryOf(const std::string& input) {
    const std::string lock = statedPlace("card locks");
    const size_t serial = lock.find("veltra-card-SERIAL");
    std::string key = serial == std::string::npos ? "" : lock.substr(serial + 18);
    if (key.rfind("-", 0) != 0)
        key.clear();
#if defined(_WIN32)
    const char* separator = "\\";
#else
    const char* separator = "/";
#endif
    return statedPlace("recovery files") + separator + fs::path(input).filename().string() +
           ".card-00A1B2C3" + key + ".recovery";
}

}  // namespace tooltest
