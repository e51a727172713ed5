#include "card_lock.h"

#if defined(_WIN32)
#include "wide.h"
#endif

#include <cctype>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <sstream>

#include "access_list.h"
#include "cards.h"
#include "errors.h"
#include "files.h"
#include "output.h"
#include "simulator.h"
#include "text.h"

#if defined(_WIN32)
#include <windows.h>
#include <sddl.h>
#include <shlobj.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tool {

namespace {

constexpr const char* kNoteHeading = "veltra card note 1";

const char* stateWord(UpdateNote::State state) {
    switch (state) {
        case UpdateNote::State::Pending:
            return "pending";
        case UpdateNote::State::Finished:
            return "finished";
        case UpdateNote::State::Abandoned:
            return "abandoned";
        case UpdateNote::State::None:
            break;
    }
    return "none";
}

std::string encodeNote(const UpdateNote& n) {
    std::string text = std::string(kNoteHeading) + "\n";
    text += format("generation %llu\n", static_cast<unsigned long long>(n.generation));
    text += std::string("state ") + stateWord(n.state) + "\n";
    if (n.pending()) {
        text += format("flash %u\n", n.flash);
        text += "erase " + hex(n.eraseStart) + " " + hex(n.eraseEnd) + "\n";
        text += "recovery " + n.recoveryFile + "\n";
        text += format("size %llu\n", static_cast<unsigned long long>(n.recoverySize));
        text += "sha256 " + digestText(n.recoveryDigest) + "\n";
        text += "data-sha256 " + digestText(n.dataDigest) + "\n";
    }
    return text;
}

UpdateNote decodeNote(const std::string& text, const std::string& path) {
    const std::string damaged = path + " is not a whole note of veltra";
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kNoteHeading)
        throw Failure(damaged);
    UpdateNote n;
    bool state = false, generation = false;
    while (std::getline(in, line)) {
        const size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? "" : line.substr(space + 1);
        char* end = nullptr;
        if (key == "generation") {
            n.generation = std::strtoull(value.c_str(), &end, 10);
            generation = end != value.c_str() && *end == '\0';
        } else if (key == "state") {
            state = true;
            if (value == "pending")
                n.state = UpdateNote::State::Pending;
            else if (value == "finished")
                n.state = UpdateNote::State::Finished;
            else if (value == "abandoned")
                n.state = UpdateNote::State::Abandoned;
            else
                state = false;
        } else if (key == "flash") {
            n.flash = static_cast<uint32_t>(std::strtoul(value.c_str(), nullptr, 10));
        } else if (key == "erase") {
            n.eraseStart = std::strtoull(value.c_str(), &end, 16);
            n.eraseEnd = std::strtoull(end, nullptr, 16);
        } else if (key == "recovery") {
            n.recoveryFile = value;
        } else if (key == "size") {
            n.recoverySize = std::strtoull(value.c_str(), nullptr, 10);
        } else if ((key == "sha256" && !parseDigest(value, n.recoveryDigest)) ||
                   (key == "data-sha256" && !parseDigest(value, n.dataDigest))) {
            throw Failure(damaged);
        }
    }
    if (!state || !generation || (n.pending() && n.recoveryFile.empty()))
        throw Failure(damaged);
    return n;
}

// Holders of the locks of a machine that is private to this process.
struct ProcessLocks {
    std::mutex mutex;
    std::condition_variable released;
    std::set<std::string> held;
};

ProcessLocks& processLocks() {
    static ProcessLocks locks;
    return locks;
}

std::string busyMessage(const Card& card, const std::string& holder) {
    return format(
        "%s (serial %s) is being changed by %s: give --wait to wait for it; nothing "
        "changed",
        card.name().c_str(), serialText(card.serial()).c_str(), holder.c_str());
}

void sayWaiting(const Card& card, const std::string& holder) {
    std::fprintf(stderr, "veltra: waiting for %s, which is changing %s\n", holder.c_str(),
                 card.name().c_str());
    std::fflush(stderr);
}

unsigned long thisProcess() {
#if defined(_WIN32)
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(::getpid());
#endif
}

// The lock of a card of a machine private to this process.
void takeInProcess(const Card& card, const std::string& key, bool wait) {
    ProcessLocks& locks = processLocks();
    std::unique_lock<std::mutex> guard(locks.mutex);
    if (locks.held.count(key) != 0) {
        if (!wait)
            throw Failure(busyMessage(card, format("process %lu", thisProcess())));
        locks.released.wait(guard, [&] { return locks.held.count(key) == 0; });
    }
    locks.held.insert(key);
}

void releaseInProcess(const std::string& key) {
    ProcessLocks& locks = processLocks();
    std::lock_guard<std::mutex> guard(locks.mutex);
    locks.held.erase(key);
    locks.released.notify_all();
}

#if defined(_WIN32)

std::string knownFolder(int which) {
    wchar_t path[MAX_PATH] = L"";
    if (SHGetFolderPathW(nullptr, which, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK)
        return "";
    return narrow(path);
}

// %ProgramData%\VELTRA: the notes and the locks' records of every user.
std::string hostFolder() {
    const std::string data = knownFolder(CSIDL_COMMON_APPDATA);
    if (data.empty())
        throw Failure("the system names no folder for programs' shared data (%ProgramData%)");
    return data + "\\VELTRA";
}

// The simulated machine of a state folder has cards of the same serials as
// every other: its key keeps their locks and notes apart.
std::string machineKey(const std::string& folder) {
    uint64_t hash = 0xCBF29CE484222325ull;
    for (char ch : folder)
        hash = (hash ^ static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(ch)))) *
               0x100000001B3ull;
    return hex(hash, 16).substr(2);
}

#endif

}  // namespace

CardPlace::CardPlace(uint32_t serial) : key_(hex(serial, 8).substr(2)) {
#if defined(_WIN32)
    if (onSimulator()) {
        const std::string machine = machineFolder();
        if (machine.empty())
            return;  // a private machine
        key_ += "-" + machineKey(machine);
    }
    notes_ = hostFolder();
#else
    notes_ = machineFolder();
#endif
}

std::string CardPlace::notePath() const {
    return inFolder(notes_, "veltra-card-" + key_ + ".note");
}

UpdateNote CardPlace::note() const {
    UpdateNote n;
    if (notes_.empty() || !trustedFileExists(notePath()))
        return n;
    try {
        const Bytes bytes = readTrustedFile(notePath());
        return decodeNote(std::string(bytes.begin(), bytes.end()), notePath());
    } catch (const Failure& failure) {
        n.state = UpdateNote::State::Pending;
        n.problem = failure.what();
        return n;
    }
}

void CardPlace::writeNote(const UpdateNote& n) const {
    if (notes_.empty())
        return;
#if defined(_WIN32)
    makePrivateFolder(notes_, true);
#endif
    // Others may read it: the exporter may run as a service account.
    const std::string text = encodeNote(n);
    replaceFile(notePath(), text.data(), text.size(), ReplacingFile::Access::OwnerWrites);
}

std::string CardPlace::recoveryFolder() const {
    if (notes_.empty())
        return "";
#if defined(_WIN32)
    // An administrator's beside the notes; another user's in their own
    // local application data.
    std::string parent = notes_;
    if (!administrator()) {
        parent = knownFolder(CSIDL_LOCAL_APPDATA);
        if (parent.empty())
            throw Failure("the system names no local application data folder for this user");
        parent += "\\VELTRA";
    }
    makePrivateFolder(parent);
#else
    const std::string& parent = notes_;
#endif
    const std::string folder = inFolder(parent, "recovery");
    makePrivateFolder(folder);
    return folder;
}

std::string CardPlace::lockName() const {
    if (notes_.empty())
        return "";
#if defined(_WIN32)
    return "Global\\veltra-card-" + key_;
#else
    return inFolder(notes_, "veltra-card-" + key_ + ".lock");
#endif
}

std::optional<UpdateNote> pendingUpdate(const Card& card) {
    const UpdateNote n = CardPlace(card.serial()).note();
    if (!n.pending())
        return std::nullopt;
    return n;
}

std::string pendingText(const Card& card, const UpdateNote& n) {
    const std::string what = format("an update of the flash of %s (serial %s) did not finish",
                                    card.name().c_str(), serialText(card.serial()).c_str());
    const std::string selection = "serial:" + serialText(card.serial());
    if (!n.problem.empty())
        return format(
            "the note of the flash updates of %s (serial %s) cannot be trusted: %s; "
            "remove it if no update of the card is unfinished",
            card.name().c_str(), serialText(card.serial()).c_str(), n.problem.c_str());
    if (!trustedFileExists(n.recoveryFile))
        return format(
            "%s, and its recovery file %s is no longer there: `veltra flash recover -c "
            "%s FILE` finishes it from that file wherever it is now, `veltra flash "
            "recover -c %s --abandon` ends it",
            what.c_str(), n.recoveryFile.c_str(), selection.c_str(), selection.c_str());
    try {
        readTrustedFile(n.recoveryFile);
    } catch (const Failure& failure) {
        return format(
            "%s, and its recovery file fails its checks (%s): `veltra flash recover -c "
            "%s --abandon` ends the update",
            what.c_str(), failure.what(), selection.c_str());
    }
    return format("%s; `veltra flash recover -c %s %s` finishes it", what.c_str(),
                  selection.c_str(), shellWord(n.recoveryFile).c_str());
}

bool PendingWatch::pending() {
    if (!place_.keepsNotes())
        return false;
    const FileStamp now = fileStamp(place_.notePath());
    if (!(now == stamp_)) {
        stamp_ = now;
        pending_ = place_.note().pending();
    }
    return pending_;
}

void warnOfPendingUpdate(const Card& card) {
    if (const std::optional<UpdateNote> n = pendingUpdate(card)) {
        std::fprintf(stderr, "veltra: warning: %s\n", pendingText(card, *n).c_str());
        std::fflush(stderr);
    }
}

nlohmann::ordered_json pendingUpdateJson(const Card& card) {
    const std::optional<UpdateNote> n = pendingUpdate(card);
    if (!n.has_value())
        return nullptr;
    if (!n->problem.empty())
        return {{"problem", n->problem}};
    return {{"generation", n->generation},
            {"flash", n->flash},
            {"eraseStart", hexValue(n->eraseStart)},
            {"eraseEnd", hexValue(n->eraseEnd)},
            {"recoveryFile", n->recoveryFile},
            {"recoveryFilePresent", trustedFileExists(n->recoveryFile)},
            {"recoveryFileSha256", digestText(n->recoveryDigest)},
            {"dataSha256", digestText(n->dataDigest)}};
}

CardLock::CardLock(const Card& card, bool wait) : card_(card), place_(card.serial()) {
    acquire(wait);
}

void CardLock::refuseUnfinishedUpdate(const std::string&) const {
    const UpdateNote n = place_.note();
    if (n.pending())
        throw Failure(pendingText(card_, n) + "; nothing changed");
}

#if defined(_WIN32)

namespace {

// What the lock asks of its mutex: waiting for it (SYNCHRONIZE) and, as the
// access mask of a mutex names it, letting it go (MUTEX_MODIFY_STATE, which
// grants nothing more).
constexpr DWORD kLockAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// Administrators and SYSTEM: everything; when the one running the tool is
// not an administrator, that user and the interactive user: waiting and
// holding, nothing more.
std::string mutexAccess() {
    std::string text = "D:P(A;;GA;;;BA)(A;;GA;;;SY)";
    if (!administrator())
        text += "(A;;0x00100001;;;" + userSidText() + ")(A;;0x00100001;;;IU)";
    return text;
}

}  // namespace

void CardLock::acquire(bool wait) {
    if (!place_.keepsNotes()) {
        takeInProcess(card_, place_.key(), wait);
        inProcess_ = true;
        return;
    }
    const std::string name = place_.lockName();
    AccessList access(mutexAccess());
    HANDLE mutex = CreateMutexExA(access.attributes(), name.c_str(), 0, kLockAccess);
    if (mutex == nullptr && GetLastError() == ERROR_ACCESS_DENIED)
        throw Failure(format(
            "cannot take the lock of %s: the mutex %s is there and this user may not open it "
            "(another user made it with an access list of their own); run veltra as an "
            "administrator, or end the program that holds it; nothing changed",
            card_.name().c_str(), name.c_str()));
    if (mutex == nullptr)
        throw Failure(
            format("cannot make the lock of %s, the mutex %s: %s; "
                   "run veltra as an administrator; nothing changed",
                   card_.name().c_str(), name.c_str(), systemErrorText(GetLastError()).c_str()));
    lock_ = reinterpret_cast<intptr_t>(mutex);
    DWORD waited = WaitForSingleObject(mutex, 0);
    if (waited == WAIT_TIMEOUT) {
        if (!wait) {
            CloseHandle(mutex);
            lock_ = -1;
            throw Failure(busyMessage(card_, describeHolder()));
        }
        sayWaiting(card_, describeHolder());
        waited = WaitForSingleObject(mutex, INFINITE);
    }
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        lock_ = -1;
        throw Failure("cannot lock " + card_.name());
    }
    // Who holds it, for the message of the next one who tries (in this
    // session: making a named section in Global\ takes a privilege).
    HANDLE holder = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 64,
                                       ("Local\\veltra-card-" + place_.key() + "-holder").c_str());
    if (holder != nullptr) {
        if (void* view = MapViewOfFile(holder, FILE_MAP_WRITE, 0, 0, 64)) {
            const DWORD self = GetCurrentProcessId();
            std::memcpy(view, &self, sizeof self);
            UnmapViewOfFile(view);
        }
        holder_ = reinterpret_cast<intptr_t>(holder);
    }
}

std::string CardLock::describeHolder() const {
    DWORD process = 0;
    if (HANDLE holder = OpenFileMappingA(
            FILE_MAP_READ, FALSE, ("Local\\veltra-card-" + place_.key() + "-holder").c_str())) {
        if (const void* view = MapViewOfFile(holder, FILE_MAP_READ, 0, 0, 64)) {
            std::memcpy(&process, view, sizeof process);
            UnmapViewOfFile(view);
        }
        CloseHandle(holder);
    }
    return process != 0 ? format("process %lu", static_cast<unsigned long>(process))
                        : std::string("another process");
}

CardLock::~CardLock() {
    if (holder_ != -1)
        CloseHandle(reinterpret_cast<HANDLE>(holder_));
    if (lock_ != -1) {
        ReleaseMutex(reinterpret_cast<HANDLE>(lock_));
        CloseHandle(reinterpret_cast<HANDLE>(lock_));
    }
    if (inProcess_)
        releaseInProcess(place_.key());
}

#else

namespace {

// Waits for the lock; 0, or the error that ended the wait.
int waitForLock(int fd) {
    int result = 0;
    do
        result = ::flock(fd, LOCK_EX);
    while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

std::string readSmallFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return "";
    char text[64] = "";
    const ssize_t length = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    return length > 0 ? std::string(text, static_cast<size_t>(length)) : "";
}

}  // namespace

void CardLock::acquire(bool wait) {
    if (!place_.keepsNotes()) {
        takeInProcess(card_, place_.key(), wait);
        inProcess_ = true;
        return;
    }
    const std::string path = place_.lockName();
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        throw Failure("cannot lock " + card_.name() + ": " + path + ": " + std::strerror(errno));
    int error = ::flock(fd, LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
    if (error == EWOULDBLOCK && wait) {
        sayWaiting(card_, describeHolder());
        error = waitForLock(fd);
    }
    if (error != 0) {
        const std::string why = error == EWOULDBLOCK
                                    ? busyMessage(card_, describeHolder())
                                    : "cannot lock " + card_.name() + ": " + std::strerror(error);
        ::close(fd);
        throw Failure(why);
    }
    lock_ = fd;
    // The holder's process id, whole before anything after it goes.
    const std::string self = std::to_string(::getpid()) + "\n";
    if (::pwrite(fd, self.data(), self.size(), 0) == static_cast<ssize_t>(self.size()) &&
        ::ftruncate(fd, static_cast<off_t>(self.size())) != 0)
        return;  // a longer id of an earlier holder stays behind the newline
}

std::string CardLock::describeHolder() const {
    const std::string text = readSmallFile(place_.lockName());
    const long process = std::strtol(text.c_str(), nullptr, 10);
    return process > 0 ? format("process %ld", process) : std::string("another process");
}

CardLock::~CardLock() {
    if (lock_ != -1)
        ::close(static_cast<int>(lock_));  // ends the flock
    if (inProcess_)
        releaseInProcess(place_.key());
}

#endif

}  // namespace tool
