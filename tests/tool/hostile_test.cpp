// The tool in hostile hands, on a host other people use: names another
// user planted where the tool writes, outputs that are not files, recovery
// files that someone else wrote, moved, copied or applied again, and the
// card's lock seen from every session. What the operator did not mean is
// never written nor trusted, and the flash holds the old or the new image.
// On Linux a second user is played by a child process that drops to
// uid 65534 (nobody), as setpriv would start it.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "sha256.h"
#include "tool_fixture.h"

#if defined(_WIN32)
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#else
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

using namespace tooltest;

constexpr const char* kSerial = "serial:0x00A1B2C3";

// The SHA-256 of bytes, as sha256sum prints it (the routine is checked
// against the standard's vectors on its own).
std::string sha256Text(const std::vector<uint8_t>& bytes) {
    return tool::digestText(tool::sha256(bytes));
}

// "veltra flash recover -c serial:0x00A1B2C3 FILE" in an error message.
std::string namedRecoveryFile(const std::string& message) {
    std::smatch found;
    const std::regex pattern("`veltra flash recover -c serial:0x00A1B2C3 ([^`]+)` finishes");
    return std::regex_search(message, found, pattern) ? found[1].str() : "";
}

class Hostile : public Tool {
  protected:
    // Finishes the update from its recovery file while a DMA error shares
    // the device status with the flash error the update left: the flash
    // error is left for `veltra status --clear`, which clears them all.
    void recoverBesideADmaError(const std::string& recovery) {
        const std::string small = file("hostile-dma.bin");
        writeBytes(small, pattern(4096, 1));
        fault("[[fault]]\ncard = 0\nkind = \"dma\"\n");
        EXPECT_EQ(veltra("dma write -c 0 --local 0 --file " + small).status, 1);
        const Outcome run = veltra("flash recover -c 0 --yes " + recovery);
        EXPECT_EQ(run.status, 0) << run.err;
        const std::string out = withoutCarriageReturns(run.out);
        EXPECT_EQ(out.substr(out.find("; removed")),
                  "; removed " + recovery +
                      "; the device status still reports a flash error beside other errors "
                      "(`veltra status` shows them, --clear clears them all)\n");
        const json status = json::parse(veltra("status -c 0 --clear --json").out);
        EXPECT_EQ(status["cards"][0]["status2"], 1);
        EXPECT_EQ(status["cards"][0]["status3"], 1);
    }
    // Card 0's VPD, saved to a file and written to standard output (-),
    // which gets the same bytes while what the tool says goes to stderr.
    std::string vpdThroughStandardOutput() {
        const std::string saved = file("hostile-vpd.bin");
        ok("vpd read -c 0 --file " + saved);
        const std::string vpd = readText(saved);
        const std::string captured = file("hostile-stdout.bin");
        const Outcome toStdout = veltra("vpd read -c 0 --file - >" + captured);
        EXPECT_EQ(toStdout.status, 0);
        EXPECT_TRUE(readText(captured) == vpd) << readText(captured).size() << " bytes";
        EXPECT_EQ(toStdout.err, "saved 8 KiB of VPD of card 0 to -\n");
        EXPECT_FALSE(fs::exists("-"));
        return vpd;
    }
    // An update of card 0 that stops after its first erase, as a card that
    // fails a write would stop it: the card's note then names its recovery
    // file, which the error message gives. The card holds `before` in the
    // first 512 KiB; the update writes `data` from 0x20000.
    std::string interruptedUpdate(const std::string& input, const std::vector<uint8_t>& before,
                                  const std::vector<uint8_t>& data) {
        const std::string old = file("hostile-old.bin");
        writeBytes(old, before);
        writeBytes(input, data);
        ok("flash write -c 0 --yes --file " + old);
        fault("[[fault]]\ncard = 0\nkind = \"flash-program\"\noffset = 0x40000\n");
        const Outcome run = veltra("flash write -c 0 --yes --offset 0x20000 --file " + input);
        ok("sim clear-faults 0");
        EXPECT_EQ(run.status, 1) << run.err;
        const std::string recovery = namedRecoveryFile(run.err);
        EXPECT_FALSE(recovery.empty()) << run.err;
        return recovery;
    }
};

#if !defined(_WIN32)

bool root() {
    return ::geteuid() == 0;
}

// Runs `work` in a child process of uid and gid 65534 (nobody).
void asAnotherUser(const std::function<void()>& work) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(2);
        work();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

mode_t modeOf(const std::string& path) {
    struct stat status {};
    return ::lstat(path.c_str(), &status) == 0 ? status.st_mode : 0;
}

// Another user, who may write a shared folder (a sticky, world-writable one
// like /tmp), plants links to a file only root may read and write at every
// temporary name a flash read could use: the names of the next few hundred
// process ids, and names of the form the tool draws its names from. The
// tool, run as root, writes its output, and the root-only file keeps its
// bytes and its mode; the planted links stay as they are. A link of that
// user's at the output name itself is not followed, as the system would not
// follow it either.
TEST_F(Hostile, NamesPlantedInASharedFolderLeadNowhere) {
    if (!root())
        GTEST_SKIP() << "a second user needs root to play";
    const std::string shared = fs::absolute(file("hostile-shared")).string();
    fs::create_directory(shared);
    ::chmod(shared.c_str(), 01777);
    const std::string victim = fs::absolute(file("hostile-victim")).string();
    std::ofstream(victim) << "root's alone\n";
    ::chmod(victim.c_str(), 0600);
    long next = std::stol(readText("/proc/sys/kernel/ns_last_pid"));
    std::vector<std::string> planted;
    for (long pid = next + 1; pid < next + 400; ++pid)
        planted.push_back(shared + "/.out.bin.veltra-" + std::to_string(pid) + ".tmp");
    for (const char* digits : {"0000000000000000", "0123456789abcdef", "FFFFFFFFFFFFFFFF"})
        planted.push_back(shared + "/.out.bin.veltra-" + digits + ".tmp");
    asAnotherUser([&] {
        for (const std::string& name : planted)
            if (::symlink(victim.c_str(), name.c_str()) != 0)
                ::_exit(3);
    });
    const std::string out = shared + "/out.bin";
    const Outcome read = veltra("flash read -c 0 --length 0x1000 --file " + out);
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_EQ(readText(victim), "root's alone\n");
    EXPECT_EQ(modeOf(victim) & 07777, 0600u);
    EXPECT_TRUE(readBytes(out) == flash(0x1000));
    for (const std::string& name : planted)
        EXPECT_TRUE(fs::is_symlink(name)) << name << " is another user's: left alone";

    // Another user's file there, made 0666 to be copied: replaced by root's,
    // with the permissions a new file gets; another user's FIFO is not
    // opened.
    const std::string others = shared + "/others.bin";
    asAnotherUser([&] {
        std::ofstream(others) << "nobody's";
        ::chmod(others.c_str(), 0666);
    });
    const mode_t mask = ::umask(022);
    ::umask(mask);
    EXPECT_EQ(veltra("flash read -c 0 --length 0x1000 --file " + others).status, 0);
    EXPECT_EQ(modeOf(others) & 07777, 0666u & ~mask);
    const std::string fifo = shared + "/fifo.bin";
    asAnotherUser([&] { ::mkfifo(fifo.c_str(), 0666); });
    const Outcome toFifo = veltra("flash read -c 0 --length 0x1000 --file " + fifo);
    EXPECT_EQ(toFifo.status, 1);
    EXPECT_EQ(toFifo.err, "veltra: " + fifo +
                              " is a FIFO of another user (uid 65534) in a folder every user may "
                              "write: refused, as the system refuses to open it\n");

    const std::string trap = shared + "/trap.bin";
    asAnotherUser([&] { ::symlink(victim.c_str(), trap.c_str()); });
    const Outcome refused = veltra("flash read -c 0 --length 0x1000 --file " + trap);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "veltra: " + trap +
                               " is a link of another user (uid 65534) in a folder every user may "
                               "write: refused, as the system refuses to follow it\n");
    EXPECT_EQ(readText(victim), "root's alone\n");
    EXPECT_EQ(modeOf(victim) & 07777, 0600u);
}

// Outputs that are not files are written as `cat >` writes them and stay
// what they are: standard output (-), a character device, a FIFO; a link of
// the operator's own leads to the file that is replaced, whose permissions
// the new one keeps, and the link stays.
TEST_F(Hostile, OutputsThatAreNotFilesAreWrittenInPlace) {
    const std::string vpd = vpdThroughStandardOutput();
    ASSERT_EQ(vpd.size(), 8192u);

    // A device: root makes one of its own (the null device's numbers);
    // anyone else uses the system's, which they could not replace anyway.
    std::string device = "/dev/null";
    if (root()) {
        device = fs::absolute(file("hostile-null")).string();
        ASSERT_EQ(::mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
    }
    const Outcome toDevice = veltra("flash read -c 0 --length 0x10000 --file " + device);
    EXPECT_EQ(toDevice.status, 0) << toDevice.err;
    EXPECT_TRUE(S_ISCHR(modeOf(device))) << device << " is still a device";

    const std::string fifo = fs::absolute(file("hostile-fifo")).string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string carried;
    std::thread reader([&] { carried = readText(fifo); });
    const Outcome toFifo = veltra("vpd read -c 0 --file " + fifo);
    reader.join();
    EXPECT_EQ(toFifo.status, 0) << toFifo.err;
    EXPECT_TRUE(carried == vpd) << carried.size() << " bytes";
    EXPECT_TRUE(S_ISFIFO(modeOf(fifo)));

    const std::string target = fs::absolute(file("hostile-target.bin")).string();
    const std::string link = fs::absolute(file("hostile-link.bin")).string();
    std::ofstream(target) << "old";
    ::chmod(target.c_str(), 0640);
    fs::create_symlink(target, link);
    ok("vpd read -c 0 --file " + link);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link).string(), target);
    EXPECT_TRUE(readText(target) == vpd);
    EXPECT_EQ(modeOf(target) & 07777, 0640u);
}

// A recovery file is used only by its owner: one that another user owns or
// may write, a FIFO (refused at once, never waited on) and a link are
// refused, each saying which check failed, and the card is not touched.
TEST_F(Hostile, RecoveryFilesOfOthersAreRefused) {
    const std::vector<uint8_t> before = pattern(512 << 10, 3), data = pattern(200000, 9);
    const std::string input = fs::absolute(file("hostile-update.bin")).string();
    const std::string recovery = interruptedUpdate(input, before, data);
    ASSERT_FALSE(recovery.empty());
    // The card's own recovery folder: the machine's state folder, the user's
    // alone.
    EXPECT_EQ(recovery, folder_ + "/default/recovery/" + fs::path(input).filename().string() +
                            ".card-00A1B2C3.recovery");
    EXPECT_EQ(modeOf(recovery) & 07777, 0600u);
    EXPECT_EQ(modeOf(fs::path(recovery).parent_path().string()) & 07777, 0700u);
    const std::vector<uint8_t> half = flash(512 << 10);

    const std::string writable = fs::absolute(file("hostile-writable.recovery")).string();
    fs::copy_file(recovery, writable);
    ::chmod(writable.c_str(), 0666);
    Outcome run = veltra("flash recover -c 0 --yes " + writable);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: " + writable + " may be written by other users (mode 0666): refused\n");

    const std::string link = fs::absolute(file("hostile-link.recovery")).string();
    fs::create_symlink(recovery, link);
    run = veltra("flash recover -c 0 --yes " + link);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: " + link + " is a link, not a regular file: refused\n");

    const std::string fifo = fs::absolute(file("hostile-fifo.recovery")).string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto start = std::chrono::steady_clock::now();
    run = veltra("flash recover -c 0 --yes " + fifo);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: " + fifo + " is not a regular file: refused\n");

    if (root()) {
        const std::string others = fs::absolute(file("hostile-others.recovery")).string();
        fs::copy_file(recovery, others);
        ASSERT_EQ(::chown(others.c_str(), 65534, 65534), 0);
        run = veltra("flash recover -c 0 --yes " + others);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.err, "veltra: " + others + " belongs to another user (uid 65534): refused\n");
    }
    EXPECT_TRUE(flash(512 << 10) == half) << "nothing was written";
    recoverBesideADmaError(recovery);
}

// Whoever may write the folder of the exporter's textfile could put other
// numbers in it: a folder others may write is refused unless it has the
// sticky bit, and then only a file of the user's own is rewritten.
TEST_F(Hostile, TheTextfileFolderIsTheUsersOrSticky) {
    const std::string open = fs::absolute(file("hostile-textfiles")).string();
    fs::create_directory(open);
    ::chmod(open.c_str(), 0777);
    Outcome run = veltra("exporter --textfile " + open);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: the folder " + open +
                           " may be written by other users (mode 0777, "
                           "owner uid " +
                           std::to_string(::geteuid()) +
                           ") and has no sticky bit: refused; give a folder only you may write\n");
    if (!root())
        return;
    ::chmod(open.c_str(), 01777);
    const std::string prom = open + "/veltra.prom";
    asAnotherUser([&] { std::ofstream(prom) << "veltra_card_up{card=\"0\"} 1\n"; });
    run = veltra("exporter --textfile " + open);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: " + prom +
                           " in a folder other users may write is not a file of yours (uid "
                           "65534): refused\n");
    fs::remove(prom);
    Running exporter("exporter --textfile " + open + " --interval 0.1", file("exporter.out"),
                     file("exporter.err"));
    EXPECT_TRUE(eventually([&] { return fs::exists(prom); }));
    exporter.kill();
    EXPECT_NE(
        readText(prom).find("veltra_flash_update_pending{serial=\"0x00A1B2C3\"} 0"),
        std::string::npos);
}

// The card's lock is the machine's, whatever runtime folder a process has:
// an update from a login and one from a process without XDG_RUNTIME_DIR (as
// cron starts it) do not run at once.
TEST_F(Hostile, OneLockWhateverTheRuntimeFolder) {
    const std::string image = file("hostile-lock.bin"), second = file("hostile-second.bin");
    writeBytes(image, pattern(1 << 20, 1));
    writeBytes(second, pattern(4096, 2));
    const std::string runtime = fs::absolute(file("hostile-runtime")).string();
    fs::create_directory(runtime);
    ::chmod(runtime.c_str(), 0700);
    fault("[[fault]]\ncard = 0\nkind = \"slow\"\nlatency_us = 20000\n");
    simtest::setVariable("XDG_RUNTIME_DIR", runtime);
    Running first("flash write -c 0 --yes --file " + image, file("first.out"), file("first.err"));
    // The holder's process id is in the lock file once it holds the card.
    std::string lock = statedPlace("card locks");
    lock.replace(lock.find("SERIAL"), 6, "00A1B2C3");
    EXPECT_TRUE(eventually([&] { return readText(lock) == std::to_string(first.pid()) + "\n"; }));
    simtest::setVariable("XDG_RUNTIME_DIR", "");
    const Outcome refused = veltra("flash write -c 0 --yes --file " + second);
    EXPECT_EQ(refused.err, "veltra: card 0 (serial 0x00A1B2C3) is being changed by process " +
                               std::to_string(first.pid()) +
                               ": give --wait to wait for it; nothing changed\n");
    ok("sim clear-faults 0");
    EXPECT_EQ(first.wait(), 0);
}

#endif

// The card's note, not the recovery file, says that an update did not
// finish: moved away, the file is still named and every change of the flash
// refused; it is taken from wherever it is now, and the flash error the
// interrupted update left goes once it is verified. A copy of a recovery
// file applied again, after the update was finished, is refused; so is one
// of an update that was abandoned on purpose. A copy of the image finishes
// an update whose input is gone, once its SHA-256 matches.
TEST_F(Hostile, TheCardsNoteNotTheFileSaysAnUpdateIsPending) {
    const std::vector<uint8_t> before = pattern(512 << 10, 3), data = pattern(200000, 9);
    std::vector<uint8_t> after = before;
    std::copy(data.begin(), data.end(), after.begin() + 0x20000);
    const std::string input = fs::absolute(file("pending-update.bin")).string();
    const std::string recovery = interruptedUpdate(input, before, data);
    ASSERT_FALSE(recovery.empty());
    const json status = json::parse(veltra("status -c 0 --no-fail --json").out);
    EXPECT_EQ(status["cards"][0]["pendingUpdate"]["recoveryFile"], recovery);
    EXPECT_EQ(status["cards"][0]["pendingUpdate"]["eraseStart"], "0x20000");
    EXPECT_EQ(status["cards"][0]["pendingUpdate"]["eraseEnd"], "0x60000");
    EXPECT_EQ(status["cards"][0]["pendingUpdate"]["dataSha256"], sha256Text(data));
    EXPECT_EQ(status["cards"][0]["status3"], 1) << "the flash error the failed write left";
    // The note lives where `sim state` says: beside the lock, not in the
    // user's runtime folder.
    std::string note = statedPlace("notes of unfinished updates");
    note.replace(note.find("SERIAL"), 6, "00A1B2C3");
    EXPECT_TRUE(fs::exists(note)) << note;
    const Outcome info = veltra("info -c 0");
    EXPECT_EQ(info.err,
              "veltra: warning: an update of the flash of card 0 (serial 0x00A1B2C3) "
              "did not finish; `veltra flash recover -c serial:0x00A1B2C3 " +
                  recovery + "` finishes it\n");
    EXPECT_NE(ok("metrics -c 0")
                  .find("veltra_flash_update_pending{serial=\"0x00A1B2C3\"} 1\n"),
              std::string::npos);

    // A copy kept now, to be applied again later.
    const std::string copy = fs::absolute(file("pending-copy.recovery")).string();
    fs::copy_file(recovery, copy);
    const std::string moved = fs::absolute(file("pending-moved.recovery")).string();
    fs::rename(recovery, moved);
    Outcome run = veltra("flash erase -c 0 --yes --length 0x20000");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: an update of the flash of card 0 (serial 0x00A1B2C3) did not "
              "finish, and its recovery file " +
                  recovery +
                  " is no longer there: `veltra flash recover -c serial:0x00A1B2C3 "
                  "FILE` finishes it from that file wherever it is now, `veltra flash "
                  "recover -c serial:0x00A1B2C3 --abandon` ends it; nothing changed\n");

    // The input is gone: a copy of it finishes the update, a wrong one not.
    const std::string kept = fs::absolute(file("pending-kept.bin")).string();
    fs::rename(input, kept);
    const std::string wrong = fs::absolute(file("pending-wrong.bin")).string();
    writeBytes(wrong, pattern(200000, 10));
    run = veltra("flash recover -c 0 --yes --input " + wrong + " " + moved);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: " + wrong + " does not hold the data " + moved +
                           " needs to finish the update (its SHA-256 differs); nothing changed\n");
    run =
        veltra("flash recover -c " + std::string(kSerial) + " --yes --input " + kept + " " + moved);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(withoutCarriageReturns(run.out),
              "finished the update of flash 0 of card 0 at 0x20000 from " + kept +
                  " and verified it; removed " + moved +
                  "; cleared the flash error the interrupted update left in the device "
                  "status\n");
    EXPECT_TRUE(flash(512 << 10) == after);
    EXPECT_FALSE(fs::exists(moved));
    EXPECT_EQ(json::parse(veltra("status -c 0 --json").out)["cards"][0]["pendingUpdate"], nullptr);
    EXPECT_NE(ok("metrics -c 0")
                  .find("veltra_flash_update_pending{serial=\"0x00A1B2C3\"} 0\n"),
              std::string::npos);

    // Applied again, after later writes: refused, and the later data stays.
    const std::string later = file("pending-later.bin");
    writeBytes(later, before);
    ok("flash write -c 0 --yes --file " + later);
    run = veltra("flash recover -c 0 --yes " + copy);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: " + copy +
                           ": this update was already finished or abandoned; nothing changed\n");
    EXPECT_TRUE(flash(512 << 10) == before);

    // Abandoned on purpose: asked first, then the flash is open to changes
    // again and the recovery file is of no use.
    writeBytes(input, data);
    const std::string second = interruptedUpdate(input, before, data);
    run = veltra("flash recover -c 0 --abandon");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "veltra: this changes the card: give --yes to go ahead without a terminal to ask "
              "at; nothing changed\n");
    const std::string abandoned = fs::absolute(file("pending-abandoned.recovery")).string();
    fs::copy_file(second, abandoned);
    run = veltra("flash recover -c 0 --abandon --yes");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(withoutCarriageReturns(run.out),
              "abandoned the update: flash 0 of card 0 from 0x20000 to 0x60000 holds neither the "
              "old nor the new image; write a whole image there; removed " +
                  second + "\n");
    run = veltra("flash recover -c 0 --yes " + abandoned);
    EXPECT_EQ(run.err, "veltra: " + abandoned +
                           ": this update was already finished or abandoned; nothing changed\n");
    ok("flash write -c 0 --yes --file " + later);
}

#if defined(_WIN32)

// A named pipe that gathers what a client writes to it, on a thread.
class PipeReader {
  public:
    explicit PipeReader(const std::string& name)
        : pipe_(CreateNamedPipeA(name.c_str(), PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                 0, 65536, 0, nullptr)),
          thread_([this] {
              ConnectNamedPipe(pipe_, nullptr);
              char buffer[4096];
              DWORD got = 0;
              while (ReadFile(pipe_, buffer, sizeof buffer, &got, nullptr) && got > 0)
                  carried_.append(buffer, got);
          }) {}
    ~PipeReader() {
        if (thread_.joinable())
            thread_.join();
        CloseHandle(pipe_);
    }
    const std::string& carried() {
        thread_.join();
        return carried_;
    }

  private:
    HANDLE pipe_;
    std::string carried_;
    std::thread thread_;
};

// Gives a file an access list, in the system's own words.
bool setAccess(const std::string& path, const char* access) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(access, SDDL_REVISION_1, &descriptor,
                                                              nullptr))
        return false;
    const BOOL done = SetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, descriptor);
    LocalFree(descriptor);
    return done != FALSE;
}

// Outputs that are not files are written as they are and stay what they
// are: standard output (-), the null device, a named pipe.
TEST_F(Hostile, OutputsThatAreNotFilesAreWrittenInPlace) {
    const std::string vpd = vpdThroughStandardOutput();
    ASSERT_EQ(vpd.size(), 8192u);

    const Outcome toNull = veltra("flash read -c 0 --length 0x10000 --file NUL");
    EXPECT_EQ(toNull.status, 0) << toNull.err;

    const std::string pipe = "\\\\.\\pipe\\veltra-hostile-" + std::to_string(GetCurrentProcessId());
    PipeReader reader(pipe);
    const Outcome toPipe = veltra("vpd read -c 0 --file " + pipe);
    EXPECT_EQ(toPipe.status, 0) << toPipe.err;
    EXPECT_TRUE(reader.carried() == vpd) << reader.carried().size() << " bytes";
}

// A recovery file is used only when no one but its user, the
// administrators and SYSTEM may write it: one that everyone may write and a
// named pipe are refused, each saying why, and the card is not touched.
// (Wine gives every file the owner of the Unix user that runs it, so a file
// of another owner is tested on Linux only.)
TEST_F(Hostile, RecoveryFilesOfOthersAreRefused) {
    const std::vector<uint8_t> before = pattern(512 << 10, 3), data = pattern(200000, 9);
    const std::string input = file("hostile-update.bin");
    const std::string recovery = interruptedUpdate(input, before, data);
    ASSERT_FALSE(recovery.empty());
    EXPECT_EQ(recovery, recoveryOf(input));
    const std::vector<uint8_t> half = flash(512 << 10);

    const std::string everyones = file("hostile-everyones.recovery");
    fs::copy_file(recovery, everyones);
    ASSERT_TRUE(setAccess(everyones, "D:P(A;;FA;;;BA)(A;;FA;;;WD)"));
    PSECURITY_DESCRIPTOR given = nullptr;
    PACL access = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoA(everyones.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                    nullptr, nullptr, &access, nullptr, &given),
              static_cast<DWORD>(ERROR_SUCCESS));
    LPSTR text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorA(given, SDDL_REVISION_1,
                                                         DACL_SECURITY_INFORMATION, &text, nullptr);
    EXPECT_NE(std::string(text).find(";;;WD)"), std::string::npos) << text;
    LocalFree(text);
    LocalFree(given);
    Outcome run = veltra("flash recover -c 0 --yes " + everyones);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: " + everyones + " may be written by other users: refused\n");

    const std::string pipe =
        "\\\\.\\pipe\\veltra-hostile-recovery-" + std::to_string(GetCurrentProcessId());
    HANDLE server = CreateNamedPipeA(pipe.c_str(), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_BYTE, 1, 65536,
                                     0, 0, nullptr);
    const auto start = std::chrono::steady_clock::now();
    run = veltra("flash recover -c 0 --yes " + pipe);
    const auto took = std::chrono::steady_clock::now() - start;
    CloseHandle(server);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "veltra: " + pipe + " is not a regular file: refused\n");
    EXPECT_LT(took, std::chrono::seconds(5)) << "a process start under Wine takes a second";
    EXPECT_TRUE(flash(512 << 10) == half) << "nothing was written";
    recoverBesideADmaError(recovery);
}

// The card's lock on Windows: a mutex in Global\ made with an access list
// of its own (administrators and SYSTEM; the user under Wine is an
// administrator, so no one else), and the note of a pending update in
// %ProgramData%\VELTRA. A mutex of that name that another user made and
// keeps this user out of is refused, with no lock of a session's own to
// fall back to.
TEST_F(Hostile, TheLockIsAGlobalMutexWithItsOwnAccessList) {
    const std::string lockName = statedPlace("card locks");
    ASSERT_EQ(lockName.rfind("Global\\veltra-card-SERIAL-", 0), 0u) << lockName;
    const std::string mutexName =
        std::regex_replace(lockName, std::regex("SERIAL"), std::string("00A1B2C3"));
    const std::string notes = statedPlace("notes of unfinished updates");
    char programData[MAX_PATH] = "";
    ASSERT_GT(GetEnvironmentVariableA("ProgramData", programData, MAX_PATH), 0u);
    EXPECT_EQ(notes.rfind(std::string(programData) + "\\VELTRA\\veltra-card-SERIAL-", 0), 0u)
        << notes;

    const std::string image = file("lock.bin");
    writeBytes(image, pattern(1 << 20, 1));
    fault("[[fault]]\ncard = 0\nkind = \"slow\"\nlatency_us = 20000\n");
    {
        Running holder("flash write -c 0 --yes --file " + image, file("holder.out"),
                       file("holder.err"));
        HANDLE mutex = nullptr;
        ASSERT_TRUE(eventually([&] {
            mutex = OpenMutexA(READ_CONTROL | SYNCHRONIZE, FALSE, mutexName.c_str());
            return mutex != nullptr;
        }));
        PACL access = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        ASSERT_EQ(GetSecurityInfo(mutex, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, &access, nullptr, &descriptor),
                  static_cast<DWORD>(ERROR_SUCCESS));
        LPSTR text = nullptr;
        ASSERT_TRUE(ConvertSecurityDescriptorToStringSecurityDescriptorA(
            descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr));
        EXPECT_EQ(std::string(text), "D:P(A;;GA;;;BA)(A;;GA;;;SY)");
        LocalFree(text);
        LocalFree(descriptor);
        CloseHandle(mutex);
        ok("sim clear-faults 0");
        EXPECT_EQ(holder.wait(), 0);
    }

    // Made first by someone else, with an access list that lets no one in.
    PSECURITY_DESCRIPTOR closed = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P", SDDL_REVISION_1,
                                                                     &closed, nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof attributes, closed, FALSE};
    HANDLE squatter = CreateMutexA(&attributes, FALSE, mutexName.c_str());
    ASSERT_NE(squatter, nullptr);
    const Outcome refused = veltra("flash write -c 0 --yes --file " + image);
    CloseHandle(squatter);
    LocalFree(closed);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "veltra: cannot take the lock of card 0: the mutex " + mutexName +
                               " is there and this user may not open it (another user made it "
                               "with an access list of their own); run veltra as an "
                               "administrator, or end the program that holds it; nothing "
                               "changed\n");
}

#endif

}  // namespace
